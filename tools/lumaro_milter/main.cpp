// lumaro-milter: libmilter's callbacks around TMilter, and the program's start
// and stop. libmilter's threads run the callbacks; no exception leaves one.
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <syslog.h>

#include <libmilter/mfapi.h>

#include <atomic>
#include <csignal>
#include <cstdlib>
#include <cstring>
#include <exception>
#include <thread>

#include "tools/lumaro_milter/milter.h"

namespace lumaro::milter {
namespace {

TMilter* Active = nullptr;
std::atomic<int> OpenConnections{0};

struct TConnection {
    std::unique_ptr<TMessage> Message;
    // The MTA agreed to send header fields without waiting for a reply to each.
    bool NoHeaderReplies = false;
};

TConnection* ConnectionOf(SMFICTX* Ctx) { return static_cast<TConnection*>(smfi_getpriv(Ctx)); }

// The MTA negotiates before it reports the connection: whichever comes first
// makes the connection's state.
TConnection* OpenConnection(SMFICTX* Ctx) {
    if (TConnection* Known = ConnectionOf(Ctx)) return Known;
    auto Connection = std::make_unique<TConnection>();
    if (smfi_setpriv(Ctx, Connection.get()) != MI_SUCCESS) return nullptr;
    ++OpenConnections;
    return Connection.release();
}

std::string QueueIdOf(SMFICTX* Ctx) {
    const char* Id = smfi_getsymval(Ctx, const_cast<char*>("i"));
    return Id != nullptr && *Id != '\0' ? Id : "NOQUEUE";
}

char* Text(const std::string& Value) { return const_cast<char*>(Value.c_str()); }

class TContextEditor : public TMtaEditor {
public:
    explicit TContextEditor(SMFICTX* Ctx) : Ctx(Ctx) {}
    bool InsertHeader(int Index, const std::string& Name, const std::string& Value) override {
        return smfi_insheader(Ctx, Index, Text(Name), Text(Value)) == MI_SUCCESS;
    }
    bool ChangeHeader(const std::string& Name, int Index, const std::string& Value) override {
        return smfi_chgheader(Ctx, Text(Name), Index, Text(Value)) == MI_SUCCESS;
    }
    bool DeleteHeader(const std::string& Name, int Index) override {
        return smfi_chgheader(Ctx, Text(Name), Index, nullptr) == MI_SUCCESS;
    }
    bool AddHeader(const std::string& Name, const std::string& Value) override {
        return smfi_addheader(Ctx, Text(Name), Text(Value)) == MI_SUCCESS;
    }
    bool ReplaceBody(std::string_view Piece) override {
        auto* Bytes = reinterpret_cast<unsigned char*>(const_cast<char*>(Piece.data()));
        return smfi_replacebody(Ctx, Bytes, static_cast<int>(Piece.size())) == MI_SUCCESS;
    }

private:
    SMFICTX* Ctx;
};

// A message that is no longer spooled passes as it is, and the milter sees no
// more of it.
sfsistat PassOver(SMFICTX* Ctx, TConnection& Connection, const std::string& Why,
                  TPriority Priority = TPriority::Error) {
    const uint64_t Size = Connection.Message ? Connection.Message->Size() : 0;
    Connection.Message.reset();
    Active->PassedOver(QueueIdOf(Ctx), Size, Why, Priority);
    return SMFIS_ACCEPT;
}

// A message over the size limit or with a header field that could split into
// fields of the sender's making passes by design; one that could not be written
// points at a fault of the machine.
sfsistat PassUnspooled(SMFICTX* Ctx, TConnection& Connection) {
    switch (Connection.Message->State()) {
        case TMessage::TState::OverSize:
            return PassOver(Ctx, Connection, "larger than --max-size", TPriority::Warning);
        case TMessage::TState::UnsafeHeader:
            return PassOver(Ctx, Connection, "a header field holds a CR, LF or NUL that is no fold",
                            TPriority::Warning);
        default:
            return PassOver(Ctx, Connection, "the scratch queue file could not be written");
    }
}

// Runs one step of a message, timed as the milter's own work; a step that fails
// in an unforeseen way lets the message pass as it is.
template <typename TStep>
sfsistat MessageStep(SMFICTX* Ctx, TStep Step) {
    TConnection* Connection = ConnectionOf(Ctx);
    if (Active == nullptr || Connection == nullptr || !Connection->Message) return SMFIS_CONTINUE;
    const TClock::time_point Start = TClock::now();
    try {
        if (!Step(*Connection->Message)) return PassUnspooled(Ctx, *Connection);
        Connection->Message->OwnTime += TClock::now() - Start;
        return SMFIS_CONTINUE;
    } catch (const std::exception& E) {
        return PassOver(Ctx, *Connection, E.what());
    } catch (...) {
        return PassOver(Ctx, *Connection, "unknown error");
    }
}

// The SIZE the client announced, or 0.
uint64_t AnnouncedSize(char** Argv) {
    for (char** Arg = Argv + 1; *Arg != nullptr; ++Arg) {
        if (strncasecmp(*Arg, "SIZE=", 5) == 0) return std::strtoull(*Arg + 5, nullptr, 10);
    }
    return 0;
}

sfsistat OnConnect(SMFICTX* Ctx, char*, _SOCK_ADDR*) {
    try {
        if (OpenConnection(Ctx) != nullptr) return SMFIS_CONTINUE;
    } catch (...) {
    }
    LogLine(TPriority::Error, "out of memory for a new connection; its mail passes unchanged");
    return SMFIS_ACCEPT;
}

// Every step the MTA need not send, or need not wait for, is a round trip saved
// for every message: the milter has no use for HELO, recipients or unknown
// commands, and a header field never gets an answer of its own (one that cannot be
// spooled lets the message pass at the end of the header). DATA is not skipped:
// Postfix still sends its macros, and that lone packet, unanswered, holds the
// MTA's next one on TCP until the delayed acknowledgement, some 40 ms a message.
// The MTA must grant the edits; one that offers fewer gets the defaults, and an
// edit it refuses later makes the message fail temporarily.
sfsistat OnNegotiate(SMFICTX* Ctx, unsigned long Actions, unsigned long Steps, unsigned long, unsigned long,
                     unsigned long* WantedActions, unsigned long* WantedSteps, unsigned long* Unused2,
                     unsigned long* Unused3) {
    constexpr unsigned long Edits = SMFIF_ADDHDRS | SMFIF_CHGHDRS | SMFIF_CHGBODY;
    constexpr unsigned long Skipped = SMFIP_NOHELO | SMFIP_NORCPT | SMFIP_NOUNKNOWN | SMFIP_NR_HDR;
    if ((Actions & Edits) != Edits) return SMFIS_ALL_OPTS;
    TConnection* Connection = nullptr;
    try {
        Connection = OpenConnection(Ctx);
    } catch (...) {
    }
    if (Connection == nullptr) return SMFIS_ALL_OPTS;
    *WantedActions = Edits;
    *WantedSteps = Steps & Skipped;
    *Unused2 = 0;
    *Unused3 = 0;
    Connection->NoHeaderReplies = (*WantedSteps & SMFIP_NR_HDR) != 0;
    return SMFIS_CONTINUE;
}

sfsistat OnEnvelopeFrom(SMFICTX* Ctx, char** Argv) {
    TConnection* Connection = ConnectionOf(Ctx);
    if (Active == nullptr || Connection == nullptr) return SMFIS_CONTINUE;
    try {
        Connection->Message.reset();
        // A client that announces a size beyond the limit is not spooled at all.
        if (AnnouncedSize(Argv) > Active->MaxSize()) {
            return PassOver(Ctx, *Connection, "announced larger than --max-size", TPriority::Warning);
        }
        Connection->Message = Active->StartMessage(Argv[0] != nullptr ? Argv[0] : "");
        if (Connection->Message->State() != TMessage::TState::Receiving) return PassUnspooled(Ctx, *Connection);
        return SMFIS_CONTINUE;
    } catch (const std::exception& E) {
        return PassOver(Ctx, *Connection, E.what());
    }
}

sfsistat OnHeader(SMFICTX* Ctx, char* Name, char* Value) {
    const sfsistat Verdict = MessageStep(Ctx, [Name, Value](TMessage& Message) {
        return Message.AddHeader(Name != nullptr ? Name : "", Value != nullptr ? Value : "");
    });
    // A message that could not be spooled is already let go, and it passes as it is.
    const TConnection* Connection = ConnectionOf(Ctx);
    return Connection != nullptr && Connection->NoHeaderReplies ? SMFIS_NOREPLY : Verdict;
}

sfsistat OnEndOfHeader(SMFICTX* Ctx) {
    return MessageStep(Ctx, [](TMessage& Message) { return Message.EndHeader(); });
}

sfsistat OnBody(SMFICTX* Ctx, unsigned char* Data, size_t Size) {
    return MessageStep(Ctx, [Data, Size](TMessage& Message) { return Message.AddBody(Data, Size); });
}

sfsistat OnEndOfMessage(SMFICTX* Ctx) {
    TConnection* Connection = ConnectionOf(Ctx);
    if (Active == nullptr || Connection == nullptr || !Connection->Message) return SMFIS_CONTINUE;
    std::unique_ptr<TMessage> Message = std::move(Connection->Message);
    try {
        TContextEditor Editor(Ctx);
        return Active->FinishMessage(*Message, QueueIdOf(Ctx), Editor) == TVerdict::Continue ? SMFIS_CONTINUE
                                                                                             : SMFIS_TEMPFAIL;
    } catch (const std::exception& E) {
        // Nothing was handed to the MTA unless FinishMessage had got that far, and
        // then the temporary failure drops it.
        LogLine(TPriority::Error, QueueIdOf(Ctx) + ": tempfail (" + E.what() + ")");
        return SMFIS_TEMPFAIL;
    }
}

sfsistat OnAbort(SMFICTX* Ctx) {
    if (TConnection* Connection = ConnectionOf(Ctx)) Connection->Message.reset();
    return SMFIS_CONTINUE;
}

sfsistat OnClose(SMFICTX* Ctx) {
    if (TConnection* Connection = ConnectionOf(Ctx)) {
        smfi_setpriv(Ctx, nullptr);
        delete Connection;
        --OpenConnections;
    }
    return SMFIS_CONTINUE;
}

// The milter answers with several small packets in a row (header edits, body
// pieces); on TCP, Nagle's algorithm would hold each one back until the MTA's
// delayed acknowledgement of the one before, some 40 ms per message. libmilter
// does not show its listening socket, so it is found among the open descriptors;
// the connections it accepts inherit the option.
void SendWithoutDelayOnTcp() {
    for (const int Fd : ListeningSockets()) {
        sockaddr_storage Address{};
        socklen_t AddressSize = sizeof Address;
        if (getsockname(Fd, reinterpret_cast<sockaddr*>(&Address), &AddressSize) != 0) continue;
        if (Address.ss_family != AF_INET && Address.ss_family != AF_INET6) continue;
        const int On = 1;
        setsockopt(Fd, IPPROTO_TCP, TCP_NODELAY, &On, sizeof On);
    }
}

void Register(const std::string& Socket) {
    smfiDesc Description{};
    Description.xxfi_name = const_cast<char*>("lumaro-milter");
    Description.xxfi_version = SMFI_VERSION;
    Description.xxfi_flags = SMFIF_ADDHDRS | SMFIF_CHGHDRS | SMFIF_CHGBODY;
    Description.xxfi_connect = OnConnect;
    Description.xxfi_envfrom = OnEnvelopeFrom;
    Description.xxfi_header = OnHeader;
    Description.xxfi_eoh = OnEndOfHeader;
    Description.xxfi_body = OnBody;
    Description.xxfi_eom = OnEndOfMessage;
    Description.xxfi_abort = OnAbort;
    Description.xxfi_close = OnClose;
    Description.xxfi_negotiate = OnNegotiate;
    if (smfi_setconn(Text(Socket)) != MI_SUCCESS) throw TUsageError("libmilter does not take the socket " + Socket);
    if (smfi_register(Description) != MI_SUCCESS) throw TUsageError("libmilter refused to register the milter");
    // An MTA may hand over header fields and body pieces of up to 1 MB; libmilter
    // would drop the connection on a larger packet than it was told to expect.
    constexpr size_t OneMegabyte = 1024 * 1024 - 1;  // libmilter's largest size
    smfi_setmaxdatasize(OneMegabyte);
    // The MTA runs as a user of its own: the socket lets the owner and the group
    // in, and nobody else.
    const mode_t Before = umask(0117);
    const int Opened = smfi_opensocket(true);
    umask(Before);
    if (Opened != MI_SUCCESS) throw TStartError("cannot listen on " + Socket);
    SendWithoutDelayOnTcp();
}

// Messages on their way when the listener stops get a temporary failure when they
// end; they are given a few seconds to. An idle connection is not waited for. True
// when no connection is left that libmilter could still call back for.
bool WaitForMessages() {
    for (int Tick = 0; Tick < 100 && TInFlight::Now() > 0; ++Tick) {
        std::this_thread::sleep_for(std::chrono::milliseconds(50));
    }
    return OpenConnections.load() == 0;
}

// libmilter's listener runs in a thread of its own, and the main thread takes the
// signals: libmilter's own handling stops the milter on SIGHUP. To stop, smfi_stop
// marks the milter as stopping and then waits for the listener's poll to end,
// some 4 to 5 seconds when no MTA connects: it runs in a thread of its own while
// connections of ours end that poll, until the listener has gone. True when the
// listener stopped because it was asked to. (libmilter's signal thread can still
// take a signal sent in the moment it starts, while the main thread has not yet
// taken it: the listener then stops unasked, and the service starts it again.)
bool Listen(TSignals& Signals) {
    std::atomic<int> Result{MI_FAILURE};
    std::thread Listener([&Result, &Signals] {
        BlockTakenSignals();
        Result = smfi_main();
        Signals.Wake();
    });
    const std::vector<TListenerAddress> Listeners = ListenerAddresses();
    std::thread Stopper;
    constexpr int WakeEveryMs = 20;
    for (int Signal = Signals.Next(-1); Signal != 0;
         Signal = Signals.Next(Stopper.joinable() ? WakeEveryMs : -1)) {
        if (Signal == SIGHUP) {
            LogLine("SIGHUP: nothing to reload, lumaro.ini is read afresh for every message");
            continue;
        }
        if (!Stopper.joinable()) {
            Stopper = std::thread([] {
                BlockTakenSignals();
                smfi_stop();
            });
        }
        WakeListener(Listeners);
    }
    const bool StopAsked = Stopper.joinable();
    if (StopAsked) Stopper.join();
    Listener.join();
    return StopAsked && Result == MI_SUCCESS;
}

int Main(int Argc, char** Argv) {
    // The scratch folder is private (mode 700) whatever the umask; the activity log
    // may be read by the group of its folder (adm, for the service).
    umask(0027);
    try {
        const TMilterOptions Options = ParseMilterArguments(std::vector<std::string>(Argv + 1, Argv + Argc));
        if (Options.Help || Options.Version) {
            host::WriteStdout(Options.Help ? MilterHelpText() : "lumaro-milter " LUMARO_VERSION "\n");
            return 0;
        }
        if (Options.CheckConfig) return host::PrintConfigurationCheck(*Options.BaseDir, CheckedMilter(Options)) > 0;
        RefuseIfAnswered(Options.Socket);
        // libmilter writes its own few complaints with syslog(3): under our name, to the mail log.
        openlog("lumaro-milter", LOG_PID, LOG_MAIL);
        // A setting the jobs cannot use is told now; the jobs then do what they can.
        if (Options.BaseDir)
            for (const std::string& Problem : CheckConfiguration(*Options.BaseDir, CheckedMilter(Options)).Problems)
                LogLine(TPriority::Warning, "configuration: " + Problem);
        TMilter Milter(Options);
        Active = &Milter;
        // Taken from before the socket answers: a signal is never left to libmilter.
        TSignals Signals;
        Register(Options.Socket);
        LogLine("listening on " + Options.Socket);
        const int Status = Listen(Signals) ? 0 : 1;
        // A signal libmilter took itself in spite of us: the service starts it again.
        if (Status != 0) LogLine(TPriority::Error, "the listener stopped without being asked to");
        Milter.Stop();
        const bool AllClosed = WaitForMessages();
        Milter.Shutdown();
        LogLine("stopped: " + Milter.Summary());
        if (!AllClosed) {
            // A libmilter thread still holds a connection and may yet call back into
            // the milter: end here, before anything it could reach is destroyed.
            std::fflush(nullptr);
            std::quick_exit(Status);
        }
        Active = nullptr;
        return Status;
    } catch (const TStartError& E) {
        LogLine(TPriority::Error, E.what());
        return 1;
    } catch (const TUsageError& E) {
        LogLine(TPriority::Error, std::string(E.what()) + " (see lumaro-milter --help)");
    } catch (const std::exception& E) {
        LogLine(TPriority::Error, E.what());
    }
    return 2;
}

}  // namespace
}  // namespace lumaro::milter

int main(int Argc, char** Argv) { return lumaro::milter::Main(Argc, Argv); }
