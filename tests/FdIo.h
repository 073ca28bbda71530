#pragma once

#include <poll.h>
#include <sys/ioctl.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdint>
#include <ctime>
#include <vector>

// Byte I/O on any descriptor a test plays (a pty master, a socket), each
// call bounded in time, and the clocks that bound it.

inline int64_t MsSince(std::chrono::steady_clock::time_point t0) {
    return std::chrono::duration_cast<std::chrono::milliseconds>(std::chrono::steady_clock::now() -
                                                                 t0)
        .count();
}

// Processor time the calling thread has used, for tests that a wait sleeps
// rather than spins.
inline int64_t ThreadCpuMs() {
    timespec ts{};
    clock_gettime(CLOCK_THREAD_CPUTIME_ID, &ts);
    return static_cast<int64_t>(ts.tv_sec) * 1000 + ts.tv_nsec / 1000000;
}

inline bool WaitReadable(int fd, int ms) {
    pollfd p{fd, POLLIN, 0};
    return poll(&p, 1, ms) == 1;
}

// Bytes waiting in the kernel's queue of fd (a socket, a tty) for a read.
inline int Queued(int fd) {
    int n = 0;
    return ioctl(fd, FIONREAD, &n) == 0 ? n : -1;
}

// True when at least count bytes wait in fd's queue within ms: a test that
// needs a reply read in one go lets it arrive whole first.
inline bool WaitQueued(int fd, int count, int ms) {
    const auto t0 = std::chrono::steady_clock::now();
    while (Queued(fd) < count) {
        if (MsSince(t0) >= ms)
            return false;
        poll(nullptr, 0, 1);
    }
    return true;
}

// Reads until count bytes came, the other end closed, or waitMs passed.
// Returns what came.
inline std::vector<uint8_t> ReadBytes(int fd, size_t count, int waitMs) {
    std::vector<uint8_t> got;
    const auto t0 = std::chrono::steady_clock::now();
    while (got.size() < count) {
        const int64_t left = waitMs - MsSince(t0);
        if (left <= 0 || !WaitReadable(fd, static_cast<int>(left)))
            break;
        uint8_t tmp[1024];
        const ssize_t n = read(fd, tmp, std::min(sizeof tmp, count - got.size()));
        if (n <= 0)
            break;
        got.insert(got.end(), tmp, tmp + n);
    }
    return got;
}

// Writes all of bytes; stops silently when the other end is gone.
inline void WriteBytes(int fd, const std::vector<uint8_t>& bytes) {
    size_t done = 0;
    while (done < bytes.size()) {
        const ssize_t n = write(fd, bytes.data() + done, bytes.size() - done);
        if (n <= 0)
            return;
        done += static_cast<size_t>(n);
    }
}

// True when the other end closes within ms; bytes before the close are
// read and dropped.
inline bool PeerCloses(int fd, int ms) {
    const auto t0 = std::chrono::steady_clock::now();
    for (int64_t left = ms; left > 0; left = ms - MsSince(t0)) {
        if (!WaitReadable(fd, static_cast<int>(left)))
            return false;
        uint8_t sink[256];
        if (read(fd, sink, sizeof sink) <= 0)
            return true;
    }
    return false;
}
