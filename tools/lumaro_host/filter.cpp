// The filter command: one message from standard input through DAEMON in a scratch
// queue, the result to standard output.
#include <filesystem>

#include "tools/lumaro_host/host.h"

namespace lumaro::host {
namespace {

namespace fs = std::filesystem;

const char* const FilterJobId = "STDIN";

// The job in its scratch queue; gives the message as it stands afterwards.
std::string FilterThroughModule(const TOptions& Options, const TModule& Module,
                                const std::string& Message, bool& Failed) {
    TScratchFolder Scratch(TemporaryFolder(), "lumaro-filter-");
    const std::string Queue = JoinPath(Scratch.Path(), "QUEUE");
    std::error_code Error;
    fs::create_directory(PathOf(Queue), Error);
    if (Error) throw TUsageError("cannot create the scratch queue " + Queue);
    const std::string QueueFile = QueueFileOf(Queue, FilterJobId);
    platform::WriteWholeFile(QueueFile, Message);
    platform::WriteWholeFile(JoinPath(Scratch.Path(), "lumaro.ini"),
                             ScratchConfiguration(Options.BaseDir, JoinPath(Scratch.Path(), "lumaro.log"),
                                                  Queue, Options.CharSet));

    TOptions ServerOptions = Options;
    ServerOptions.BaseDir = Scratch.Path();
    ServerOptions.QueueDir = Queue;
    TServer Server(ServerSettingsOf(ServerOptions));
    const TJobOutcome Outcome = Server.RunJob(Module, TJob{FilterJobId, std::nullopt});
    Failed = Outcome.Failed || Outcome.SettingReports > 0;

    // A failed job leaves the message as it was, and that is what goes on down the pipe.
    std::string Result = platform::ReadWholeFile(QueueFile);
    const std::string Log = JoinPath(Scratch.Path(), "lumaro.log");
    if (platform::FileExists(Log)) WriteStderr(platform::ReadWholeFile(Log));
    return Result;
}

}  // namespace

int FilterCommand(const TOptions& Options) {
    // The module first: a host that cannot work has not taken the message yet.
    TModule Module;
    LoadModule(Options.ModulePath, Module);
    const std::string Message = ReadAllStdin();
    bool Failed = false;
    try {
        WriteStdout(FilterThroughModule(Options, Module, Message, Failed));
    } catch (const std::exception& E) {
        // Whatever goes wrong around the job, the message itself is not lost.
        WriteStderr(std::string("lumaro-host: ") + E.what() + "\n");
        WriteStdout(Message);
        Failed = true;
    }
    return Failed ? ExitJobFailed : ExitOk;
}

}  // namespace lumaro::host
