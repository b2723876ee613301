// The simulated server: the host record with its three functions, and the module
// loaded by path.
#include <algorithm>
#include <cstdio>
#include <cstring>

#include "tools/hostside/hostside.h"

namespace lumaro::host {
namespace {

// The host functions are plain C functions in the record, so they reach the
// server through a pointer: the one of the calling thread, since the module makes
// every host call of a job on the thread that runs it.
thread_local TServer* ActiveServer = nullptr;

const char* LUMARO_CDECL QueryVariable(int Selector) {
    return ActiveServer ? ActiveServer->Variable(Selector) : nullptr;
}

int LUMARO_CDECL QueryJobInfo(void* Handle, void* Info) {
    if (ActiveServer && Info) ActiveServer->FillJobInfo(Handle, Info);
    return 1;
}

int LUMARO_CDECL WriteServerLog(int Zero, int Five, const char* Text) {
    if (ActiveServer) ActiveServer->WriteLog(Zero, Five, Text);
    return 0;
}

std::string TwoDigits(int N) {
    char Buffer[16];
    std::snprintf(Buffer, sizeof Buffer, "%02d", N);
    return Buffer;
}

std::string ServerLogStamp() {
    const platform::TLocalTime T = platform::LocalTime();
    return std::to_string(T.Year) + "-" + TwoDigits(T.Month) + "-" + TwoDigits(T.Day) + " " +
           TwoDigits(T.Hour) + ":" + TwoDigits(T.Minute) + ":" + TwoDigits(T.Second);
}

#ifdef _WIN32
const char* const ServerLogLineEnd = "\r\n";
#else
const char* const ServerLogLineEnd = "\n";
#endif

// A server does not clear the buffer it fills; neither do we, beyond the fields
// we own, so that a module reading past them would see noise instead of zeros.
constexpr unsigned char JobInfoNoise = 0xA5;

}  // namespace

TServer::TServer(TServerSettings Given) : Settings(std::move(Given)) {
    HostRecord.VersionMajor = Settings.VersionMajor;
    HostRecord.VersionMinor = Settings.VersionMinor;
    HostRecord.SetQueryVariable(&QueryVariable);
    HostRecord.SetQueryJobInfo(&QueryJobInfo);
    HostRecord.SetWriteServerLog(&WriteServerLog);
    ActiveServer = this;
}

TServer::~TServer() {
    if (ActiveServer == this) ActiveServer = nullptr;
}

const char* TServer::Variable(int Selector) const {
    const std::optional<std::string>* Value = nullptr;
    switch (Selector) {
        case HostVarQueueDir: Value = &Settings.QueueDir; break;
        case HostVarHostName: Value = &Settings.HostName; break;
        case HostVarBaseDir: Value = &Settings.BaseDir; break;
        default: return nullptr;
    }
    return Value->has_value() ? (*Value)->c_str() : nullptr;
}

void TServer::FillJobInfo(void* Handle, void* Info) const {
    TJobInfo Filled;
    std::memset(&Filled, JobInfoNoise, sizeof Filled);
    const TJob* Job = static_cast<const TJob*>(Handle);
    if (Job != CurrentJob || Job == nullptr) {
        WriteStderr(Settings.ProgramName + ": QueryJobInfo was given an unknown job handle\n");
        std::memset(&Filled, 0, sizeof Filled);
        std::memcpy(Info, &Filled, sizeof Filled);
        return;
    }
    // Shorter identifiers end with a NUL byte; one of 20 or more fills the field.
    const size_t N = std::min(Job->JobId.size(), JobIdMaxLength);
    std::memcpy(Filled.JobId, Job->JobId.data(), N);
    if (N < JobIdMaxLength) Filled.JobId[N] = '\0';
    Filled.SetSender(Job->Sender ? Job->Sender->c_str() : nullptr);
    std::memcpy(Info, &Filled, sizeof Filled);
}

void TServer::WriteLog(int Zero, int Five, const char* Text) {
    const std::string Message = Text ? Text : "(null text)";
    // A setting the module could not use is reported, and the job still done.
    if (Message.rfind(SettingPrefix, 0) == 0) ++SettingReports;
    else ++CrashReports;
    if (Zero != 0 || Five != 5) {
        WriteStderr(Settings.ProgramName + ": WriteServerLog called with " + std::to_string(Zero) + ", " +
                    std::to_string(Five) + " instead of 0, 5\n");
    }
    WriteStderr(Settings.LogPrefix + Message + "\n");
    if (!Settings.LogFile) return;
    try {
        platform::AppendToFile(*Settings.LogFile, ServerLogStamp() + " " + Message + ServerLogLineEnd);
    } catch (const std::exception& E) {
        WriteStderr(Settings.ProgramName + ": " + E.what() + "\n");
    }
}

TJobOutcome TServer::RunJob(const TModule& Module, const TJob& Job) {
    CurrentJob = &Job;
    const unsigned CrashesBefore = CrashReports, SettingsBefore = SettingReports;
    TJobOutcome Outcome;
    // The job handle is opaque to the module; ours is the job's own address.
    Outcome.Result = Module.Daemon(const_cast<TJob*>(&Job), &HostRecord);
    Outcome.Failed = CrashReports != CrashesBefore;
    Outcome.SettingReports = SettingReports - SettingsBefore;
    CurrentJob = nullptr;
    return Outcome;
}

void* TModule::Entry(const char* Name) const {
    void* Address = Library.Symbol(Name);
    if (!Address) throw TUsageError("the module " + LoadedPath + " has no entry point " + Name);
    return Address;
}

void TModule::Load(const std::string& Path) {
    LoadedPath = Path;
    if (!Library.Load(Path)) throw TUsageError("cannot load the module " + Path);
    StartupEntry = reinterpret_cast<TStartupEntry>(Entry("STARTUP"));
    DaemonEntry = reinterpret_cast<TDaemonEntry>(Entry("DAEMON"));
    ClosedownEntry = reinterpret_cast<TPlainEntry>(Entry("CLOSEDOWN"));
    ConfigureEntry = reinterpret_cast<TPlainEntry>(Entry("CONFIGURE"));
    SystemCallsEntry = reinterpret_cast<const char*(LUMARO_CDECL*)()>(Library.Symbol("LUMARO_SYSTEM_CALLS"));
}

std::optional<std::string> TModule::SystemCalls() const {
    if (SystemCallsEntry == nullptr) return std::nullopt;
    const char* Text = SystemCallsEntry();
    return std::string(Text != nullptr ? Text : "");
}

}  // namespace lumaro::host
