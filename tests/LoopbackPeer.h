#pragma once

#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <functional>
#include <thread>
#include <vector>

#include "FdIo.h"

// Network peers for tests, all on 127.0.0.1 and ports the system picks.

inline sockaddr_in Loopback(int port) {
    sockaddr_in sa{};
    sa.sin_family = AF_INET;
    sa.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    sa.sin_port = htons(static_cast<uint16_t>(port));
    return sa;
}

inline int LocalPort(int fd) {
    sockaddr_in sa{};
    socklen_t len = sizeof sa;
    getsockname(fd, reinterpret_cast<sockaddr*>(&sa), &len);
    return ntohs(sa.sin_port);
}

// A socket of the given type bound to 127.0.0.1:port (0 picks one); -1 when
// the bind fails.
inline int BoundSocket(int type, int port) {
    const int fd = socket(AF_INET, type | SOCK_CLOEXEC, 0);
    const sockaddr_in sa = Loopback(port);
    if (bind(fd, reinterpret_cast<const sockaddr*>(&sa), sizeof sa) != 0) {
        close(fd);
        return -1;
    }
    return fd;
}

// A loopback port with nobody listening on it.
inline int ClosedPort() {
    const int fd = BoundSocket(SOCK_STREAM, 0);
    const int port = LocalPort(fd);
    close(fd);
    return port;
}

// A TCP connection to 127.0.0.1:port; -1 when it is refused.
inline int ConnectLoopback(int port) {
    const int fd = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    const sockaddr_in sa = Loopback(port);
    if (connect(fd, reinterpret_cast<const sockaddr*>(&sa), sizeof sa) != 0) {
        close(fd);
        return -1;
    }
    return fd;
}

// Makes the close of a connection a reset instead of an orderly end.
inline void ResetOnClose(int fd) {
    const linger lg{1, 0};
    setsockopt(fd, SOL_SOCKET, SO_LINGER, &lg, sizeof lg);
}

// A TCP listener on a loopback port.
struct TcpListener {
    int fd = -1;
    int port = 0;

    explicit TcpListener(int backlog = 8) {
        fd = BoundSocket(SOCK_STREAM, 0);
        listen(fd, backlog);
        port = LocalPort(fd);
    }
    ~TcpListener() {
        for (int s : m_fillers)
            close(s);
        close(fd);
    }
    TcpListener(const TcpListener&) = delete;
    TcpListener& operator=(const TcpListener&) = delete;

    // The next connection, or -1 after waitMs.
    int Accept(int waitMs) const {
        return WaitReadable(fd, waitMs) ? accept(fd, nullptr, nullptr) : -1;
    }

    // Makes a host that never answers: a listener that never accepts and
    // whose queue is full drops every further handshake. Returns false when
    // this kernel still completes connects to it.
    bool FillBacklog() {
        for (int i = 0; i < 8; ++i) {
            const int s = socket(AF_INET, SOCK_STREAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0);
            const sockaddr_in sa = Loopback(port);
            connect(s, reinterpret_cast<const sockaddr*>(&sa), sizeof sa);
            m_fillers.push_back(s);
            pollfd p{s, POLLOUT, 0};
            if (poll(&p, 1, 200) == 0)
                return true;
        }
        return false;
    }

  private:
    std::vector<int> m_fillers;
};

// A listener whose Serve plays one connection on a thread with a script;
// the connection is closed when the script returns.
class TcpPeer {
  public:
    ~TcpPeer() { Join(); }
    int Port() const { return m_listener.port; }

    void Serve(std::function<void(int fd)> script) {
        m_thread = std::thread([this, script] {
            const int fd = m_listener.Accept(5000);
            if (fd < 0)
                return;
            script(fd);
            close(fd);
        });
    }
    void Join() {
        if (m_thread.joinable())
            m_thread.join();
    }

  private:
    TcpListener m_listener{1};
    std::thread m_thread;
};
