// Compiled with SSE2 on 32-bit x86 as well; called there only when the processor
// has SSE2. Nothing else belongs here, so that no code of this unit that needs
// SSE2 can be taken for code that must run everywhere.
#if defined(__SSE2__)
#include "velcode/escaped_sse2.h"

namespace lumaro::velcode_detail {

uint64_t EscapeFlags64WithSse2(const char* P, char EscChar) { return EscapeFlags64Sse2(P, EscChar); }
uint32_t QuotedPrintableFlags16WithSse2(const char* P) { return QuotedPrintableFlags16Sse2(P); }

}  // namespace lumaro::velcode_detail
#endif
