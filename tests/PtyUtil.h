#pragma once

#include <algorithm>
#include <chrono>
#include <cstdint>
#include <string>
#include <thread>
#include <vector>

#include <poll.h>
#include <pty.h>
#include <unistd.h>

// A pseudo-terminal pair: the driver opens the slave by its path, the test
// plays the device on the master. The test keeps its own slave descriptor so
// that the pair outlives the driver's opens and closes and so that it can
// read the slave's settings.
struct PtyPair {
    int master = -1;
    int slave = -1;
    std::string path;

    bool Open() {
        if (openpty(&master, &slave, nullptr, nullptr, nullptr) != 0)
            return false;
        path = ttyname(slave);
        return true;
    }
    void CloseMaster() {
        if (master >= 0)
            close(master);
        master = -1;
    }
    void Close() {
        CloseMaster();
        if (slave >= 0)
            close(slave);
        slave = -1;
    }
    ~PtyPair() { Close(); }

    void Write(const std::vector<uint8_t>& bytes) const {
        size_t done = 0;
        while (done < bytes.size()) {
            const ssize_t n = write(master, bytes.data() + done, bytes.size() - done);
            if (n <= 0)
                return;
            done += static_cast<size_t>(n);
        }
    }

    // Reads from the master until count bytes came or waitMs passed.
    std::vector<uint8_t> Read(size_t count, int waitMs = 1000) const {
        std::vector<uint8_t> got;
        const auto until = std::chrono::steady_clock::now() + std::chrono::milliseconds(waitMs);
        while (got.size() < count) {
            const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
                until - std::chrono::steady_clock::now());
            if (left.count() <= 0)
                break;
            pollfd p{master, POLLIN, 0};
            if (poll(&p, 1, static_cast<int>(left.count())) <= 0)
                break;
            uint8_t tmp[512];
            const ssize_t n = read(master, tmp, std::min(sizeof tmp, count - got.size()));
            if (n <= 0)
                break;
            got.insert(got.end(), tmp, tmp + n);
        }
        return got;
    }

    // True when bytes wait at the master.
    bool Pending() const {
        pollfd p{master, POLLIN, 0};
        return poll(&p, 1, 0) == 1 && (p.revents & POLLIN);
    }
};

inline int64_t MsSince(std::chrono::steady_clock::time_point t0) {
    return std::chrono::duration_cast<std::chrono::milliseconds>(std::chrono::steady_clock::now() -
                                                                 t0)
        .count();
}
