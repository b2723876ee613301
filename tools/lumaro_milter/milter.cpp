// The job on a received message, side by side with others, and its result handed
// to the MTA.
#include "tools/lumaro_milter/milter.h"

#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <istream>

namespace lumaro::milter {

struct TMilter::TJobResult {
    bool Failed = false;
    bool Changed = false;
    std::string Why;
};

// The edits for the MTA, all worked out before the first one is made.
struct TMilter::TPlan {
    THeaderField Tag;
    std::vector<THeaderEdit> Edits;
    bool BodyChanged = false;
    uint64_t BodyOffset = 0;  // where the new body starts in the result file
};

namespace {

constexpr size_t PieceSize = 64 * 1024;
const char* const NoQueueId = "NOQUEUE";

// The MTA's queue identifier as a job identifier: it names the queue file, so only
// letters and digits, and at most as many as the job information holds.
std::string JobIdOf(const std::string& QueueId) {
    std::string Id;
    for (char C : QueueId) {
        const bool Plain = (C >= 'A' && C <= 'Z') || (C >= 'a' && C <= 'z') || (C >= '0' && C <= '9');
        if (Plain && Id.size() < JobIdMaxLength) Id += C;
    }
    return Id.empty() ? NoQueueId : Id;
}

std::string MachineHostName() {
    char Name[256] = {};
    if (gethostname(Name, sizeof Name - 1) != 0) return {};
    return Name;
}

std::optional<ino_t> InodeOf(const std::string& Path) {
    struct stat Info {};
    if (stat(Path.c_str(), &Info) != 0) return std::nullopt;
    return Info.st_ino;
}

// The header block of the result, up to and with the empty line that ends it.
std::optional<std::string> ReadHeaderBlock(std::istream& File) {
    std::string Block;
    char Piece[PieceSize];
    for (;;) {
        if (Block.rfind("\r\n", 0) == 0) return std::string("\r\n");
        const size_t From = Block.size() < 3 ? 0 : Block.size() - 3;
        File.read(Piece, sizeof Piece);
        Block.append(Piece, static_cast<size_t>(File.gcount()));
        const size_t End = Block.find("\r\n\r\n", From);
        if (End != std::string::npos) return Block.substr(0, End + 4);
        if (File.gcount() == 0) return File.eof() ? std::optional<std::string>(Block) : std::nullopt;
    }
}

// Whether two files hold the same bytes from the given offsets to their ends.
bool SameTail(std::istream& A, uint64_t FromA, std::istream& B, uint64_t FromB) {
    A.clear();
    B.clear();
    A.seekg(static_cast<std::streamoff>(FromA));
    B.seekg(static_cast<std::streamoff>(FromB));
    char PieceA[PieceSize], PieceB[PieceSize];
    for (;;) {
        A.read(PieceA, sizeof PieceA);
        B.read(PieceB, sizeof PieceB);
        const std::streamsize N = A.gcount();
        if (N != B.gcount() || std::memcmp(PieceA, PieceB, static_cast<size_t>(N)) != 0) return false;
        if (N == 0) return A.eof() && B.eof();
    }
}

uint64_t SizeOf(std::istream& File) {
    File.clear();
    File.seekg(0, std::ios::end);
    const std::streamoff End = File.tellg();
    return End > 0 ? static_cast<uint64_t>(End) : 0;
}

}  // namespace

std::string Milliseconds(TClock::duration Duration) {
    char Text[32];
    std::snprintf(Text, sizeof Text, "%.1f", std::chrono::duration<double, std::milli>(Duration).count());
    return Text;
}

// The service's stderr is the journal, which says so in JOURNAL_STREAM: the
// device and inode of the stream it gave.
bool StderrIsJournal() {
    const char* Stream = std::getenv("JOURNAL_STREAM");
    unsigned long long Device = 0, Inode = 0;
    if (Stream == nullptr || std::sscanf(Stream, "%llu:%llu", &Device, &Inode) != 2) return false;
    struct stat Info {};
    return fstat(STDERR_FILENO, &Info) == 0 && Info.st_dev == Device && Info.st_ino == Inode;
}

std::string LogLinePrefix(TPriority Priority) {
    static const bool ToJournal = StderrIsJournal();
    return ToJournal ? "<" + std::to_string(static_cast<int>(Priority)) + ">" : "lumaro-milter: ";
}

void LogLine(TPriority Priority, const std::string& Text) {
    std::string Line = LogLinePrefix(Priority) + Text;
    std::replace_if(Line.begin(), Line.end(), [](char C) { return C == '\n' || C == '\r'; }, ' ');
    host::WriteStderr(Line + "\n");
}

void LogLine(const std::string& Text) { LogLine(TPriority::Info, Text); }

TMilter::TMilter(const TMilterOptions& Given) : Options(Given) {
    HostName = Options.HostName.empty() ? MachineHostName() : Options.HostName;
    host::LoadModule(Options.ModulePath, Module);
    Scratch = std::make_unique<host::TScratchFolder>(
        Options.ScratchParent.empty() ? host::TemporaryFolder() : Options.ScratchParent, "lumaro-milter.");
    ScratchPath = Scratch->Path();
    Slots.resize(std::max(Options.Jobs, 1u));
    for (size_t K = 0; K < Slots.size(); ++K) {
        TSlot& Slot = Slots[K];
        Slot.Folder = host::JoinPath(ScratchPath, "job" + std::to_string(K + 1));
        Slot.QueueFolder = host::JoinPath(Slot.Folder, "queue");
        std::error_code Error;
        std::filesystem::create_directories(Slot.QueueFolder, Error);
        if (Error) throw TUsageError("cannot create the scratch queue " + Slot.QueueFolder);
        FreeSlots.push_back(&Slot);
    }
    host::TServerSettings Settings;
    Settings.ProgramName = "lumaro-milter";
    Settings.LogPrefix = LogLinePrefix(TPriority::Info) + "server log: ";
    host::TServer Server(Settings);
    Module.Startup(Server.Record());
}

TMilter::~TMilter() {
    Stop();
    Shutdown();
}

std::unique_ptr<TMessage> TMilter::StartMessage(const std::string& Sender) {
    const std::string Name = host::JoinPath(ScratchPath, std::to_string(NextMessage++));
    return std::make_unique<TMessage>(Name + ".in", Name + ".out", Sender, Options.MaxSize);
}

std::optional<std::string> ConfiguredActivityLog(const TMilterOptions& Options) {
    if (!Options.BaseDir) return std::nullopt;
    const TSetting Configured = ReadConfiguration(ConfigurationPath(*Options.BaseDir)).LogFile;
    if (Configured.Source != TSettingSource::File) return std::nullopt;
    if (Configured.Value.empty() || std::filesystem::path(Configured.Value).is_absolute()) return Configured.Value;
    return host::JoinPath(*Options.BaseDir, Configured.Value);
}

TCheckedHost CheckedMilter(const TMilterOptions& Options) {
    TCheckedHost Host;
    const std::optional<std::string> Log = ConfiguredActivityLog(Options);
    Host.LogFile = TSetting{Log.value_or(""), TSettingSource::Host,
                            Log ? "lumaro-milter: LogFile of --base, a relative one from --base"
                                : "lumaro-milter: no LogFile in --base"};
    Host.LogToStream = !Log;
    Host.Queue = TSetting{"", TSettingSource::Host, "lumaro-milter: a scratch queue of its own"};
    return Host;
}

// The activity log: the configured one, else one in the scratch folder whose
// lines go to stderr after each job.
std::string TMilter::ActivityLogFile(const TSlot& Slot) const {
    return ConfiguredActivityLog(Options).value_or(host::JoinPath(Slot.Folder, "activity.log"));
}

void TMilter::ForwardActivityLog(const TSlot& Slot, const std::string& QueueId) {
    const std::string Path = host::JoinPath(Slot.Folder, "activity.log");
    std::ifstream File(Path, std::ios::binary);
    std::string Line;
    while (std::getline(File, Line)) {
        if (!Line.empty() && Line.back() == '\r') Line.pop_back();
        LogLine(QueueId + ": activity: " + Line);
    }
    File.close();
    std::remove(Path.c_str());
}

TMilter::TSlot* TMilter::TakeSlot() {
    std::unique_lock<std::mutex> Lock(JobLock);
    SlotFreed.wait(Lock, [this] { return Stopping || !FreeSlots.empty(); });
    if (Stopping) return nullptr;
    TSlot* Slot = FreeSlots.back();
    FreeSlots.pop_back();
    return Slot;
}

void TMilter::GiveBack(TSlot& Slot) {
    {
        const std::lock_guard<std::mutex> Lock(JobLock);
        FreeSlots.push_back(&Slot);
    }
    SlotFreed.notify_all();
}

TMilter::TJobResult TMilter::RunJobInSlot(TSlot& Slot, TMessage& Message, const std::string& JobId,
                                          const std::string& QueueId) {
    TJobResult Result;
    const std::string QueueFile = QueueFileOf(Slot.QueueFolder, JobId);
    std::remove(QueueFile.c_str());
    // The job works on a second name of the spooled file: the module writes a
    // changed message to a new file that takes that name, so the spooled original
    // stays as it was under its own name.
    if (link(Message.InPath().c_str(), QueueFile.c_str()) != 0) {
        return {true, false, "cannot link the scratch queue file: " + std::string(std::strerror(errno))};
    }
    const std::string LogFile = ActivityLogFile(Slot);
    try {
        WriteScratchConfiguration(Slot, host::ScratchConfiguration(Options.BaseDir, LogFile, Slot.QueueFolder));
        host::TServerSettings Settings;
        Settings.BaseDir = Slot.Folder;
        Settings.QueueDir = Slot.QueueFolder;
        Settings.HostName = HostName;
        Settings.ProgramName = "lumaro-milter";
        // The module writes to the server's log only when a job fails.
        Settings.LogPrefix = LogLinePrefix(TPriority::Error) + QueueId + ": server log: ";
        host::TServer Server(Settings);
        const host::TJob Job{JobId, Message.Sender()};
        if (Server.RunJob(Module, Job).Failed) Result = {true, false, "the job failed"};
    } catch (const std::exception& E) {
        Result = {true, false, E.what()};
    }
    if (LogFile == host::JoinPath(Slot.Folder, "activity.log")) ForwardActivityLog(Slot, QueueId);
    if (std::rename(QueueFile.c_str(), Message.OutPath().c_str()) != 0) {
        std::remove(QueueFile.c_str());
        return {true, false, "the job left no queue file"};
    }
    if (!Result.Failed) Result.Changed = InodeOf(Message.OutPath()) != std::optional<ino_t>(Message.Inode());
    return Result;
}

// The configuration follows the base folder's for every job, as the mail server's
// does; the copy in the slot's folder is written again only when it changes.
void TMilter::WriteScratchConfiguration(TSlot& Slot, const std::string& Text) {
    if (Text == Slot.WrittenConfiguration) return;
    Slot.WrittenConfiguration.clear();
    platform::WriteWholeFile(host::JoinPath(Slot.Folder, "lumaro.ini"), Text);
    Slot.WrittenConfiguration = Text;
}

std::optional<TMilter::TPlan> TMilter::PlanEdits(const TMessage& Message, std::istream& Result,
                                                 std::string& Why) const {
    const std::optional<std::string> Block = ReadHeaderBlock(Result);
    if (!Block) {
        Why = "cannot read the changed message";
        return std::nullopt;
    }
    std::optional<std::vector<THeaderField>> Fields = ParseHeaderBlock(*Block);
    if (!Fields || Fields->empty()) {
        Why = "the changed message has no header the MTA could take";
        return std::nullopt;
    }
    TPlan Plan;
    Plan.Tag = Fields->front();
    Fields->erase(Fields->begin());
    for (const THeaderField& Field : *Fields) {
        // A milter hands texts over NUL-terminated, and the MTA would take a bare
        // line break for the end of the field.
        if (!IsHeaderName(Field.Name) || !StaysOneField(Field.Name, Field.Value)) {
            Why = "the changed header '" + Field.Name + "' cannot be handed to the MTA whole";
            return std::nullopt;
        }
    }
    if (!IsHeaderName(Plan.Tag.Name) || !StaysOneField(Plan.Tag.Name, Plan.Tag.Value)) {
        Why = "the tag name '" + Plan.Tag.Name + "' is no header name";
        return std::nullopt;
    }
    Plan.Edits = HeaderEdits(Message.Headers(), *Fields);
    Plan.BodyOffset = Block->size();
    std::ifstream Spooled(Message.InPath(), std::ios::binary);
    Plan.BodyChanged = !Spooled || !SameTail(Spooled, Message.BodyOffset(), Result, Plan.BodyOffset);
    // An empty replacement body would reach the MTA as no replacement at all.
    if (Plan.BodyChanged && SizeOf(Result) <= Plan.BodyOffset) {
        Why = "the changed body cannot be handed to the MTA";
        return std::nullopt;
    }
    return Plan;
}

bool TMilter::ApplyPlan(const TPlan& Plan, std::istream& Result, TMtaEditor& Editor) {
    for (const THeaderEdit& Edit : Plan.Edits) {
        bool Taken = false;
        switch (Edit.Kind) {
            case THeaderEditKind::Change: Taken = Editor.ChangeHeader(Edit.Name, Edit.Index, Edit.Value); break;
            case THeaderEditKind::Delete: Taken = Editor.DeleteHeader(Edit.Name, Edit.Index); break;
            case THeaderEditKind::Add: Taken = Editor.AddHeader(Edit.Name, Edit.Value); break;
            case THeaderEditKind::InsertAtTop: Taken = Editor.InsertHeader(0, Edit.Name, Edit.Value); break;
        }
        if (!Taken) return false;
    }
    if (!Editor.InsertHeader(0, Plan.Tag.Name, Plan.Tag.Value)) return false;
    if (!Plan.BodyChanged) return true;
    Result.clear();
    Result.seekg(static_cast<std::streamoff>(Plan.BodyOffset));
    char Piece[PieceSize];
    while (Result.read(Piece, sizeof Piece) || Result.gcount() > 0) {
        if (!Editor.ReplaceBody(std::string_view(Piece, static_cast<size_t>(Result.gcount())))) return false;
    }
    return Result.eof();
}

void TMilter::Count(const std::string& Outcome, const TMessage& Message, TClock::duration Wait,
                    TClock::duration Job) {
    std::lock_guard<std::mutex> Lock(StatsLock);
    ++Stats.Messages;
    if (Outcome == "changed") ++Stats.Changed;
    else if (Outcome == "unchanged") ++Stats.Unchanged;
    else if (Outcome == "tempfail") ++Stats.TempFailed;
    else ++Stats.Failed;
    Stats.Own += Message.OwnTime;
    Stats.MaxOwn = std::max(Stats.MaxOwn, Message.OwnTime);
    Stats.Wait += Wait;
    Stats.MaxWait = std::max(Stats.MaxWait, Wait);
    Stats.Job += Job;
}

TVerdict TMilter::FinishMessage(TMessage& Message, const std::string& QueueId, TMtaEditor& Editor) {
    const TClock::time_point Start = TClock::now();
    TClock::duration Wait{}, Job{};
    std::string Outcome, Detail;
    TVerdict Verdict = TVerdict::Continue;
    const auto Report = [&] {
        Message.OwnTime += TClock::now() - Start - Wait;
        Count(Outcome, Message, Wait, Job);
        const TPriority Priority = Outcome == "failed"     ? TPriority::Error
                                   : Outcome == "tempfail" ? TPriority::Warning
                                                           : TPriority::Info;
        LogLine(Priority, QueueId + ": " + Outcome + (Detail.empty() ? "" : " (" + Detail + ")") + "; " +
                std::to_string(Message.Size()) + " bytes, lock wait " + Milliseconds(Wait) + " ms, job " +
                Milliseconds(Job) + " ms, own " + Milliseconds(Message.OwnTime) + " ms");
        return Verdict;
    };
    if (!Message.Finish()) {
        Outcome = "failed";
        Detail = "the scratch queue file could not be written; passed on unchanged";
        return Report();
    }
    TJobResult Result;
    {
        const TClock::time_point BeforeSlot = TClock::now();
        TSlot* Slot = TakeSlot();
        const TClock::time_point Taken = TClock::now();
        Wait = Taken - BeforeSlot;
        if (Slot == nullptr) {
            Outcome = "tempfail";
            Detail = "the milter is stopping";
            Verdict = TVerdict::TempFail;
            return Report();
        }
        struct TLease {
            TMilter& Milter;
            TSlot& Slot;
            ~TLease() { Milter.GiveBack(Slot); }
        } Lease{*this, *Slot};
        Result = RunJobInSlot(*Slot, Message, JobIdOf(QueueId), QueueId);
        Job = TClock::now() - Taken;
    }
    if (Result.Failed || !Result.Changed) {
        Outcome = Result.Failed ? "failed" : "unchanged";
        if (Result.Failed) Detail = Result.Why + "; passed on unchanged";
        return Report();
    }
    std::string Why;
    std::ifstream Changed(Message.OutPath(), std::ios::binary);
    const std::optional<TPlan> Plan = PlanEdits(Message, Changed, Why);
    if (!Plan) {
        Outcome = "failed";
        Detail = Why + "; passed on unchanged";
        return Report();
    }
    if (!ApplyPlan(*Plan, Changed, Editor)) {
        // Edits already made reach nobody: the MTA drops them with the temporary failure.
        Outcome = "tempfail";
        Detail = "the MTA did not take every edit";
        Verdict = TVerdict::TempFail;
        return Report();
    }
    Outcome = "changed";
    Detail = std::to_string(Plan->Edits.size() + 1) + " header edits, body " +
             (Plan->BodyChanged ? "replaced" : "kept");
    return Report();
}

void TMilter::PassedOver(const std::string& QueueId, uint64_t Size, const std::string& Why, TPriority Priority) {
    {
        std::lock_guard<std::mutex> Lock(StatsLock);
        ++Stats.Messages;
        ++Stats.PassedOver;
    }
    LogLine(Priority, QueueId + ": passed on unchanged (" + Why + "); " + std::to_string(Size) + " bytes so far");
}

void TMilter::Stop() {
    std::unique_lock<std::mutex> Lock(JobLock);
    Stopping = true;
    SlotFreed.notify_all();
    SlotFreed.wait(Lock, [this] { return FreeSlots.size() == Slots.size(); });
}

void TMilter::Shutdown() {
    std::lock_guard<std::mutex> Lock(JobLock);
    if (ShutDown) return;
    ShutDown = true;
    Module.Closedown();
    Scratch.reset();
}

std::string TMilter::Summary() const {
    std::lock_guard<std::mutex> Lock(StatsLock);
    const uint64_t Jobs = std::max<uint64_t>(Stats.Messages - Stats.PassedOver, 1);
    const auto Mean = [Jobs](TClock::duration D) { return Milliseconds(D / Jobs); };
    char Peak[32];
    std::snprintf(Peak, sizeof Peak, "%.1f", static_cast<double>(host::PeakMemoryBytes()) / 1e6);
    return "messages " + std::to_string(Stats.Messages) + ", changed " + std::to_string(Stats.Changed) +
           ", unchanged " + std::to_string(Stats.Unchanged) + ", failed " + std::to_string(Stats.Failed) +
           ", passed over " + std::to_string(Stats.PassedOver) + ", tempfail " + std::to_string(Stats.TempFailed) +
           "; own time per message " + Mean(Stats.Own) + " ms (max " + Milliseconds(Stats.MaxOwn) +
           "), lock wait per message " + Mean(Stats.Wait) + " ms (max " + Milliseconds(Stats.MaxWait) +
           "), job per message " + Mean(Stats.Job) + " ms; peak memory " + Peak + " MB";
}

}  // namespace lumaro::milter
