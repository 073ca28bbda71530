#include "comm/NetDriver.h"

#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <map>
#include <mutex>

#include "comm/Cancel.h"
#include "comm/Clock.h"
#include "comm/NetAddress.h"
#include "comm/ReadAhead.h"
#include "protocol/Frame.h"
#include "protocol/FrameReader.h"

namespace {

// The reason of this thread's last failed connect or bind, for its caller to show.
thread_local int g_lastError = 0;

// Each TCP socket's bytes read ahead, from its connect to its close. The map
// is shared; an entry is used by the one thread that reads its socket.
std::mutex g_aheadMutex;
std::map<int, CReadAhead> g_ahead;

CReadAhead& AheadOf(int sock) {
    std::lock_guard<std::mutex> lock(g_aheadMutex);
    return g_ahead[sock];
}

constexpr int RETRY_PAUSE_MS = 50;
// A peer that takes no byte for this long has stopped reading.
constexpr int SEND_STALL_MS = 2000;
constexpr int UDP_DATAGRAM_MAX = 512;
constexpr int UDP_FIRST_PORT = 6000;
constexpr int UDP_LAST_PORT = 10000;
constexpr int UDP_PORT_STEP = 10;

bool IsLost(int err) {
    switch (err) {
    case ENETDOWN:
    case ENETRESET:
    case ESHUTDOWN:
    case ECONNABORTED:
    case ETIMEDOUT:
    case ECONNRESET:
    case EPIPE:
    case ENOTCONN:
        return true;
    default:
        return false;
    }
}

// A peer to connect or send to: MakeSockAddr, and not the broadcast address.
bool MakePeerAddress(const char* text, int port, sockaddr_in& sa) {
    return MakeSockAddr(text, port, sa) && sa.sin_addr.s_addr != htonl(INADDR_BROADCAST);
}

// Waits up to waitMs for events on fd; a signal does not cut the wait short,
// the thread's cancel does. Returns the revents, 0 when the time ran out or
// the wait was cancelled.
short PollFor(int fd, short events, int waitMs) {
    const auto deadline = DeadlineIn(waitMs);
    for (;;) {
        pollfd p{fd, events, 0};
        const int rc = PollUnlessCancelled(&p, 1, deadline);
        if (rc > 0)
            return p.revents;
        if (rc == 0 || errno != EINTR)
            return 0;
    }
}

// Disconnects a TCP socket with a reset and drops what was read ahead on it,
// as the reset drops the socket's queue; its next receive fails with
// ECONNRESET and later calls with ENOTCONN or EPIPE.
void AbortConnection(int sock) {
    AheadOf(sock).Clear();
    sockaddr unspec{};
    unspec.sa_family = AF_UNSPEC;
    connect(sock, &unspec, sizeof unspec);
}

// Sleeps until the deadline; a signal does not cut the pause short.
void PauseUntil(std::chrono::steady_clock::time_point deadline) {
    for (int left = MsUntil(deadline); left > 0; left = MsUntil(deadline))
        poll(nullptr, 0, left);
}

// Starts one non-blocking connect and waits for its outcome, in slices so
// that a cancel is seen within one. Returns 0 when connected, else the error
// that ended the attempt (ETIMEDOUT if none came, ECANCELED).
int ConnectOnce(int fd, const sockaddr_in& sa, int waitMs, const std::atomic<bool>* cancel) {
    if (connect(fd, reinterpret_cast<const sockaddr*>(&sa), sizeof sa) == 0)
        return 0;
    if (errno != EINPROGRESS && errno != EINTR)
        return errno;
    const auto deadline = DeadlineIn(waitMs);
    for (;;) {
        if (Cancelled(cancel))
            return ECANCELED;
        if (PollFor(fd, POLLOUT, std::min(MsUntil(deadline), CANCEL_SLICE_MS)) != 0)
            break;
        if (MsUntil(deadline) == 0)
            return ETIMEDOUT;
    }
    int err = 0;
    socklen_t len = sizeof err;
    if (getsockopt(fd, SOL_SOCKET, SO_ERROR, &err, &len) != 0)
        return errno;
    return err;
}

// The connected socket as the frame reader sees it: bytes read ahead first,
// else each read waits in poll() for the time it is given, then takes all
// that has arrived.
class TcpSource : public FrameSource {
  public:
    explicit TcpSource(int sock) : m_sock(sock), m_ahead(AheadOf(sock)) {}

    int Read(uint8_t* dst, int max, int waitMs) override {
        return m_ahead.Read(dst, max,
                            [&](uint8_t* space, int room) { return Receive(space, room, waitMs); });
    }

    uint32_t Tick() override { return TickMs(); }

