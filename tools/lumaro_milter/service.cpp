// lumaro-milter as a service: the signals it takes, its listening socket, and the
// one milter that may answer on a socket path.
#include <fcntl.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/resource.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

#include <cerrno>
#include <csignal>
#include <cstring>

#include "tools/lumaro_milter/milter.h"

namespace lumaro::milter {
namespace {

constexpr int TakenSignals[] = {SIGHUP, SIGTERM, SIGINT};
// The write end of the active TSignals' pipe, for the handler.
std::atomic<int> SignalPipeIn{-1};

extern "C" void OnSignal(int Signal) {
    const int Saved = errno;
    const unsigned char Byte = static_cast<unsigned char>(Signal);
    const int Fd = SignalPipeIn.load();
    // A full pipe already holds more signals than anyone waits for.
    [[maybe_unused]] const ssize_t Written = Fd >= 0 ? write(Fd, &Byte, 1) : 0;
    errno = Saved;
}

class TDescriptor {
public:
    explicit TDescriptor(int Fd) : Fd(Fd) {}
    ~TDescriptor() {
        if (Fd >= 0) close(Fd);
    }
    TDescriptor(const TDescriptor&) = delete;
    TDescriptor& operator=(const TDescriptor&) = delete;
    int Get() const { return Fd; }

private:
    int Fd;
};

// Whether a connection to Address is taken (or waits in a full backlog). Patient:
// the connection is made, within a second, rather than only begun.
bool Answers(const sockaddr* Address, socklen_t Size, bool Patient) {
    const int Kind = SOCK_STREAM | SOCK_CLOEXEC | (Patient ? 0 : SOCK_NONBLOCK);
    TDescriptor Socket(socket(Address->sa_family, Kind, 0));
    if (Socket.Get() < 0) return false;
    const timeval Second{1, 0};
    if (Patient) setsockopt(Socket.Get(), SOL_SOCKET, SO_SNDTIMEO, &Second, sizeof Second);
    return connect(Socket.Get(), Address, Size) == 0 || errno == EAGAIN || errno == EINPROGRESS;
}

std::string UnixSocketPath(const std::string& Address) {
    for (const std::string Kind : {"unix:", "local:"}) {
        if (Address.compare(0, Kind.size(), Kind) == 0) return Address.substr(Kind.size());
    }
    return {};
}

}  // namespace

TSignals::TSignals() {
    if (pipe2(Pipe, O_CLOEXEC) != 0) throw TStartError("cannot make a pipe for signals");
    fcntl(Pipe[1], F_SETFL, O_NONBLOCK);
    SignalPipeIn = Pipe[1];
    struct sigaction Action {};
    Action.sa_handler = OnSignal;
    sigemptyset(&Action.sa_mask);
    // Left unblocked while its handler runs, a signal that follows at once still
    // comes to this thread rather than to one of libmilter's.
    Action.sa_flags = SA_RESTART | SA_NODEFER;
    sigset_t Taken;
    sigemptyset(&Taken);
    for (const int Signal : TakenSignals) {
        sigaction(Signal, &Action, nullptr);
        sigaddset(&Taken, Signal);
    }
    pthread_sigmask(SIG_UNBLOCK, &Taken, nullptr);
}

TSignals::~TSignals() {
    struct sigaction Default {};
    Default.sa_handler = SIG_DFL;
    for (const int Signal : TakenSignals) sigaction(Signal, &Default, nullptr);
    SignalPipeIn = -1;
    close(Pipe[0]);
    close(Pipe[1]);
}

int TSignals::Next(int TimeoutMs) {
    pollfd Waiting{Pipe[0], POLLIN, 0};
    for (;;) {
        const int Ready = poll(&Waiting, 1, TimeoutMs);
        if (Ready == 0) return -1;
        if (Ready < 0 && errno == EINTR) continue;
        unsigned char Byte = 0;
        if (Ready < 0 || read(Pipe[0], &Byte, 1) != 1) return 0;
        return Byte;
    }
}

void TSignals::Wake() {
    const unsigned char Nothing = 0;
    [[maybe_unused]] const ssize_t Written = write(Pipe[1], &Nothing, 1);
}

void BlockTakenSignals() {
    sigset_t Taken;
    sigemptyset(&Taken);
    for (const int Signal : TakenSignals) sigaddset(&Taken, Signal);
    pthread_sigmask(SIG_BLOCK, &Taken, nullptr);
}

std::vector<int> ListeningSockets() {
    std::vector<int> Found;
    rlimit Limit{};
    const rlim_t Highest = getrlimit(RLIMIT_NOFILE, &Limit) == 0 && Limit.rlim_cur < 65536 ? Limit.rlim_cur : 65536;
    for (int Fd = 0; static_cast<rlim_t>(Fd) < Highest; ++Fd) {
        int Listening = 0;
        socklen_t Size = sizeof Listening;
        if (getsockopt(Fd, SOL_SOCKET, SO_ACCEPTCONN, &Listening, &Size) == 0 && Listening != 0) Found.push_back(Fd);
    }
    return Found;
}

// A listener on every address is reached on loopback.
std::vector<TListenerAddress> ListenerAddresses() {
    std::vector<TListenerAddress> Found;
    for (const int Fd : ListeningSockets()) {
        TListenerAddress Listener;
        Listener.Size = sizeof Listener.Address;
        if (getsockname(Fd, reinterpret_cast<sockaddr*>(&Listener.Address), &Listener.Size) != 0) continue;
        if (Listener.Address.ss_family == AF_INET) {
            sockaddr_in Inet{};
            std::memcpy(&Inet, &Listener.Address, sizeof Inet);
            if (Inet.sin_addr.s_addr == htonl(INADDR_ANY)) Inet.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
            std::memcpy(&Listener.Address, &Inet, sizeof Inet);
        } else if (Listener.Address.ss_family == AF_INET6) {
            sockaddr_in6 Inet6{};
            std::memcpy(&Inet6, &Listener.Address, sizeof Inet6);
            if (std::memcmp(&Inet6.sin6_addr, &in6addr_any, sizeof in6addr_any) == 0) {
                Inet6.sin6_addr = in6addr_loopback;
            }
            std::memcpy(&Listener.Address, &Inet6, sizeof Inet6);
        }
        Found.push_back(Listener);
    }
    return Found;
}

void WakeListener(const std::vector<TListenerAddress>& Listeners) {
    for (const TListenerAddress& Listener : Listeners) {
        Answers(reinterpret_cast<const sockaddr*>(&Listener.Address), Listener.Size, true);
    }
}

void RefuseIfAnswered(const std::string& Address) {
    const std::string Path = UnixSocketPath(Address);
    sockaddr_un Unix{};
    // A path libmilter cannot take either is left for it to refuse.
    if (Path.empty() || Path.size() >= sizeof Unix.sun_path) return;
    Unix.sun_family = AF_UNIX;
    std::memcpy(Unix.sun_path, Path.data(), Path.size());
    if (Answers(reinterpret_cast<const sockaddr*>(&Unix), sizeof Unix, false)) {
        throw TStartError("a milter already answers on " + Path +
                          "; lumaro-milter does not start beside it (one milter per socket)");
    }
}

}  // namespace lumaro::milter
