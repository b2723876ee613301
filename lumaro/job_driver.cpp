// One message job: gather the job's identity from the server and the
// configuration, load the queued message, let the rules visit every part, and
// write the message back when a rule changed it.
#include <chrono>
#include <cstring>
#include <map>
#include <memory>
#include <mutex>
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

namespace {

constexpr const char* UnknownHostName = "-unknown-";

// A server without the function, a null answer and an empty text all mean that
// the server has no value.
std::string QueryText(const THostInterface& Host, int Selector) {
    TQueryVariable Query = Host.QueryVariable();
    if (Query == nullptr) return {};
    const char* Text = Query(Selector);
    return Text != nullptr ? std::string(Text) : std::string();
}

// The settings a job uses; TagName and the knowledge of CharSet as the job can use them.
TJobSettings TakeConfiguration(TJobState& Job) {
    TConfiguration Configuration = ReadConfiguration(ConfigurationPath(Job.BaseDir));
    TJobSettings Settings = SettleJobSettings(Configuration);
    Job.LogFile = std::move(Configuration.LogFile.Value);
    Job.TagName = Settings.TagName;
    Job.QueueDir = std::move(Configuration.Queue.Value);
    Job.CharSet = std::move(Configuration.CharSet.Value);
    Job.CharSetKnown = Settings.CharSetKnown;
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

void SettleQueueDir(TJobState& Job, const THostInterface& Host) {
    Job.QueueDir = QueueFolderOf(Job.QueueDir, [&Host] { return QueryText(Host, HostVarQueueDir); }, Job.BaseDir);
}

void SettleHostName(TJobState& Job, const THostInterface& Host) {
    Job.HostName = QueryText(Host, HostVarHostName);
    if (Job.HostName.empty()) Job.HostName = UnknownHostName;
}

// The identifier field holds at most 20 characters and has no NUL when full.
std::string JobIdOf(const TJobInfo& Info) {
    const void* Nul = std::memchr(Info.JobId, 0, JobIdMaxLength);
    const size_t Length = Nul != nullptr ? static_cast<size_t>(static_cast<const char*>(Nul) - Info.JobId)
                                         : JobIdMaxLength;
    return std::string(Info.JobId, Length);
}

void TakeJobIdentity(TJobState& Job, void* JobHandle, const THostInterface& Host) {
    // Zeroed, so that a server that fills nothing yields an empty job, not
    // whatever the stack held.
    TJobInfo Info{};
    if (TQueryJobInfo Query = Host.QueryJobInfo()) Query(JobHandle, &Info);
    const char* Sender = Info.Sender();
    Job.SenderAddress = AddressOf(Sender != nullptr ? std::string_view(Sender) : std::string_view());
    Job.JobId = JobIdOf(Info);
    Job.QueueFile = QueueFileOf(Job.QueueDir, Job.JobId);
}

// A rewrite killed before its end leaves its temporary file in the queue folder.
// Finding one means reading the whole folder, which may hold a hundred thousand
// messages: it is searched at the first job in it and then at most every ten
// minutes, not at every job. A process started after a killed one thus clears its
// leftovers at its first job. Jobs on several threads share the memory of the
// searches: a replacement still under way keeps its temporary file locked, so a
// search beside it leaves it alone.
class TLeftoverSearches {
public:
    // Whether Folder is due for a search now; if so, it counts as searched.
    bool Due(const std::string& Folder, std::chrono::steady_clock::time_point Now) {
        const std::lock_guard<std::mutex> Guard(Lock);
        const auto Found = Last.find(Folder);
        if (Found != Last.end() && Now - Found->second < Interval) return false;
        // A process that serves many folders keeps only the latest few in mind.
        if (Found == Last.end() && Last.size() >= FoldersKept) Last.clear();
        Last[Folder] = Now;
        return true;
    }
    // A search that failed is made again at the next job.
    void Failed(const std::string& Folder) {
        const std::lock_guard<std::mutex> Guard(Lock);
        Last.erase(Folder);
    }

private:
    static constexpr std::chrono::minutes Interval{10};
    static constexpr size_t FoldersKept = 64;
    std::mutex Lock;
    std::map<std::string, std::chrono::steady_clock::time_point> Last;
};

TLeftoverSearches& LeftoverSearches() {
    static TLeftoverSearches Searches;
    return Searches;
}

void RemoveLeftoversNowAndThen(const std::string& QueueDir) {
    if (!LeftoverSearches().Due(QueueDir, std::chrono::steady_clock::now())) return;
    try {
        platform::RemoveLeftoverTemporaries(QueueDir);
    } catch (...) {
        // Leftovers cost space, not correctness: the job goes on.
        LeftoverSearches().Failed(QueueDir);
    }
}

// The joined text goes from the tree to the file in pieces, so that a large
// message is not held a second time as one text.
void SaveMessage(platform::TLoadedFile& Queued, TMimePart& Root) {
    Queued.ReplaceWith([&Root](const platform::TContentWriter& Write) { Root.WriteJoinedText(Write); });
}

void ProcessMessage(TJobState& Job) {
    RemoveLeftoversNowAndThen(Job.QueueDir);
    platform::TLoadedFile Queued(Job.QueueFile);
    TMyStringList File;
    File.AdoptFileContent(Queued.TakeContent());
    if (std::unique_ptr<TMimePart> Changed = NormalizedMessage(Job, std::move(File))) SaveMessage(Queued, *Changed);
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

TJobSettings GatherJobState(TJobState& Job, void* JobHandle, const THostInterface& Host) {
    Job.Host = &Host;
    Job.BaseDir = QueryText(Host, HostVarBaseDir);
    TJobSettings Settings = TakeConfiguration(Job);
    SettleQueueDir(Job, Host);
    SettleHostName(Job, Host);
    TakeJobIdentity(Job, JobHandle, Host);
    Job.Changed = false;
    return Settings;
}

std::unique_ptr<TMimePart> NormalizedMessage(TJobState& Job, TLineList&& Lines) {
    auto Root = std::make_unique<TMimePart>();
    Root->Lines = std::move(Lines);
    Root->MaxDepth = MimeMaxDepth;
    Root->MaxParts = MimeMaxParts;
    Root->MaxHeaderItems = MimeMaxHeaderItems;
    // The tree takes the lines over; the root's own list is rebuilt only when the
    // message is written back.
    Root->SplitPartsTakingLines();
    Job.EnclosingMultiparts = EnclosingMultipartsOf(*Root);
    TWalk Walk(Job);
    Root->Visitor = [&Walk](TMimePart& Part) { Walk.NormalizePart(Part); };
    Root->VisitParts();
    Job.EnclosingMultiparts.clear();
    if (!Job.Changed) return nullptr;
    Root->HeaderLines.Insert(0, TagLine(Job));
    return Root;
}

std::string TagLine(const TJobState& Job) {
    std::string Line = Job.TagName;
    Line += ": normalization conversion made by ";
    Line += ProductName;
    Line += " on ";
    Line += Job.HostName;
    return Line;
}

void RunJob(void* JobHandle, const THostInterface& Host) {
    // Gathering the job's identity fails only in extraordinary cases (exhausted
    // memory, a server that raises); those are reported like a failed message,
    // under no identity until the job's is known.
    TJobState Job;
    Job.Host = &Host;
    Job.KeepsLogOpen = true;
    try {
        const TIconvAbsenceMemo OneSearchForTheLibrary;
        const TJobSettings Settings = GatherJobState(Job, JobHandle, Host);
        std::optional<TSystemCodePageScope> CodePage;
        if (Settings.CodePage) CodePage.emplace(*Settings.CodePage);
        ReportSettingProblems(Host, Settings.Problems);
        ProcessMessage(Job);
    } catch (...) {
        std::string Message;
        try {
            Message = CurrentErrorMessage();
        } catch (...) {
            // Not even the message text fits in memory; report without it.
        }
        ReportCrash(Job, Message);
    }
}

void ReportCrash(const TJobState& Job, const std::string& Message) {
    try {
        LogEvent(Job, "F", Job.JobId, Job.SenderAddress, Message, 0);
    } catch (...) {
        // An activity log that cannot be written must not silence the server's
        // log as well, or a broken log folder would hide every failure.
    }
    try {
        if (Job.Host == nullptr) return;
        if (TWriteServerLog Write = Job.Host->WriteServerLog()) Write(0, 5, (CrashPrefix + Message).c_str());
    } catch (...) {
        // Nothing is left to report to.
    }
}

}  // namespace lumaro
