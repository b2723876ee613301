// The four exports that the mail server calls. None of them lets an exception or
// a failure out: the server only ever sees the documented results.
#include <cstring>
#include <string>

#include "lumaro/lumaro.h"
#include "platform/platform.h"

namespace lumaro {

bool VersionAccepted(const THostInterface& Host) {
    return Host.VersionMajor > 2 || (Host.VersionMajor == 2 && Host.VersionMinor >= 20);
}

}  // namespace lumaro

using namespace lumaro;

extern "C" int16_t LUMARO_CDECL STARTUP(THostInterface* Host) {
    try {
        if (Host != nullptr) {
            if (TWriteServerLog Write = Host->WriteServerLog()) Write(0, 5, StartedMessage);
        }
    } catch (...) {
        // The start message is a courtesy; the module starts either way.
    }
    return 1;
}

extern "C" int16_t LUMARO_CDECL DAEMON(void* JobHandle, THostInterface* Host) {
    try {
        if (Host == nullptr) return 0;
        // The server's record as it was when the job began, the job's own: every
        // host call of the job goes through it, so a server that changes its
        // record meanwhile does not affect the job, nor one job another.
        THostInterface HostCopy;
        std::memcpy(&HostCopy, Host, HostInterfaceCopySize);
        if (!VersionAccepted(HostCopy)) return 0;
        RunJob(JobHandle, HostCopy);
    } catch (...) {
        // RunJob reports its own failures; nothing may reach the server.
    }
    return 0;
}

extern "C" int16_t LUMARO_CDECL CLOSEDOWN() { return 0; }

extern "C" int16_t LUMARO_CDECL CONFIGURE() { return 1; }

#ifdef LUMARO_COUNT_CALLS
// The counting build's fifth export, for the job benchmark: one line "name count"
// for every system function the module has called so far. The text lives until
// the next call.
#ifdef _WIN32
#define LUMARO_COUNTING_EXPORT __declspec(dllexport)
#else
#define LUMARO_COUNTING_EXPORT LUMARO_EXPORT
#endif
extern "C" LUMARO_COUNTING_EXPORT const char* LUMARO_CDECL LUMARO_SYSTEM_CALLS() {
    static std::string Text;
    try {
        Text.clear();
        for (const platform::TSystemCallCount& Call : platform::SystemCallCounts())
            Text += std::string(Call.Name) + " " + std::to_string(Call.Count) + "\n";
    } catch (...) {
        Text.clear();
    }
    return Text.c_str();
}
#endif