  private:
    int Receive(uint8_t* dst, int max, int waitMs) {
        const auto deadline = DeadlineIn(waitMs);
        // A stopped worker's read ends as one that got no reply.
        if (PollFor(m_sock, POLLIN, waitMs) == 0)
            return ThreadCancelled() ? RES_NO_START : 0;
        const ssize_t n = recv(m_sock, dst, static_cast<size_t>(max), MSG_DONTWAIT);
        if (n > 0)
            return static_cast<int>(n);
        if (n == 0)
            return RES_PEER_CLOSED;
        if (IsLost(errno))
            return RES_CONN_LOST;
        // Another error is not the end of the read, but it must not turn the
        // wait into a spin: sit out the rest of it.
        if (errno != EAGAIN && errno != EWOULDBLOCK && errno != EINTR)
            PauseUntil(deadline);
        return 0;
    }

    int m_sock;
    CReadAhead& m_ahead;
};

bool SetRecvTimeout(int sock, int ms) {
    timeval tv{};
    tv.tv_sec = ms / 1000;
    tv.tv_usec = static_cast<suseconds_t>(ms % 1000) * 1000;
    return setsockopt(sock, SOL_SOCKET, SO_RCVTIMEO, &tv, sizeof tv) == 0;
}

// One datagram of up to max bytes, or RES_UDP_RECV_FAILED after the trace
// line. The datagram is the tap's piece. flags MSG_DONTWAIT takes only what
// waits.
int RecvDatagram(int sock, uint8_t* dst, int max, ReadTap* tap, int flags = 0) {
    const ssize_t n = recv(sock, dst, static_cast<size_t>(max), flags);
    if (n < 0) {
        std::fprintf(stderr, "WSAGetLastError=%d\n", errno);
        return RES_UDP_RECV_FAILED;
    }
    if (tap != nullptr && n > 0) {
        tap->Took(dst, static_cast<int>(n));
        tap->Cut(static_cast<int>(n));
    }
    return static_cast<int>(n);
}

} // namespace

int NetLastError() {
    return g_lastError;
}

ResultCode NetStartup() {
    return RES_OK;
}

ResultCode NetCleanup() {
    return RES_OK;
}

ResultCode TcpConnect(const char* addr, int port, int timeoutMs, int& sock,
                      const std::atomic<bool>* cancel) {
    g_lastError = 0;
    sockaddr_in sa;
    if (!MakePeerAddress(addr, port, sa))
        return RES_BAD_ADDRESS;

    const auto deadline = DeadlineIn(timeoutMs);
    for (;;) {
        const int fd = socket(AF_INET, SOCK_STREAM | SOCK_NONBLOCK | SOCK_CLOEXEC, IPPROTO_TCP);
        if (fd < 0) {
            g_lastError = errno;
            return RES_SOCKET_FAILED;
        }
        const int err = ConnectOnce(fd, sa, MsUntil(deadline), cancel);
        if (err == 0) {
            // Blocking as a connected socket normally is; the sends and reads
            // here pass MSG_DONTWAIT and wait in poll() for a bounded time.
            fcntl(fd, F_SETFL, fcntl(fd, F_GETFL) & ~O_NONBLOCK);
            const int one = 1;
            setsockopt(fd, IPPROTO_TCP, TCP_NODELAY, &one, sizeof one);
            // A socket closed without TcpClose may have left its number's entry.
            AheadOf(fd).Clear();
            sock = fd;
            return RES_OK;
        }
        g_lastError = err;
        close(fd);
        // A refused connect fails at once; pause so that retrying until the
        // time-out does not become a hot loop.
        if (MsUntil(deadline) == 0 || Cancelled(cancel))
            return RES_CONNECT_TIMEOUT;
        PauseUntil(std::min(DeadlineIn(RETRY_PAUSE_MS), deadline));
    }
}

ResultCode TcpClose(int sock) {
    {
        std::lock_guard<std::mutex> lock(g_aheadMutex);
        g_ahead.erase(sock);
    }
    shutdown(sock, SHUT_RDWR);
    return close(sock) == 0 ? RES_OK : RES_TCP_CLOSE_FAILED;
}

ResultCode TcpSend(int sock, const uint8_t* data, int count) {
    if (count < 0 || (data == nullptr && count > 0))
        return RES_SEND_FAILED;
    int sent = 0;
    auto stallDeadline = DeadlineIn(SEND_STALL_MS);
    do {
        const ssize_t n =
            send(sock, data + sent, static_cast<size_t>(count - sent), MSG_NOSIGNAL | MSG_DONTWAIT);
        if (n > 0) {
            sent += static_cast<int>(n);
            stallDeadline = DeadlineIn(SEND_STALL_MS);
            continue;
        }
        if (n == 0) // only an empty send takes nothing without an error
            continue;
        if (errno == EINTR)
            continue;
        if (errno != EAGAIN && errno != EWOULDBLOCK)
            return IsLost(errno) ? RES_CONN_LOST : RES_SEND_FAILED;
        const int left = MsUntil(stallDeadline);
        if (left == 0 || PollFor(sock, POLLOUT, left) == 0) {
            // Part of a frame is on the stream: reset the connection so that
            // nothing more is read or sent on it as if it were whole.
            AbortConnection(sock);
            return RES_SEND_FAILED;
        }
    } while (sent < count);
    return RES_OK;
}

