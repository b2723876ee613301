// lumaro-milter: the module inside an MTA that speaks the milter protocol
// (Postfix, Sendmail). Every message is spooled into a scratch queue file as it
// arrives, DAEMON runs on it (as many jobs side by side as --jobs allows, each in a
// folder of its own), and what the job changed is handed back to the MTA as milter
// edits.
// Whatever fails, the MTA's own copy of the message is never half-changed.
#pragma once

#include <sys/socket.h>

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <cstdio>
#include <iosfwd>
#include <memory>
#include <mutex>
#include <optional>
#include <stdexcept>
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
    unsigned Jobs = 1;     // jobs that run at the same time; the parser's default: one per processor
    bool Help = false;
    bool Version = false;
    bool CheckConfig = false;  // check --base's lumaro.ini instead of running
};

// Raises TUsageError for anything it cannot accept.
TMilterOptions ParseMilterArguments(const std::vector<std::string>& Args);
const char* MilterHelpText();

// Something on the machine stands in the way of starting (the socket is taken):
// the program says so and stops with status 1.
class TStartError : public std::runtime_error {
public:
    using std::runtime_error::runtime_error;
};

// How much a log line matters, numbered as syslog numbers it.
enum class TPriority { Error = 3, Warning = 4, Info = 6 };

// One line to stderr: with the program's name in front, or, when stderr is the
// journal (as the service runs), with its priority in front as "<6>", the journal
// adding the service's name and its facility mail. Line breaks in Text become
// blanks: one line is one event.
void LogLine(TPriority Priority, const std::string& Text);
void LogLine(const std::string& Text);  // Info
// What a line of that priority starts with, for lines that others write.
std::string LogLinePrefix(TPriority Priority);

// SIGHUP, SIGTERM and SIGINT from the moment this is made until it goes: the
// handlers only note them, and Next() gives them one at a time to the thread that
// made it, which must be the main thread (a signal sent to the process goes to
// the main thread first, where it is not blocked).
class TSignals {
public:
    TSignals();
    ~TSignals();
    TSignals(const TSignals&) = delete;
    TSignals& operator=(const TSignals&) = delete;
    // Waits for the next signal, at most TimeoutMs (-1: for ever); 0 after Wake(),
    // -1 when the time is up.
    int Next(int TimeoutMs);
    void Wake();

private:
    int Pipe[2] = {-1, -1};
};
// Keeps the signals TSignals takes away from the calling thread and the threads it
// starts.
void BlockTakenSignals();

// The descriptors of this process's listening sockets.
std::vector<int> ListeningSockets();
struct TListenerAddress {
    sockaddr_storage Address{};
    socklen_t Size = 0;
};
// Where connections reach this process's listening sockets.
std::vector<TListenerAddress> ListenerAddresses();
// libmilter's listener looks whether it is to stop only between connections, or
// every few seconds when none comes: a connection of our own makes it look at once.
void WakeListener(const std::vector<TListenerAddress>& Listeners);
// Raises TStartError when a milter already answers on the unix socket of Address:
// a second one would take the socket away from it, and delete it when it stops.
void RefuseIfAnswered(const std::string& Address);

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

// Counts the messages on their way, each from its envelope sender to its verdict.
class TInFlight {
public:
    TInFlight() { ++Count; }
    ~TInFlight() { --Count; }
    TInFlight(const TInFlight&) = delete;
    TInFlight& operator=(const TInFlight&) = delete;
    static int Now() { return Count.load(); }

private:
    static inline std::atomic<int> Count{0};
};

// One message on its way in: its header fields are kept as the MTA gave them, and
// its bytes, as the module reads a queue file, go to a scratch file as they come.
class TMessage {
public:
    // UnsafeHeader: a header field holds a CR, LF or NUL that is no part of a fold.
    enum class TState { Receiving, OverSize, WriteFailed, UnsafeHeader };

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
    // Time spent in the milter's own work on this message, waits for a job excluded.
    TClock::duration OwnTime{};

private:
    bool Write(const void* Data, size_t Size);
    // Nothing more of the message is kept.
    void Stop(TState Why);

    std::string In, Out, EnvelopeSender;
    uint64_t MaxSize;
    std::FILE* File = nullptr;
    uint64_t Written = 0, BodyStart = 0;
    uint64_t SpooledInode = 0;
    TState Current = TState::Receiving;
    std::vector<THeaderField> Fields;
    TInFlight Counted;
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
    void PassedOver(const std::string& QueueId, uint64_t Size, const std::string& Why,
                    TPriority Priority = TPriority::Warning);
    // After this no job starts: a message that reaches its end is left to the MTA
    // with a temporary failure. Waits for the running jobs.
    void Stop();
    // CLOSEDOWN, and the scratch folder goes; once only, after Stop.
    void Shutdown();
    std::string Summary() const;

private:
    struct TJobResult;
    struct TPlan;
    // Where one job runs: a base folder with its lumaro.ini, its queue folder and,
    // without a configured activity log, the log it forwards, so that jobs side by
    // side never share a file.
    struct TSlot {
        std::string Folder, QueueFolder;
        std::string WrittenConfiguration;  // its lumaro.ini as last written
    };

    // A free slot, after waiting for one; null when the milter is stopping.
    TSlot* TakeSlot();
    void GiveBack(TSlot& Slot);
    TJobResult RunJobInSlot(TSlot& Slot, TMessage& Message, const std::string& JobId, const std::string& QueueId);
    std::string ActivityLogFile(const TSlot& Slot) const;
    static void ForwardActivityLog(const TSlot& Slot, const std::string& QueueId);
    static void WriteScratchConfiguration(TSlot& Slot, const std::string& Text);
    // Result: the changed message, read once from its start.
    std::optional<TPlan> PlanEdits(const TMessage& Message, std::istream& Result, std::string& Why) const;
    static bool ApplyPlan(const TPlan& Plan, std::istream& Result, TMtaEditor& Editor);
    void Count(const std::string& Outcome, const TMessage& Message, TClock::duration Wait, TClock::duration Job);

    TMilterOptions Options;
    std::string HostName;
    host::TModule Module;
    std::unique_ptr<host::TScratchFolder> Scratch;
    // The scratch folder's path stays readable for threads that outlive Shutdown.
    std::string ScratchPath;
    std::atomic<uint64_t> NextMessage{1};

    // The slots, --jobs of them, and which are free; guarded by JobLock.
    std::vector<TSlot> Slots;
    std::vector<TSlot*> FreeSlots;
    std::mutex JobLock;
    std::condition_variable SlotFreed;
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
