// lumaro-milter: the module inside an MTA that speaks the milter protocol
// (Postfix, Sendmail). Every message is spooled into a scratch queue file as it
// arrives, DAEMON runs on it (one job at a time, since the module keeps per-job
// state), and what the job changed is handed back to the MTA as milter edits.
// Whatever fails, the MTA's own copy of the message is never half-changed.
#pragma once

#include <atomic>
#include <chrono>
#include <cstdint>
#include <cstdio>
#include <iosfwd>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "tools/hostside/hostside.h"
#include "tools/lumaro_milter/header_edits.h"

namespace lumaro::milter {

using host::TUsageError;

constexpr uint64_t DefaultMaxSize = 64ull * 1024 * 1024;

struct TMilterOptions {
    std::string Socket;
    std::optional<std::string> BaseDir;
    std::string ModulePath;
    std::string ScratchParent;  // empty: the system's folder for temporary files
    uint64_t MaxSize = DefaultMaxSize;
    std::string HostName;  // empty: the machine's host name
    bool Help = false;
    bool Version = false;
    bool CheckConfig = false;  // check --base's lumaro.ini instead of running
};

// Raises TUsageError for anything it cannot accept.
TMilterOptions ParseMilterArguments(const std::vector<std::string>& Args);
const char* MilterHelpText();

// One line to stderr, with the program's name in front.
void LogLine(const std::string& Text);

// The activity log the milter's jobs write: LogFile of --base's lumaro.ini, a
// relative one taken from --base; nothing when there is none (the lines then go
// to standard error).
std::optional<std::string> ConfiguredActivityLog(const TMilterOptions& Options);
// What the milter changes in the configuration of its jobs, for the check.
TCheckedHost CheckedMilter(const TMilterOptions& Options);

// How the MTA is told about a changed message; each call says whether the MTA
// took the edit.
class TMtaEditor {
public:
    virtual ~TMtaEditor() = default;
    virtual bool InsertHeader(int Index, const std::string& Name, const std::string& Value) = 0;
    virtual bool ChangeHeader(const std::string& Name, int Index, const std::string& Value) = 0;
    virtual bool DeleteHeader(const std::string& Name, int Index) = 0;
    virtual bool AddHeader(const std::string& Name, const std::string& Value) = 0;
    virtual bool ReplaceBody(std::string_view Piece) = 0;
};

using TClock = std::chrono::steady_clock;

// One message on its way in: its header fields are kept as the MTA gave them, and
// its bytes, as the module reads a queue file, go to a scratch file as they come.
class TMessage {
public:
    enum class TState { Receiving, OverSize, WriteFailed };

    TMessage(std::string InPath, std::string OutPath, std::string Sender, uint64_t MaxSize);
    ~TMessage();  // the message's files go with it
    TMessage(const TMessage&) = delete;
    TMessage& operator=(const TMessage&) = delete;

    // Each returns false once the message is no longer spooled (State says why).
    bool AddHeader(const std::string& Name, const std::string& Value);
    bool EndHeader();
    bool AddBody(const unsigned char* Data, size_t Size);
    // Closes the scratch file; false when its bytes did not all reach it.
    bool Finish();

    TState State() const { return Current; }
    const std::vector<THeaderField>& Headers() const { return Fields; }
    const std::string& Sender() const { return EnvelopeSender; }
    const std::string& InPath() const { return In; }
    const std::string& OutPath() const { return Out; }
    uint64_t Size() const { return Written; }
    uint64_t BodyOffset() const { return BodyStart; }
    // The spooled file's inode once Finish has closed it: the job changed the
    // message when the queue file it leaves is another one.
    uint64_t Inode() const { return SpooledInode; }
    // Time spent in the milter's own work on this message, lock waits excluded.
    TClock::duration OwnTime{};

private:
    bool Write(const void* Data, size_t Size);

    std::string In, Out, EnvelopeSender;
    uint64_t MaxSize;
    std::FILE* File = nullptr;
    uint64_t Written = 0, BodyStart = 0;
    uint64_t SpooledInode = 0;
    TState Current = TState::Receiving;
    std::vector<THeaderField> Fields;
};

// What the MTA is to do with a message once the milter is done with it.
enum class TVerdict { Continue, TempFail };

class TMilter {
public:
    // Loads the module, makes the scratch folder and calls STARTUP.
    explicit TMilter(const TMilterOptions& Options);
    // Shutdown, if it has not been done.
    ~TMilter();
    TMilter(const TMilter&) = delete;
    TMilter& operator=(const TMilter&) = delete;

    uint64_t MaxSize() const { return Options.MaxSize; }
    std::unique_ptr<TMessage> StartMessage(const std::string& Sender);
    // Runs the job on a received message and hands its result to the MTA.
    TVerdict FinishMessage(TMessage& Message, const std::string& QueueId, TMtaEditor& Editor);
    // A message passed on as it is without a job; Why goes into its log line.
    void PassedOver(const std::string& QueueId, uint64_t Size, const std::string& Why);
    // After this no job runs: a message that reaches its end is left to the MTA
    // with a temporary failure. Waits for a running job.
    void Stop();
    // CLOSEDOWN, and the scratch folder goes; once only, after Stop.
    void Shutdown();
    std::string Summary() const;

private:
    struct TJobResult;
    struct TPlan;

    TJobResult RunJobLocked(TMessage& Message, const std::string& JobId, const std::string& QueueId);
    std::string ActivityLogFile() const;
    void ForwardActivityLog(const std::string& QueueId);
    void WriteScratchConfiguration(const std::string& Text);
    // Result: the changed message, read once from its start.
    std::optional<TPlan> PlanEdits(const TMessage& Message, std::istream& Result, std::string& Why) const;
    static bool ApplyPlan(const TPlan& Plan, std::istream& Result, TMtaEditor& Editor);
    void Count(const std::string& Outcome, const TMessage& Message, TClock::duration Wait, TClock::duration Job);

    TMilterOptions Options;
    std::string HostName;
    host::TModule Module;
    std::unique_ptr<host::TScratchFolder> Scratch;
    // The scratch folder's path stays readable for threads that outlive Shutdown.
    std::string ScratchPath, QueueFolder;
    std::string WrittenConfiguration;  // the scratch lumaro.ini as last written
    std::atomic<uint64_t> NextMessage{1};

    std::mutex JobLock;  // one DAEMON call at a time
    bool Stopping = false;
    bool ShutDown = false;

    mutable std::mutex StatsLock;
    struct TStats {
        uint64_t Messages = 0, Changed = 0, Unchanged = 0, Failed = 0, PassedOver = 0, TempFailed = 0;
        TClock::duration Own{}, MaxOwn{}, Wait{}, MaxWait{}, Job{};
    } Stats;
};

// Milliseconds with one decimal, for the log.
std::string Milliseconds(TClock::duration Duration);

}  // namespace lumaro::milter
