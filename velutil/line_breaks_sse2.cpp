// Compiled with SSE2 on 32-bit x86 as well; called there only when the processor
// has SSE2. Nothing else belongs here, so that no code of this unit that needs
// SSE2 can be taken for code that must run everywhere.
#if defined(__SSE2__)
#include "velutil/line_breaks_sse2.h"

namespace lumaro::velutil_detail {

uint64_t BreakFlags64WithSse2(const char* P) { return BreakFlags64Sse2(P); }

}  // namespace lumaro::velutil_detail
#endif
