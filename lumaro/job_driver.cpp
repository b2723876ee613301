// One message job: gather the job's identity from the server and the
// configuration, load the queued message, let the rules visit every part, and
// write the message back when a rule changed it.
#include <chrono>
#include <cstring>
#include <memory>
#include <new>
#include <optional>
#include <vector>

#include "lumaro/lumaro.h"
#include "mimepart/mimepart.h"
#include "mystrlist/mystrlist.h"
#include "platform/platform.h"
#include "velchar/velchar.h"
#include "velicnv/velicnv.h"
#include "velutil/velutil.h"

namespace lumaro {

TJobState JobState;

namespace {

// Unloading the library empties the job's texts. Defined after JobState in this
// file, so it is destroyed before it.
struct TModuleLifetime {
    TModuleLifetime() = default;
    TModuleLifetime(const TModuleLifetime&) = delete;
    TModuleLifetime& operator=(const TModuleLifetime&) = delete;
    ~TModuleLifetime() { ClearModuleState(); }
} ModuleLifetime;

constexpr const char* QueueFolderName = "QUEUE";
constexpr const char* QueueFileEnding = ".QDF";
constexpr const char* UnknownHostName = "-unknown-";

std::string JoinPath(const std::string& Folder, const std::string& Name) {
    std::string Path;
    Path.reserve(Folder.size() + 1 + Name.size());
    Path += Folder;
    Path += platform::PathSeparator();
    Path += Name;
    return Path;
}

// A server without the function, a null answer and an empty text all mean that
// the server has no value.
std::string QueryText(const THostInterface& Host, int Selector) {
    TQueryVariable Query = Host.QueryVariable();
    if (Query == nullptr) return {};
    const char* Text = Query(Selector);
    return Text != nullptr ? std::string(Text) : std::string();
}

// The settings a job uses; TagName and the knowledge of CharSet as the job can use them.
TJobSettings TakeConfiguration() {
    TConfiguration Configuration = ReadConfiguration(ConfigurationPath(JobState.BaseDir));
    TJobSettings Settings = SettleJobSettings(Configuration);
    JobState.LogFile = std::move(Configuration.LogFile.Value);
    JobState.TagName = Settings.TagName;
    JobState.QueueDir = std::move(Configuration.Queue.Value);
    JobState.CharSet = std::move(Configuration.CharSet.Value);
    JobState.CharSetKnown = Settings.CharSetKnown;
    return Settings;
}

// One server-log line for each setting the job cannot use as it stands. A server
// whose log raises does not stop the job for it.
void ReportSettingProblems(const THostInterface& Host, const std::vector<std::string>& Problems) {
    for (const std::string& Problem : Problems) {
        try {
            if (TWriteServerLog Write = Host.WriteServerLog()) Write(0, 5, (SettingPrefix + Problem).c_str());
        } catch (...) {
        }
    }
}

void SettleQueueDir(const THostInterface& Host) {
    if (!JobState.QueueDir.empty()) return;
    JobState.QueueDir = QueryText(Host, HostVarQueueDir);
    if (JobState.QueueDir.empty()) JobState.QueueDir = JoinPath(JobState.BaseDir, QueueFolderName);
}

void SettleHostName(const THostInterface& Host) {
    JobState.HostName = QueryText(Host, HostVarHostName);
    if (JobState.HostName.empty()) JobState.HostName = UnknownHostName;
}

// The identifier field holds at most 20 characters and has no NUL when full.
std::string JobIdOf(const TJobInfo& Info) {
    const void* Nul = std::memchr(Info.JobId, 0, JobIdMaxLength);
    const size_t Length = Nul != nullptr ? static_cast<size_t>(static_cast<const char*>(Nul) - Info.JobId)
                                         : JobIdMaxLength;
    return std::string(Info.JobId, Length);
}

void TakeJobIdentity(void* JobHandle, const THostInterface& Host) {
    // Zeroed, so that a server that fills nothing yields an empty job, not
    // whatever the stack held.
    TJobInfo Info{};
    if (TQueryJobInfo Query = Host.QueryJobInfo()) Query(JobHandle, &Info);
    const char* Sender = Info.Sender();
    JobState.SenderAddress = AddressOf(Sender != nullptr ? std::string_view(Sender) : std::string_view());
    JobState.JobId = JobIdOf(Info);
    JobState.QueueFile = JoinPath(JobState.QueueDir, JobState.JobId + QueueFileEnding);
}

TJobSettings GatherJobState(void* JobHandle, const THostInterface& Host) {
    // A failure before the job's identity is known must not be reported under
    // the identity of the previous job.
    JobState.JobId.clear();
    JobState.SenderAddress.clear();
    JobState.BaseDir = QueryText(Host, HostVarBaseDir);
    TJobSettings Settings = TakeConfiguration();
    SettleQueueDir(Host);
    SettleHostName(Host);
    TakeJobIdentity(JobHandle, Host);
    JobState.Changed = false;
    return Settings;
}

// A rewrite killed before its end leaves its temporary file in the queue folder.
// Finding one means reading the whole folder, which may hold a hundred thousand
// messages: it is searched at the first job in it and then at most every ten
// minutes, not at every job. A process started after a killed one thus clears its
// leftovers at its first job.
struct TLeftoverSearch {
    std::string Folder;
    std::chrono::steady_clock::time_point Last;
} LeftoverSearch;

constexpr std::chrono::minutes LeftoverSearchInterval{10};

void RemoveLeftoversNowAndThen() {
    const auto Now = std::chrono::steady_clock::now();
    if (LeftoverSearch.Folder == JobState.QueueDir && Now - LeftoverSearch.Last < LeftoverSearchInterval) return;
    try {
        platform::RemoveLeftoverTemporaries(JobState.QueueDir);
        LeftoverSearch.Folder = JobState.QueueDir;
        LeftoverSearch.Last = Now;
    } catch (...) {
        // Leftovers cost space, not correctness: the job goes on.
    }
}

// The joined text goes from the tree to the file in pieces, so that a large
// message is not held a second time as one text.
void SaveMessage(platform::TLoadedFile& Queued, TMimePart& Root) {
    Queued.ReplaceWith([&Root](const platform::TContentWriter& Write) { Root.WriteJoinedText(Write); });
}

void ProcessMessage() {
    RemoveLeftoversNowAndThen();
    platform::TLoadedFile Queued(JobState.QueueFile);
    TMyStringList File;
    File.AdoptFileContent(Queued.TakeContent());
    if (std::unique_ptr<TMimePart> Changed = NormalizedMessage(std::move(File))) SaveMessage(Queued, *Changed);
}

// The message of the error being handled; must be called inside a catch block.
std::string CurrentErrorMessage() {
    try {
        throw;
    } catch (const std::bad_alloc&) {
        return "Out of memory";
    } catch (const std::exception& E) {
        return E.what();
    } catch (...) {
        return "Unknown error";
    }
}

}  // namespace

namespace {

// The nearest multipart that was split around every part of the tree.
std::unordered_map<const TMimePart*, const TMimePart*> EnclosingMultipartsOf(const TMimePart& Root) {
    std::unordered_map<const TMimePart*, const TMimePart*> Around;
    std::vector<std::pair<const TMimePart*, const TMimePart*>> Pending{{&Root, nullptr}};
    while (!Pending.empty()) {
        const auto [Part, Enclosing] = Pending.back();
        Pending.pop_back();
        if (Enclosing != nullptr) Around.emplace(Part, Enclosing);
        const bool Splits = Part->PrimaryKind == TMimePrimaryKind::PrimaryMultipart && Part->Kept == TMimeKept::Nothing;
        for (int32_t I = 0; I < Part->ChildCount(); ++I) Pending.emplace_back(Part->Child(I), Splits ? Part : Enclosing);
    }
    return Around;
}

}  // namespace

std::unique_ptr<TMimePart> NormalizedMessage(TLineList&& Lines) {
    auto Root = std::make_unique<TMimePart>();
    Root->Lines = std::move(Lines);
    Root->MaxDepth = MimeMaxDepth;
    Root->MaxParts = MimeMaxParts;
    Root->MaxHeaderItems = MimeMaxHeaderItems;
    // The tree takes the lines over; the root's own list is rebuilt only when the
    // message is written back.
    Root->SplitPartsTakingLines();
    JobState.EnclosingMultiparts = EnclosingMultipartsOf(*Root);
    Root->Visitor = &TWalk::NormalizePart;
    Root->VisitParts();
    JobState.EnclosingMultiparts.clear();
    if (!JobState.Changed) return nullptr;
    Root->HeaderLines.Insert(0, TagLine());
    return Root;
}

std::string TagLine() {
    std::string Line = JobState.TagName;
    Line += ": normalization conversion made by ";
    Line += ProductName;
    Line += " on ";
    Line += JobState.HostName;
    return Line;
}

void RunJob(void* JobHandle, const THostInterface& Host) {
    // Outside the crash handler, so that a failed job's line goes to the open log too.
    const TJobActivityLog OneOpeningOfTheLog;
    // Gathering the job's identity fails only in extraordinary cases (exhausted
    // memory, a server that raises); those are reported like a failed message.
    try {
        const TIconvAbsenceMemo OneSearchForTheLibrary;
        const TJobSettings Settings = GatherJobState(JobHandle, Host);
        std::optional<TSystemCodePageScope> CodePage;
        if (Settings.CodePage) CodePage.emplace(*Settings.CodePage);
        ReportSettingProblems(Host, Settings.Problems);
        ProcessMessage();
    } catch (...) {
        std::string Message;
        try {
            Message = CurrentErrorMessage();
        } catch (...) {
            // Not even the message text fits in memory; report without it.
        }
        ReportCrash(Host, Message);
    }
}

void ReportCrash(const THostInterface& Host, const std::string& Message) {
    try {
        LogEvent("F", JobState.JobId, JobState.SenderAddress, Message, 0);
    } catch (...) {
        // An activity log that cannot be written must not silence the server's
        // log as well, or a broken log folder would hide every failure.
    }
    try {
        if (TWriteServerLog Write = Host.WriteServerLog()) Write(0, 5, (CrashPrefix + Message).c_str());
    } catch (...) {
        // Nothing is left to report to.
    }
}

void ClearModuleState() {
    for (std::string* Text : {&JobState.BaseDir, &JobState.LogFile, &JobState.TagName, &JobState.QueueDir,
                              &JobState.CharSet, &JobState.HostName, &JobState.SenderAddress,
                              &JobState.JobId, &JobState.QueueFile}) {
        Text->clear();
        Text->shrink_to_fit();
    }
    JobState.EnclosingMultiparts.clear();
}

}  // namespace lumaro
