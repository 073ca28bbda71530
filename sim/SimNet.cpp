// The simulator's socket code: the TCP server and the UDP socket, IPv4.
#include <arpa/inet.h>
#include <cerrno>
#include <cstring>
#include <fcntl.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <sys/socket.h>
#include <unistd.h>

#include "comm/NetAddress.h"
#include "sim/SimChannels.h"

namespace {

static_assert(sizeof(sockaddr_in) <= sizeof(SimPeer::addr));

// Binds a new socket of the given type; returns 0 with fd and the bound port.
int BindSocket(int type, const char* addr, int port, int& fd, int& boundPort) {
    sockaddr_in sa{};
    if (!MakeSockAddr(addr, port, sa))
        return -EINVAL;
    const int s = socket(AF_INET, type | SOCK_NONBLOCK | SOCK_CLOEXEC, 0);
    if (s < 0)
        return -errno;
    // A restarted server must not wait for its old connections to time out;
    // UDP keeps the default so that a second simulator on the port fails.
    const int one = 1;
    if (type == SOCK_STREAM)
        setsockopt(s, SOL_SOCKET, SO_REUSEADDR, &one, sizeof one);
    socklen_t len = sizeof sa;
    if (bind(s, reinterpret_cast<sockaddr*>(&sa), sizeof sa) != 0 ||
        (type == SOCK_STREAM && listen(s, 4) != 0) ||
        getsockname(s, reinterpret_cast<sockaddr*>(&sa), &len) != 0) {
        const int err = errno;
        close(s);
        return -err;
    }
    fd = s;
    boundPort = ntohs(sa.sin_port);
    return 0;
}

std::string Text(const sockaddr_in& sa) {
    char ip[INET_ADDRSTRLEN] = {};
    inet_ntop(AF_INET, &sa.sin_addr, ip, sizeof ip);
    return std::string(ip) + ":" + std::to_string(ntohs(sa.sin_port));
}

} // namespace

int SimListenTcp(const char* addr, int port, int& fd, int& boundPort) {
    return BindSocket(SOCK_STREAM, addr, port, fd, boundPort);
}

int SimAcceptTcp(int listenFd, int& fd, std::string& peerText) {
    sockaddr_in sa{};
    socklen_t len = sizeof sa;
    const int s =
        accept4(listenFd, reinterpret_cast<sockaddr*>(&sa), &len, SOCK_NONBLOCK | SOCK_CLOEXEC);
    if (s < 0)
        return -errno;
    // Replies go out as they are scheduled, byte gaps included.
    const int one = 1;
    setsockopt(s, IPPROTO_TCP, TCP_NODELAY, &one, sizeof one);
    fd = s;
    peerText = Text(sa);
    return 0;
}

int SimBindUdp(const char* addr, int port, int& fd, int& boundPort) {
    return BindSocket(SOCK_DGRAM, addr, port, fd, boundPort);
}

int SimRecvFrom(int fd, uint8_t* buf, int max, SimPeer& peer) {
    sockaddr_in sa{};
    socklen_t len = sizeof sa;
    const ssize_t n =
        recvfrom(fd, buf, static_cast<size_t>(max), 0, reinterpret_cast<sockaddr*>(&sa), &len);
    if (n < 0)
        return -errno;
    std::memcpy(peer.addr, &sa, sizeof sa);
    peer.len = len;
    return static_cast<int>(n);
}

int SimSendTo(int fd, const uint8_t* data, int n, const SimPeer& peer) {
    const ssize_t sent = sendto(fd, data, static_cast<size_t>(n), MSG_NOSIGNAL,
                                reinterpret_cast<const sockaddr*>(peer.addr), peer.len);
    return sent < 0 ? -errno : static_cast<int>(sent);
}

std::string SimPeerText(const SimPeer& peer) {
    sockaddr_in sa{};
    std::memcpy(&sa, peer.addr, sizeof sa);
    return Text(sa);
}
