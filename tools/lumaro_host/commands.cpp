// The run, queue and entry-point commands.
#include <algorithm>
#include <cctype>
#include <chrono>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <map>
#include <optional>
#include <sstream>
#include <utility>
#include <vector>

#include "tools/lumaro_host/host.h"
#include "velutil/velutil.h"

namespace lumaro::host {
namespace {

namespace fs = std::filesystem;
using TClock = std::chrono::steady_clock;

// What tells a rewritten queue file from an untouched one: the module always adds
// a tag line to a changed message, and a replaced file has a new time.
struct TFileStamp {
    bool Exists = false;
    uintmax_t Size = 0;
    fs::file_time_type Time{};
    bool operator==(const TFileStamp&) const = default;
};

TFileStamp StampOf(const std::string& Path) {
    std::error_code Error;
    TFileStamp Stamp;
    const fs::path File = PathOf(Path);
    Stamp.Size = fs::file_size(File, Error);
    if (Error) return TFileStamp{};
    Stamp.Time = fs::last_write_time(File, Error);
    Stamp.Exists = !Error;
    return Stamp;
}

bool HasQueueSuffix(const std::string& Name) {
    static const std::string Suffix = ".QDF";
    if (Name.size() <= Suffix.size()) return false;
    const std::string Tail = Name.substr(Name.size() - Suffix.size());
#ifdef _WIN32
    // Windows file names do not tell case apart, so x.qdf is the job x.
    return std::equal(Tail.begin(), Tail.end(), Suffix.begin(),
                      [](char A, char B) { return UpperByte(A) == B; });
#else
    return Tail == Suffix;
#endif
}

struct TQueueEntry {
    std::string Name;
    std::string Path;
};

std::vector<TQueueEntry> ListQueue(const std::string& Folder) {
    std::error_code Error;
    fs::directory_iterator It(PathOf(Folder), Error);
    if (Error) throw TUsageError("cannot read the queue folder " + Folder);
    std::vector<TQueueEntry> Entries;
    for (const fs::directory_entry& Entry : It) {
        const std::string Name = TextOf(Entry.path().filename());
        if (HasQueueSuffix(Name) && Entry.is_regular_file(Error)) {
            Entries.push_back({Name, TextOf(Entry.path())});
        }
    }
    std::sort(Entries.begin(), Entries.end(),
              [](const TQueueEntry& A, const TQueueEntry& B) { return A.Name < B.Name; });
    return Entries;
}

bool HeaderNamed(const std::string& Line, const char* Name) {
    const size_t Length = std::char_traits<char>::length(Name);
    if (Line.size() <= Length || Line[Length] != ':') return false;
    for (size_t I = 0; I < Length; ++I)
        if (LowerByte(Line[I]) != Name[I]) return false;
    return true;
}

// A server knows a queued message's envelope sender; this stand-in reads it from
// the message's Return-Path line, else its From line, in the first 16 KB.
std::optional<std::string> SenderOfMessage(const std::string& Path) {
    std::ifstream File(Path, std::ios::binary);
    std::string Head(16384, '\0');
    File.read(Head.data(), static_cast<std::streamsize>(Head.size()));
    Head.resize(static_cast<size_t>(File.gcount()));
    std::optional<std::string> From;
    size_t At = 0;
    while (At < Head.size()) {
        const size_t End = std::min(Head.find_first_of("\r\n", At), Head.size());
        const std::string Line = Head.substr(At, End - At);
        if (Line.empty()) break;
        if (HeaderNamed(Line, "return-path")) return Line.substr(12);
        if (!From && HeaderNamed(Line, "from")) From = Line.substr(5);
        At = End + 1;
        if (At < Head.size() && Head[End] == '\r' && Head[At] == '\n') ++At;
    }
    return From;
}

const char* OutcomeText(const TJobOutcome& Outcome, bool Changed) {
    if (Outcome.Failed) return "failed";
    return Changed ? "changed" : "unchanged";
}

class TProgress {
public:
    explicit TProgress(size_t Total) : Total(Total), Shown(StderrIsTerminal()) {}
    void Step(size_t Done, const std::string& Name) {
        if (!Shown) return;
        const auto Now = TClock::now();
        if (Done != Total && Now - Last < std::chrono::milliseconds(100)) return;
        Last = Now;
        std::string Line = "\r";
        Line += std::to_string(Done);
        Line += "/";
        Line += std::to_string(Total);
        Line += " ";
        Line.append(Name, 0, 40);
        Line += "\x1b[K";
        WriteStderr(Line);
    }
    void Finish() {
        if (Shown) WriteStderr("\r\x1b[K");
    }

private:
    size_t Total;
    bool Shown;
    TClock::time_point Last{};
};

std::string Fixed(double Value, int Digits) {
    char Buffer[64];
    std::snprintf(Buffer, sizeof Buffer, "%.*f", Digits, Value);
    return Buffer;
}

std::string PeakMemoryText() {
    const uint64_t Peak = PeakMemoryBytes();
    return Peak > 0 ? ", peak memory " + Fixed(static_cast<double>(Peak) / 1e6, 1) + " MB" : std::string();
}

using TCallCounts = std::map<std::string, uint64_t>;

TCallCounts CallCountsOf(const std::string& Text) {
    TCallCounts Counts;
    std::istringstream Lines(Text);
    std::string Name;
    uint64_t Count = 0;
    while (Lines >> Name >> Count) Counts[Name] = Count;
    return Counts;
}

// "system calls per job: 5.00 (CreateFileA 1.00, ReadFile 1.00, ...)", from the
// counts before and after the jobs; most frequent first.
std::string CallsPerJobText(const TCallCounts& Before, const TCallCounts& After, size_t Jobs) {
    std::vector<std::pair<uint64_t, std::string>> Made;
    uint64_t Total = 0;
    for (const auto& [Name, Count] : After) {
        const auto It = Before.find(Name);
        const uint64_t Calls = Count - (It != Before.end() ? It->second : 0);
        if (Calls > 0) Made.emplace_back(Calls, Name);
        Total += Calls;
    }
    std::sort(Made.begin(), Made.end(), [](const auto& A, const auto& B) { return A.first > B.first; });
    const double PerJob = Jobs > 0 ? 1.0 / static_cast<double>(Jobs) : 0.0;
    std::string Text = "system calls per job: " + Fixed(static_cast<double>(Total) * PerJob, 2) + " (";
    for (size_t I = 0; I < Made.size(); ++I)
        Text += (I > 0 ? ", " : "") + Made[I].second + " " + Fixed(static_cast<double>(Made[I].first) * PerJob, 2);
    return Text + ")\n";
}

}  // namespace

int RunCommand(const TOptions& Options) {
    TModule Module;
    LoadModule(Options.ModulePath, Module);
    TServer Server(ServerSettingsOf(Options));
    // The module takes at most 20 characters of the identifier for the file name.
    const std::string File = QueueFileOf(QueueFolder(Options), Options.JobId.substr(0, JobIdMaxLength));
    const TFileStamp Before = StampOf(File);
    const TJob Job{Options.JobId, Options.Sender};
    const TJobOutcome Outcome = Server.RunJob(Module, Job);
    const bool Changed = !(StampOf(File) == Before);
    WriteStdout("DAEMON returned " + std::to_string(Outcome.Result) + " (" +
                OutcomeText(Outcome, Changed) + ")\n");
    return Outcome.Failed || Outcome.SettingReports > 0 ? ExitJobFailed : ExitOk;
}

int QueueCommand(const TOptions& Options) {
    TModule Module;
    LoadModule(Options.ModulePath, Module);
    TServer Server(ServerSettingsOf(Options));
    const std::vector<TQueueEntry> Entries = ListQueue(QueueFolder(Options));

    // Senders are read before the clock starts: the summary times the module alone.
    std::vector<std::optional<std::string>> Senders;
    Senders.reserve(Entries.size());
    for (const TQueueEntry& Entry : Entries) Senders.push_back(SenderOfMessage(Entry.Path));

    size_t Changed = 0, Failed = 0, WithSettingReports = 0;
    uintmax_t Bytes = 0;
    TProgress Progress(Entries.size());
    // Only the jobs are timed: the look at each file that tells a changed one is
    // this program's cost, not the module's.
    TClock::duration Timed{};
    const std::optional<std::string> CallsBefore = Module.SystemCalls();
    for (size_t I = 0; I < Entries.size(); ++I) {
        const TQueueEntry& Entry = Entries[I];
        Progress.Step(I, Entry.Name);
        const TFileStamp Before = StampOf(Entry.Path);
        Bytes += Before.Size;
        const TJob Job{Entry.Name.substr(0, Entry.Name.size() - 4), Senders[I]};
        const auto Start = TClock::now();
        const TJobOutcome Outcome = Server.RunJob(Module, Job);
        Timed += TClock::now() - Start;
        if (Outcome.SettingReports > 0) ++WithSettingReports;
        if (Outcome.Failed) ++Failed;
        else if (!(StampOf(Entry.Path) == Before)) ++Changed;
    }
    const std::optional<std::string> CallsAfter = Module.SystemCalls();
    const double Seconds = std::chrono::duration<double>(Timed).count();
    Progress.Step(Entries.size(), "");
    Progress.Finish();
    const double Rate = Seconds > 0 ? static_cast<double>(Bytes) / 1e6 / Seconds : 0.0;
    const std::string Reported =
        WithSettingReports > 0 ? ", " + std::to_string(WithSettingReports) + " reporting a setting it could not use"
                               : std::string();
    WriteStdout("jobs " + std::to_string(Entries.size()) + ", changed " + std::to_string(Changed) +
                ", failed " + std::to_string(Failed) + Reported + ", " + Fixed(Seconds, 3) + " seconds, " +
                Fixed(Rate, 1) + " MB/s" + PeakMemoryText() + "\n");
    if (CallsBefore && CallsAfter)
        WriteStdout(CallsPerJobText(CallCountsOf(*CallsBefore), CallCountsOf(*CallsAfter), Entries.size()));
    return Failed > 0 || WithSettingReports > 0 ? ExitJobFailed : ExitOk;
}

int CheckConfigCommand(const TOptions& Options) {
    return PrintConfigurationCheck(Options.BaseDir.value_or(".")) > 0 ? ExitJobFailed : ExitOk;
}

int EntryPointCommand(const TOptions& Options) {
    TModule Module;
    LoadModule(Options.ModulePath, Module);
    TServer Server(ServerSettingsOf(Options));
    switch (Options.Command) {
        case TCommand::Startup:
            WriteStdout("STARTUP returned " + std::to_string(Module.Startup(Server.Record())) + "\n");
            break;
        case TCommand::Closedown:
            WriteStdout("CLOSEDOWN returned " + std::to_string(Module.Closedown()) + "\n");
            break;
        default:
            WriteStdout("CONFIGURE returned " + std::to_string(Module.Configure()) + "\n");
            break;
    }
    return ExitOk;
}

}  // namespace lumaro::host
