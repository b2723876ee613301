// A module with the four exports of the real one whose jobs change nothing: the
// milter benchmark loads it to measure what the MTA and the milter cost around a
// job, with no job work and no edit to apply.
#include "lumaro/hostif.h"

extern "C" int16_t LUMARO_CDECL STARTUP(lumaro::THostInterface*) { return 1; }

extern "C" int16_t LUMARO_CDECL DAEMON(void*, lumaro::THostInterface*) { return 0; }

extern "C" int16_t LUMARO_CDECL CLOSEDOWN() { return 0; }

extern "C" int16_t LUMARO_CDECL CONFIGURE() { return 1; }
