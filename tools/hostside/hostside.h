// The server side of the host interface, shared by the programs that load the
// module the way the mail server does (lumaro-host, lumaro-milter): the module
// loaded by path, the host record with its three functions, the server's
// variables, the job information it hands out and the server's own log.
#pragma once

#include <cstdint>
#include <filesystem>
#include <optional>
#include <stdexcept>
#include <string>

#include "lumaro/hostif.h"
#include "lumaro/lumaro.h"
#include "platform/platform.h"

namespace lumaro::host {

// Something the program cannot work with (no module, no folder, a bad command
// line): the program says so in one line and stops.
class TUsageError : public std::runtime_error {
public:
    using std::runtime_error::runtime_error;
};

// The loaded module and its four entry points.
class TModule {
public:
    using TStartupEntry = int16_t(LUMARO_CDECL*)(THostInterface*);
    using TDaemonEntry = int16_t(LUMARO_CDECL*)(void*, THostInterface*);
    using TPlainEntry = int16_t(LUMARO_CDECL*)();

    // Raises TUsageError when the file cannot be loaded or lacks an entry point.
    void Load(const std::string& Path);
    int16_t Startup(THostInterface* Host) const { return StartupEntry(Host); }
    int16_t Daemon(void* Job, THostInterface* Host) const { return DaemonEntry(Job, Host); }
    int16_t Closedown() const { return ClosedownEntry(); }
    int16_t Configure() const { return ConfigureEntry(); }
    // The system calls the module made so far, "name count" a line, where it is a
    // build that counts them (LUMARO_COUNT_CALLS); nothing otherwise.
    std::optional<std::string> SystemCalls() const;

private:
    void* Entry(const char* Name) const;

    platform::TLibrary Library;
    std::string LoadedPath;
    TStartupEntry StartupEntry = nullptr;
    TDaemonEntry DaemonEntry = nullptr;
    TPlainEntry ClosedownEntry = nullptr;
    TPlainEntry ConfigureEntry = nullptr;
    const char*(LUMARO_CDECL* SystemCallsEntry)() = nullptr;
};

// "lumaro.so" / "lumaro.dll" beside the running executable, or in ../lumaro/ from
// it as in a build tree.
std::string DefaultModulePath();
// Loads Path, or the default module when Path is empty.
void LoadModule(const std::string& Path, TModule& Module);
using lumaro::JoinPath;

// What the server knows about one queued job; its address is the job handle.
struct TJob {
    std::string JobId;
    std::optional<std::string> Sender;
};

struct TJobOutcome {
    int16_t Result = 0;
    bool Failed = false;         // the module reported a crash to the server log
    unsigned SettingReports = 0;  // the settings the module reported it could not use
};

// What the server answers and where its log goes. A variable without a value is
// answered with null.
struct TServerSettings {
    std::optional<std::string> BaseDir;   // host variable 8
    std::optional<std::string> QueueDir;  // host variable 1
    std::optional<std::string> HostName;  // host variable 3
    uint8_t VersionMajor = 4;
    uint8_t VersionMinor = 1;
    // Server log messages go to stderr after this prefix, and are appended to
    // this file when there is one.
    std::string LogPrefix = "server log: ";
    std::string ProgramName = "lumaro-host";  // in the server's own complaints
    std::optional<std::string> LogFile;
};

// The simulated server: its host record, its answers to the module's questions and
// its own log. One server at a time per thread: the host functions are plain C
// functions and reach it through a pointer of the thread.
class TServer {
public:
    explicit TServer(TServerSettings Settings);
    ~TServer();
    TServer(const TServer&) = delete;
    TServer& operator=(const TServer&) = delete;

    THostInterface* Record() { return &HostRecord; }
    TJobOutcome RunJob(const TModule& Module, const TJob& Job);
    void WriteLog(int Zero, int Five, const char* Text);
    const char* Variable(int Selector) const;
    void FillJobInfo(void* Handle, void* Info) const;

private:
    TServerSettings Settings;
    THostInterface HostRecord{};
    const TJob* CurrentJob = nullptr;
    unsigned CrashReports = 0;
    unsigned SettingReports = 0;
};

// The configuration a host writes for a job it runs in a scratch folder: LogFile
// and Queue as given, TagName, CharSet and CodePage from BASE/lumaro.ini when it
// has them, CharSet replaced by CharSetOverride when given.
std::string ScratchConfiguration(const std::optional<std::string>& BaseDir, const std::string& LogFile,
                                 const std::string& Queue,
                                 const std::optional<std::string>& CharSetOverride = std::nullopt);

// A new folder of our own in Parent (mode 700 where the system has modes), removed
// with everything in it when the object goes.
class TScratchFolder {
public:
    TScratchFolder(const std::string& Parent, const std::string& Prefix);
    ~TScratchFolder();
    TScratchFolder(const TScratchFolder&) = delete;
    TScratchFolder& operator=(const TScratchFolder&) = delete;
    const std::string& Path() const { return Folder; }

private:
    std::string Folder;
};
// The system's folder for temporary files.
std::string TemporaryFolder();

// A path of the system's ANSI code page, as the module and the server name files,
// as a path of the standard library, and back: on Windows the library would take
// the bytes for another charset and miss a folder such as C:\Pošta.
std::filesystem::path PathOf(const std::string& Text);
std::string TextOf(const std::filesystem::path& Path);

// What lumaro-host check-config and lumaro-milter --check-config print: the check
// of the configuration as the module's jobs read it, its problems last. The result
// is the number of problems.
size_t PrintConfigurationCheck(const std::string& BaseDir, const TCheckedHost& Host = {});

void WriteStdout(const std::string& Bytes);
void WriteStderr(const std::string& Text);
// The most memory this process has held at once, in bytes; 0 when unknown.
uint64_t PeakMemoryBytes();

}  // namespace lumaro::host
