// Line-break flags from SSE2 compares, for the translation units that are compiled
// with SSE2: every x86-64 build, and on 32-bit x86 the one unit that is called only
// when the processor has it.
#pragma once

#include <emmintrin.h>

#include <cstdint>
#include <cstring>

namespace lumaro::velutil_detail {

static inline uint64_t BreakFlags64Sse2(const char* P) {
    const __m128i CR = _mm_set1_epi8('\r');
    const __m128i LF = _mm_set1_epi8('\n');
    uint64_t Flags = 0;
    for (int I = 0; I < 4; ++I) {
        __m128i V;
        std::memcpy(&V, P + 16 * I, sizeof V);
        const __m128i Break = _mm_or_si128(_mm_cmpeq_epi8(V, CR), _mm_cmpeq_epi8(V, LF));
        Flags |= uint64_t{static_cast<uint16_t>(_mm_movemask_epi8(Break))} << (16 * I);
    }
    return Flags;
}

}  // namespace lumaro::velutil_detail
