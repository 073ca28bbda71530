#pragma once

#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <pty.h>
#include <sys/socket.h>
#include <unistd.h>

#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <functional>
#include <mutex>
#include <thread>
#include <vector>

#include "PtyUtil.h"
#include "comm/Notify.h"
#include "comm/SerialPort.h"

// What a worker posted, in order, as a UI would receive it.
struct Posted {
    WindowHandle wnd;
    int code;
    long value;
};

// Installs itself as the process's poster and queues every post.
class PostRecorder {
  public:
    PostRecorder() {
        Instance() = this;
        SetCommResultPoster(&PostRecorder::Post);
    }
    ~PostRecorder() {
        SetCommResultPoster(nullptr);
        Instance() = nullptr;
    }

    // Waits until at least n posts are queued; returns false after ms.
    bool WaitFor(size_t n, int ms) {
        std::unique_lock<std::mutex> lock(m_mutex);
        return m_cond.wait_for(lock, std::chrono::milliseconds(ms),
                               [&] { return m_posts.size() >= n; });
    }
    std::vector<Posted> Posts() {
        std::lock_guard<std::mutex> lock(m_mutex);
        return m_posts;
    }
    size_t Count() {
        std::lock_guard<std::mutex> lock(m_mutex);
        return m_posts.size();
    }
    void Clear() {
        std::lock_guard<std::mutex> lock(m_mutex);
        m_posts.clear();
    }

  private:
    static PostRecorder*& Instance() {
        static PostRecorder* instance = nullptr;
        return instance;
    }
    static void Post(WindowHandle wnd, int code, long value) {
        PostRecorder* self = Instance();
        std::lock_guard<std::mutex> lock(self->m_mutex);
        self->m_posts.push_back({wnd, code, value});
        self->m_cond.notify_all();
    }

    std::mutex m_mutex;
    std::condition_variable m_cond;
    std::vector<Posted> m_posts;
};

inline bool operator==(const Posted& a, const Posted& b) {
    return a.wnd == b.wnd && a.code == b.code && a.value == b.value;
}

// Reads exactly n bytes from fd, each wait bounded by ms. Returns what came.
inline std::vector<uint8_t> ReadBytes(int fd, size_t n, int ms) {
    std::vector<uint8_t> out;
    while (out.size() < n) {
        pollfd p{fd, POLLIN, 0};
        if (poll(&p, 1, ms) <= 0) {
            break;
        }
        uint8_t b[1024];
        const ssize_t got = read(fd, b, std::min(sizeof(b), n - out.size()));
        if (got <= 0) {
            break;
        }
        out.insert(out.end(), b, b + got);
    }
    return out;
}

inline void WriteBytes(int fd, const std::vector<uint8_t>& bytes) {
    size_t done = 0;
    while (done < bytes.size()) {
        const ssize_t put = write(fd, bytes.data() + done, bytes.size() - done);
        if (put <= 0) {
            return;
        }
        done += put;
    }
}

// A pseudo-terminal bound to a COM number and opened as the console opens a
// port; the test plays the device on the master side.
class PtyPort {
  public:
    explicit PtyPort(int com) : m_com(com) {
        if (m_pty.Open()) {
            ComBindDevice(m_com, m_pty.path.c_str());
            m_open = ComOpen(m_com, ComBaudIndex(115200)) == 0;
        }
    }
    ~PtyPort() {
        ComClose(m_com);
        ComBindDevice(m_com, "");
    }
    bool IsOpen() const { return m_open; }
    int Master() const { return m_pty.master; }

  private:
    int m_com;
    PtyPair m_pty;
    bool m_open = false;
};

// A TCP listener on 127.0.0.1, port 0; Serve plays one connection on a
// thread with the given script.
class TcpPeer {
  public:
    TcpPeer() {
        m_listen = socket(AF_INET, SOCK_STREAM, 0);
        sockaddr_in sa{};
        sa.sin_family = AF_INET;
        sa.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        bind(m_listen, reinterpret_cast<sockaddr*>(&sa), sizeof(sa));
        listen(m_listen, 1);
        socklen_t len = sizeof(sa);
        getsockname(m_listen, reinterpret_cast<sockaddr*>(&sa), &len);
        m_port = ntohs(sa.sin_port);
    }
    ~TcpPeer() {
        Join();
        close(m_listen);
    }
    int Port() const { return m_port; }

    void Serve(std::function<void(int fd)> script) {
        m_thread = std::thread([this, script] {
            pollfd p{m_listen, POLLIN, 0};
            if (poll(&p, 1, 5000) <= 0) {
                return;
            }
            const int fd = accept(m_listen, nullptr, nullptr);
            if (fd < 0) {
                return;
            }
            script(fd);
            close(fd);
        });
    }
    void Join() {
        if (m_thread.joinable()) {
            m_thread.join();
        }
    }

  private:
    int m_listen = -1;
    int m_port = 0;
    std::thread m_thread;
};
