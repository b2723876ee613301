// Escape flags from SSE2 compares, for the translation units that are compiled
// with SSE2: every x86-64 build, and on 32-bit x86 the one unit that is called only
// when the processor has it. Bit I of a result stands for byte I.
#pragma once

#include <emmintrin.h>

#include <cstdint>
#include <cstring>

namespace lumaro::velcode_detail {

static inline __m128i LoadBlock(const char* P) {
    __m128i V;
    std::memcpy(&V, P, sizeof V);
    return V;
}

// The bytes equal to the escape character among 64.
static inline uint64_t EscapeFlags64Sse2(const char* P, char EscChar) {
    const __m128i Escapes = _mm_set1_epi8(EscChar);
    uint64_t Flags = 0;
    for (int I = 0; I < 4; ++I) {
        const __m128i Equal = _mm_cmpeq_epi8(LoadBlock(P + 16 * I), Escapes);
        Flags |= uint64_t{static_cast<uint16_t>(_mm_movemask_epi8(Equal))} << (16 * I);
    }
    return Flags;
}

// The bytes among 16 that quoted-printable escapes or looks at: below 0x20, 0x7F,
// "=" and everything from 0x80 on (signed, those are below 0x20 too).
static inline uint32_t QuotedPrintableFlags16Sse2(const char* P) {
    const __m128i V = LoadBlock(P);
    const __m128i Special = _mm_or_si128(_mm_cmplt_epi8(V, _mm_set1_epi8(0x20)),
                                         _mm_or_si128(_mm_cmpeq_epi8(V, _mm_set1_epi8(0x7F)),
                                                      _mm_cmpeq_epi8(V, _mm_set1_epi8('='))));
    return static_cast<uint16_t>(_mm_movemask_epi8(Special));
}

}  // namespace lumaro::velcode_detail
