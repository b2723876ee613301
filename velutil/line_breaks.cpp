// Line breaks flagged 64 bytes at a time. A message is cut into lines at least
// once whole, so this search runs over every byte of every message; one pass of
// block compares beats two library searches per line of a few dozen bytes.
#include "velutil/velutil.h"

#include <bit>
#include <cstring>

#include "platform/platform.h"
#if defined(__SSE2__)
#include "velutil/line_breaks_sse2.h"
#endif

namespace lumaro {
namespace {

constexpr uint64_t EveryByte(uint8_t B) { return 0x0101010101010101ull * B; }

// The high bit of every zero byte of W; no carry crosses from one byte to the next.
constexpr uint64_t ZeroBytes(uint64_t W) {
    return ~(((W & EveryByte(0x7F)) + EveryByte(0x7F)) | W) & EveryByte(0x80);
}

// Word arithmetic, on every build; on x86 it runs where the processor lacks SSE2,
// and in the tests that refuse SSE2.
uint64_t BreakFlags64Words(const char* P) {
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

#if defined(__SSE2__)
uint64_t BreakFlags64Sse2(const char* P) { return velutil_detail::BreakFlags64Sse2(P); }
#elif defined(__i386__)
}  // namespace

// In the unit compiled with SSE2, which a 32-bit x86 build calls only where the
// processor has it.
namespace velutil_detail {
uint64_t BreakFlags64WithSse2(const char* P);
}

namespace {

uint64_t BreakFlags64Sse2(const char* P) { return velutil_detail::BreakFlags64WithSse2(P); }
#endif

}  // namespace

TBreakFlags64 LineBreakKernel() {
#if defined(__SSE2__) || defined(__i386__)
    if (platform::ProcessorHasSse2()) return &BreakFlags64Sse2;
#endif
    return &BreakFlags64Words;
}

uint64_t LineBreakFlags(std::string_view Text, size_t Window, TBreakFlags64 Kernel) {
    const size_t At = Window * 64;
    if (Text.size() - At >= 64) return Kernel(Text.data() + At);
    // The last window is read from a copy padded with bytes that break nothing.
    char Padded[64] = {};
    std::memcpy(Padded, Text.data() + At, Text.size() - At);
    return Kernel(Padded);
}

}  // namespace lumaro
