// The filter command: one message from standard input through DAEMON in a scratch
// queue, the result to standard output.
#include <chrono>
#include <filesystem>

#include "tools/lumaro_host/host.h"

namespace lumaro::host {
namespace {

namespace fs = std::filesystem;

const char* const FilterJobId = "STDIN";
const char* const ConfigSection = "Lumaro";

// A scratch folder of our own, removed with everything in it when we are done.
class TScratchFolder {
public:
    TScratchFolder() {
        std::error_code Error;
        const fs::path Temp = fs::temp_directory_path(Error);
        if (Error) throw TUsageError("no folder for temporary files");
        const auto Seed = static_cast<unsigned long long>(
            std::chrono::steady_clock::now().time_since_epoch().count());
        for (unsigned Try = 0; Try < 100; ++Try) {
            const fs::path Candidate = Temp / ("lumaro-filter-" + std::to_string(Seed + Try));
            // create_directory fails on an existing folder, so two filters never share one.
            if (fs::create_directory(Candidate, Error) && !Error) {
                Folder = Candidate.string();
                return;
            }
        }
        throw TUsageError("cannot create a scratch folder in " + Temp.string());
    }
    ~TScratchFolder() {
        std::error_code Error;
        fs::remove_all(Folder, Error);
    }
    TScratchFolder(const TScratchFolder&) = delete;
    TScratchFolder& operator=(const TScratchFolder&) = delete;
    const std::string& Path() const { return Folder; }

private:
    std::string Folder;
};

// The value of a key of the given configuration, or nothing when the file, the
// section or the key is missing (a key present with an empty value is kept).
std::optional<std::string> ConfiguredValue(const std::string& IniPath, const std::string& Key) {
    static const std::string Missing("\x01missing\x01");
    std::string Value = platform::ProfileString(IniPath, ConfigSection, Key, Missing);
    if (Value == Missing) return std::nullopt;
    return Value;
}

std::string ScratchConfiguration(const TOptions& Options, const std::string& Scratch,
                                 const std::string& Queue) {
    std::optional<std::string> TagName, CharSet;
    if (Options.BaseDir) {
        const std::string Ini = JoinPath(*Options.BaseDir, "lumaro.ini");
        TagName = ConfiguredValue(Ini, "TagName");
        CharSet = ConfiguredValue(Ini, "CharSet");
    }
    if (Options.CharSet) CharSet = Options.CharSet;
    std::string Text = "[Lumaro]\r\n";
    Text += "LogFile=" + JoinPath(Scratch, "lumaro.log") + "\r\n";
    Text += "Queue=" + Queue + "\r\n";
    if (TagName) Text += "TagName=" + *TagName + "\r\n";
    if (CharSet) Text += "CharSet=" + *CharSet + "\r\n";
    return Text;
}

// The job in its scratch queue; gives the message as it stands afterwards.
std::string FilterThroughModule(const TOptions& Options, const TModule& Module,
                                const std::string& Message, bool& Failed) {
    TScratchFolder Scratch;
    const std::string Queue = JoinPath(Scratch.Path(), "QUEUE");
    std::error_code Error;
    fs::create_directory(Queue, Error);
    if (Error) throw TUsageError("cannot create the scratch queue " + Queue);
    const std::string QueueFile = JoinPath(Queue, std::string(FilterJobId) + ".QDF");
    platform::WriteWholeFile(QueueFile, Message);
    platform::WriteWholeFile(JoinPath(Scratch.Path(), "lumaro.ini"),
                             ScratchConfiguration(Options, Scratch.Path(), Queue));

    TOptions ServerOptions = Options;
    ServerOptions.BaseDir = Scratch.Path();
    ServerOptions.QueueDir = Queue;
    TServer Server(ServerOptions);
    Failed = Server.RunJob(Module, TJob{FilterJobId, std::nullopt}).Failed;

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
    LoadModule(Options, Module);
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
