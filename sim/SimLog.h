#pragma once

#include <cstdint>
#include <string>

// The simulator's per-event log on a descriptor nobody may be reading. A
// line is written whole or not at all and never makes the caller wait: a
// line that finds the previous one still waiting for room is dropped and
// counted, and the count is logged once writing works again.
class SimLog {
  public:
    // Writes to fd (kept open by the caller). A pipe, FIFO or terminal gets
    // a non-blocking description of its own, so the caller's stays as it is.
    explicit SimLog(int fd);
    ~SimLog();
    SimLog(const SimLog&) = delete;
    SimLog& operator=(const SimLog&) = delete;

    // Writes one line (without its line feed) or drops it.
    void Line(const std::string& text);

    // True while the rest of a line or a dropped count waits for room: poll
    // Fd() for POLLOUT then.
    bool Waiting() const { return !m_bBroken && (!m_strPending.empty() || m_nDropped > 0); }
    int Fd() const { return m_nFd; }

    // Writes what waits, then the count of dropped lines.
    void OnWritable();

    uint64_t Dropped() const { return m_nDropped; }

  private:
    // Writes m_strPending as far as it goes; false when it failed for good.
    bool Push();
    // Writes a new line; false, with nothing pending, when not a byte of it went.
    bool Start(std::string text);

    int m_nFd;
    int m_nOwnFd = -1; // the reopened description, closed with the log
    bool m_bSocket = false;
    bool m_bBroken = false; // a write failed for good: every line is dropped
    std::string m_strPending;
    uint64_t m_nDropped = 0;
};
