// lumaro-host: a stand-in for the mail server. It loads the module by path the way
// the server does, hands it a host record of its own and drives its entry points,
// so that the module can be tried and tested without the server.
#pragma once

#include <cstdint>
#include <optional>
#include <stdexcept>
#include <string>
#include <vector>

#include "lumaro/hostif.h"
#include "platform/platform.h"

namespace lumaro::host {

// Exit statuses of the program.
constexpr int ExitOk = 0;
constexpr int ExitJobFailed = 1;
constexpr int ExitUsage = 2;

// A mistake in the command line, or something the host itself cannot work with
// (no module, no queue folder): one line on stderr and exit status 2.
class TUsageError : public std::runtime_error {
public:
    using std::runtime_error::runtime_error;
};

enum class TCommand { Run, Queue, Filter, Startup, Closedown, Configure, Help };

struct TOptions {
    TCommand Command = TCommand::Help;
    std::string ModulePath;  // empty: the module beside the executable
    std::optional<std::string> BaseDir;
    std::optional<std::string> QueueDir;
    std::optional<std::string> HostName;
    std::optional<std::string> CharSet;
    uint8_t VersionMajor = 4;
    uint8_t VersionMinor = 1;
    std::string JobId;
    std::optional<std::string> Sender;
};

// Raises TUsageError for anything it cannot accept.
TOptions ParseArguments(const std::vector<std::string>& Args);
const char* HelpText();

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

private:
    void* Entry(const char* Name) const;

    platform::TLibrary Library;
    std::string LoadedPath;
    TStartupEntry StartupEntry = nullptr;
    TDaemonEntry DaemonEntry = nullptr;
    TPlainEntry ClosedownEntry = nullptr;
    TPlainEntry ConfigureEntry = nullptr;
};

// "lumaro.so" / "lumaro.dll" in the folder of the running executable.
std::string DefaultModulePath();
// Loads --module, or the module beside the executable.
void LoadModule(const TOptions& Options, TModule& Module);
std::string JoinPath(const std::string& Folder, const std::string& Name);

// What the server knows about one queued job; its address is the job handle.
struct TJob {
    std::string JobId;
    std::optional<std::string> Sender;
};

struct TJobOutcome {
    int16_t Result = 0;
    bool Failed = false;  // the module wrote to the server log during the job
};

// The simulated server: its host record, its answers to the module's questions and
// its own log (stderr, and server.log in the base folder when there is one).
class TServer {
public:
    explicit TServer(const TOptions& Options);
    ~TServer();
    TServer(const TServer&) = delete;
    TServer& operator=(const TServer&) = delete;

    THostInterface* Record() { return &HostRecord; }
    TJobOutcome RunJob(const TModule& Module, const TJob& Job);
    void WriteLog(int Zero, int Five, const char* Text);
    const char* Variable(int Selector) const;
    void FillJobInfo(void* Handle, void* Info) const;

private:
    std::string BaseDir, QueueDir, HostName;
    bool HasBase = false, HasQueue = false, HasHost = false;
    THostInterface HostRecord{};
    const TJob* CurrentJob = nullptr;
    unsigned LogMessages = 0;
};

// The queue folder the module will read: the configuration's Queue key, else the
// --queue option, else BASE/QUEUE (the module's own order of choice).
std::string QueueFolder(const TOptions& Options);

// Console helpers.
void UseBinaryStdio();
bool StderrIsTerminal();
std::string ReadAllStdin();
void WriteStdout(const std::string& Bytes);
void WriteStderr(const std::string& Text);
// The most memory this process has held at once, in bytes; 0 when unknown.
uint64_t PeakMemoryBytes();

int RunCommand(const TOptions& Options);
int QueueCommand(const TOptions& Options);
int FilterCommand(const TOptions& Options);
int EntryPointCommand(const TOptions& Options);

}  // namespace lumaro::host
