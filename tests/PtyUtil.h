#pragma once

#include <pty.h>
#include <unistd.h>

#include <cstdint>
#include <string>
#include <vector>

#include "FdIo.h"

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

    void Write(const std::vector<uint8_t>& bytes) const { WriteBytes(master, bytes); }

    // Reads from the master until count bytes came or waitMs passed.
    std::vector<uint8_t> Read(size_t count, int waitMs = 1000) const {
        return ReadBytes(master, count, waitMs);
    }

    // True when bytes wait at the master.
    bool Pending() const {
        pollfd p{master, POLLIN, 0};
        return poll(&p, 1, 0) == 1 && (p.revents & POLLIN);
    }
};