int TcpRecvFrame(int sock, int F, int I, uint8_t* buf, int bufSize, ReadTap* tap) {
    if (buf == nullptr || bufSize < FRAME_OVERHEAD + 1)
        return RES_REPLY_TOO_LARGE;
    TcpSource src(sock);
    return AcceptReply(src, TCP_RULES, F, I, buf, bufSize, tap);
}

int TcpRecvRaw(int sock, uint8_t* buf, int max) {
    buf[0] = 0;
    const int n = AheadOf(sock).Read(buf, max, [sock](uint8_t* space, int room) -> int {
        const ssize_t got = recv(sock, space, static_cast<size_t>(room), MSG_DONTWAIT);
        if (got == 0)
            return RES_PEER_CLOSED;
        if (got < 0)
            return IsLost(errno) ? RES_CONN_LOST : 0;
        return static_cast<int>(got);
    });
    if (n >= 0)
        buf[n] = 0;
    return n;
}

int UdpBind(const char* addr, int port, int& sock) {
    const int fd = socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0);
    if (fd < 0)
        return RES_SOCKET_FAILED;
    sockaddr_in sa{};
    int err = 0;
    if (!MakeSockAddr(addr, port, sa))
        err = EINVAL;
    else if (bind(fd, reinterpret_cast<const sockaddr*>(&sa), sizeof sa) != 0)
        err = errno;
    if (err != 0) {
        close(fd);
        return err;
    }
    sock = fd;
    return RES_OK;
}

int UdpOpen(int& sock) {
    g_lastError = 0;
    std::vector<NetAdapter> adapters;
    if (!NetReadAdapters(adapters) || adapters.empty())
        return UDP_NO_ADAPTER;
    const auto it = std::find_if(adapters.begin(), adapters.end(), [](const NetAdapter& a) {
        return a.bEthernet && a.bUp && !a.ipv4.empty();
    });
    if (it == adapters.end())
        return UDP_NO_ETHERNET;
    for (int port = UDP_FIRST_PORT; port <= UDP_LAST_PORT; port += UDP_PORT_STEP) {
        const int rc = UdpBind(it->ipv4.c_str(), port, sock);
        if (rc == RES_OK) {
            // A port passed over for being taken is no failure of the open.
            g_lastError = 0;
            return RES_OK;
        }
        g_lastError = rc > 0 ? rc : errno;
    }
    return UDP_NO_PORT;
}

ResultCode UdpSendTo(int sock, const char* addr, int port, const uint8_t* data, int count) {
    if (count < 1)
        return RES_OK;
    sockaddr_in sa;
    if (data == nullptr || !MakePeerAddress(addr, port, sa))
        return RES_SEND_FAILED;
    const ssize_t n = sendto(sock, data, static_cast<size_t>(count), MSG_NOSIGNAL,
                             reinterpret_cast<const sockaddr*>(&sa), sizeof sa);
    return n > 0 ? RES_OK : RES_SEND_FAILED;
}

int UdpRecvFrame(int sock, int F, int I, uint8_t* buf, int bufSize, ReadTap* tap) {
    if (buf == nullptr || bufSize < 1)
        return RES_UDP_RECV_FAILED;
    // A receive time-out of 0 would mean waiting for ever.
    const int waitMs = std::max(1, F + I);
    if (!SetRecvTimeout(sock, waitMs))
        return RES_UDP_RECV_FAILED;
    // Waited in poll() so that a stop cuts the wait short; the receive then
    // fails as on its own time-out when nothing came.
    PollFor(sock, POLLIN, waitMs);
    const int n = RecvDatagram(sock, buf, std::min(UDP_DATAGRAM_MAX, bufSize), tap, MSG_DONTWAIT);
    if (n < 0)
        return n;
    if (n >= LeadingAckLength(buf, n, 0) + FRAME_OVERHEAD)
        return n;

    // A short datagram: the rest of the reply may already wait behind it.
    if (!SetRecvTimeout(sock, 1))
        return RES_UDP_RECV_FAILED;
    const int n2 = RecvDatagram(sock, buf + n, std::min(UDP_DATAGRAM_MAX, bufSize - n), tap);
    return n2 < 0 ? n2 : n + n2;
}

int UdpRecvRaw(int sock, uint8_t* buf, int max, int waitMs) {
    if (buf == nullptr || max < 1)
        return RES_UDP_RECV_FAILED;
    if (PollFor(sock, POLLIN, std::max(0, waitMs)) == 0)
        return RES_UDP_RECV_FAILED;
    const ssize_t n = recv(sock, buf, static_cast<size_t>(max), MSG_DONTWAIT);
    return n < 0 ? RES_UDP_RECV_FAILED : static_cast<int>(n);
}

ResultCode UdpClose(int sock) {
    if (sock == NO_SOCKET)
        return RES_OK;
    return close(sock) == 0 ? RES_OK : RES_UDP_CLOSE_FAILED;
}
