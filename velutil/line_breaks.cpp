// Line breaks flagged 64 bytes at a time. A message is cut into lines at least
// once whole, so this search runs over every byte of every message; one pass of
// block compares beats two library searches per line of a few dozen bytes.
#include "velutil/velutil.h"

#include <bit>
#include <cstring>

#if defined(__SSE2__)
#include <emmintrin.h>
#endif

namespace lumaro {
namespace {

#if defined(__SSE2__)

uint64_t BreakFlags64(const char* P) {
    const __m128i CR = _mm_set1_epi8('\r');
    const __m128i LF = _mm_set1_epi8('\n');
    uint64_t Flags = 0;
    for (size_t I = 0; I < 4; ++I) {
        __m128i V;
        std::memcpy(&V, P + 16 * I, sizeof V);
        const __m128i Break = _mm_or_si128(_mm_cmpeq_epi8(V, CR), _mm_cmpeq_epi8(V, LF));
        Flags |= uint64_t{static_cast<uint16_t>(_mm_movemask_epi8(Break))} << (16 * I);
    }
    return Flags;
}

#else

constexpr uint64_t EveryByte(uint8_t B) { return 0x0101010101010101ull * B; }

// The high bit of every zero byte of W; no carry crosses from one byte to the next.
constexpr uint64_t ZeroBytes(uint64_t W) {
    return ~(((W & EveryByte(0x7F)) + EveryByte(0x7F)) | W) & EveryByte(0x80);
}

uint64_t BreakFlags64(const char* P) {
    uint64_t Flags = 0;
    for (size_t I = 0; I < 8; ++I) {
        uint8_t Bytes[8];
        std::memcpy(Bytes, P + 8 * I, sizeof Bytes);
        uint64_t W = 0;
        for (size_t K = 0; K < 8; ++K) W |= uint64_t{Bytes[K]} << (8 * K);
        const uint64_t Break = ZeroBytes(W ^ EveryByte('\r')) | ZeroBytes(W ^ EveryByte('\n'));
        // Flag K (bit 8K + 7) moves to bit K; the product carries nothing.
        Flags |= (((Break >> 7) * 0x0102040810204080ull) >> 56) << (8 * I);
    }
    return Flags;
}

#endif

}  // namespace

uint64_t LineBreakFlags(std::string_view Text, size_t Window) {
    const size_t At = Window * 64;
    if (Text.size() - At >= 64) return BreakFlags64(Text.data() + At);
    // The last window is read from a copy padded with bytes that break nothing.
    char Padded[64] = {};
    std::memcpy(Padded, Text.data() + At, Text.size() - At);
    return BreakFlags64(Padded);
}

}  // namespace lumaro
