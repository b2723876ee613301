// One message job: gather the job's identity from the server and the
// configuration, load the queued message, let the rules visit every part, and
// write the message back when a rule changed it.
#include <cstring>
#include <memory>
#include <new>
#include <vector>

#include "lumaro/lumaro.h"
#include "mimepart/mimepart.h"
#include "mystrlist/mystrlist.h"
#include "platform/platform.h"
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

constexpr const char* ConfigFileName = "lumaro.ini";
constexpr const char* ConfigSection = "Lumaro";
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

void ReadConfiguration() {
    const std::string Path = JoinPath(JobState.BaseDir, ConfigFileName);
    std::vector<std::string> Values = platform::ProfileStrings(
        Path, ConfigSection,
        {{"LogFile", "lumaro.log"}, {"TagName", "X-LUMARO"}, {"Queue", ""}, {"CharSet", "ISO-8859-2"}});
    JobState.LogFile = std::move(Values[0]);
    JobState.TagName = std::move(Values[1]);
    JobState.QueueDir = std::move(Values[2]);
    JobState.CharSet = std::move(Values[3]);
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

void GatherJobState(void* JobHandle, const THostInterface& Host) {
    // A failure before the job's identity is known must not be reported under
    // the identity of the previous job.
    JobState.JobId.clear();
    JobState.SenderAddress.clear();
    JobState.BaseDir = QueryText(Host, HostVarBaseDir);
    ReadConfiguration();
    SettleQueueDir(Host);
    SettleHostName(Host);
    TakeJobIdentity(JobHandle, Host);
    JobState.Changed = false;
}

void LoadMessage(TMyStringList& File) { File.LoadFromFile(JobState.QueueFile); }

// The joined text goes from the tree to the file in pieces, so that a large
// message is not held a second time as one text.
void SaveMessage(TMimePart& Root) {
    platform::ReplaceFileWith(JobState.QueueFile,
                              [&Root](const platform::TContentWriter& Write) { Root.WriteJoinedText(Write); });
}

void ProcessMessage() {
    TMyStringList File;
    LoadMessage(File);
    if (std::unique_ptr<TMimePart> Changed = NormalizedMessage(std::move(File))) SaveMessage(*Changed);
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
    // Gathering the job's identity fails only in extraordinary cases (exhausted
    // memory, a server that raises); those are reported like a failed message.
    try {
        const TIconvAbsenceMemo OneSearchForTheLibrary;
        GatherJobState(JobHandle, Host);
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
