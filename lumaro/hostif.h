// The host mail server's daemon interface as this module uses it. Other people's
// hosts are built against this header, so its layout is fixed:
//
// THostInterface: the server's record of version bytes and host functions. The
// module reads five positions (byte offsets from the start of the record):
//   4 VersionMajor (unsigned 8-bit), 5 VersionMinor (unsigned 8-bit),
//   10 QueryVariable, 102 QueryJobInfo, 358 WriteServerLog (function pointers).
// It copies the first 634 bytes of the record at the start of every DAEMON call.
//
// TJobInfo: 124 bytes that the server fills; Sender (a pointer to a NUL-terminated
// text) at 10, and JobId, up to 20 single-byte characters ended by a NUL byte when
// shorter, at 102 to 121.
//
// On the 32-bit build every pointer is 4 bytes wide. On a 64-bit build every
// position keeps its byte offset and each pointer field is 8 bytes wide, unaligned
// (the accessors below read and write it with memcpy); the job handle that DAEMON
// receives and passes back to QueryJobInfo is pointer-sized (void*), while the
// selector and the two constants of WriteServerLog stay int. The host functions use
// the C calling convention (__cdecl on Win32).
//
// Threads: the server may call DAEMON from several threads at once, each call with
// a job of its own. A call keeps everything of its job to itself (its copy of the
// record, its settings, its message), makes every host call on the thread that
// called it, and writes its activity-log lines whole, never interleaved with
// another job's. Two calls on the same queue file at once are the server's error:
// one of them finds the file changed and reports its job as failed. STARTUP and
// CLOSEDOWN are not to run while a DAEMON call does.
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstring>

#if defined(_WIN32) && !defined(_WIN64)
#define LUMARO_CDECL __cdecl
#else
#define LUMARO_CDECL
#endif

// The module's exports: named by lumaro.def on Windows; on other systems every
// symbol is hidden by default, so the four entry points are made visible here.
#if defined(_WIN32)
#define LUMARO_EXPORT
#else
#define LUMARO_EXPORT __attribute__((visibility("default")))
#endif

namespace lumaro {

using TQueryVariable = const char*(LUMARO_CDECL*)(int Selector);
using TQueryJobInfo = int(LUMARO_CDECL*)(void* JobHandle, void* JobInfo);
using TWriteServerLog = int(LUMARO_CDECL*)(int Zero, int Five, const char* Text);

constexpr int HostVarQueueDir = 1;
constexpr int HostVarHostName = 3;
constexpr int HostVarBaseDir = 8;

constexpr size_t HostVersionMajorOffset = 4;
constexpr size_t HostVersionMinorOffset = 5;
constexpr size_t HostQueryVariableOffset = 10;
constexpr size_t HostQueryJobInfoOffset = 102;
constexpr size_t HostWriteServerLogOffset = 358;
constexpr size_t HostInterfaceCopySize = 634;

constexpr size_t JobInfoSize = 124;
constexpr size_t JobInfoSenderOffset = 10;
constexpr size_t JobInfoJobIdOffset = 102;
constexpr size_t JobIdMaxLength = 20;

#pragma pack(push, 1)
struct THostInterface {
    uint8_t Reserved0[HostVersionMajorOffset];
    uint8_t VersionMajor;
    uint8_t VersionMinor;
    uint8_t Reserved6[HostQueryVariableOffset - HostVersionMinorOffset - 1];
    unsigned char QueryVariableField[sizeof(void*)];
    uint8_t Reserved1[HostQueryJobInfoOffset - HostQueryVariableOffset - sizeof(void*)];
    unsigned char QueryJobInfoField[sizeof(void*)];
    uint8_t Reserved2[HostWriteServerLogOffset - HostQueryJobInfoOffset - sizeof(void*)];
    unsigned char WriteServerLogField[sizeof(void*)];
    uint8_t Reserved3[HostInterfaceCopySize - HostWriteServerLogOffset - sizeof(void*)];

    TQueryVariable QueryVariable() const { return Load<TQueryVariable>(QueryVariableField); }
    TQueryJobInfo QueryJobInfo() const { return Load<TQueryJobInfo>(QueryJobInfoField); }
    TWriteServerLog WriteServerLog() const { return Load<TWriteServerLog>(WriteServerLogField); }
    void SetQueryVariable(TQueryVariable F) { Store(QueryVariableField, F); }
    void SetQueryJobInfo(TQueryJobInfo F) { Store(QueryJobInfoField, F); }
    void SetWriteServerLog(TWriteServerLog F) { Store(WriteServerLogField, F); }

private:
    template <class T>
    static T Load(const unsigned char* Field) {
        T V;
        std::memcpy(&V, Field, sizeof V);
        return V;
    }
    template <class T>
    static void Store(unsigned char* Field, T V) {
        std::memcpy(Field, &V, sizeof V);
    }
};

struct TJobInfo {
    uint8_t Reserved0[JobInfoSenderOffset];
    unsigned char SenderField[sizeof(void*)];
    uint8_t Reserved1[JobInfoJobIdOffset - JobInfoSenderOffset - sizeof(void*)];
    char JobId[JobIdMaxLength];
    uint8_t Reserved2[JobInfoSize - JobInfoJobIdOffset - JobIdMaxLength];

    const char* Sender() const {
        const char* P;
        std::memcpy(&P, SenderField, sizeof P);
        return P;
    }
    void SetSender(const char* P) { std::memcpy(SenderField, &P, sizeof P); }
};
#pragma pack(pop)

static_assert(offsetof(THostInterface, VersionMajor) == 4);
static_assert(offsetof(THostInterface, VersionMinor) == 5);
static_assert(offsetof(THostInterface, QueryVariableField) == 10);
static_assert(offsetof(THostInterface, QueryJobInfoField) == 102);
static_assert(offsetof(THostInterface, WriteServerLogField) == 358);
static_assert(sizeof(THostInterface) == 634);
static_assert(offsetof(TJobInfo, SenderField) == 10);
static_assert(offsetof(TJobInfo, JobId) == 102);
static_assert(offsetof(TJobInfo, Reserved2) == 122);
static_assert(sizeof(TJobInfo) == 124);

}  // namespace lumaro

// The module's four exports: C calling convention, 16-bit signed results.
extern "C" {
LUMARO_EXPORT int16_t LUMARO_CDECL STARTUP(lumaro::THostInterface* Host);
LUMARO_EXPORT int16_t LUMARO_CDECL DAEMON(void* JobHandle, lumaro::THostInterface* Host);
LUMARO_EXPORT int16_t LUMARO_CDECL CLOSEDOWN();
LUMARO_EXPORT int16_t LUMARO_CDECL CONFIGURE();
}
