#pragma once

#include <cstdint>
#include <vector>

// Cuts request frames (C0, machine, command, length, data, CRC, end byte)
// out of a byte stream. Bytes outside frames are reported as skipped; a
// frame that stops arriving for the idle time, or that announces more than
// 288 data bytes, is dropped. Checksum and end byte are left to the terminal.
class RequestAssembler {
  public:
    enum Kind { FRAME, SKIPPED, DROPPED };
    struct Piece {
        Kind kind;
        std::vector<uint8_t> bytes;
    };

    explicit RequestAssembler(int idleMs) : m_nIdleMs(idleMs) {}

    // Takes n bytes that arrived at tick nowMs and appends what they complete
    // to out, in stream order.
    void Feed(const uint8_t* p, int n, uint64_t nowMs, std::vector<Piece>& out);

    // Drops a partial frame that has waited longer than the idle time.
    void Expire(uint64_t nowMs, std::vector<Piece>& out);

    // Drops a partial frame at once (end of a datagram, a closed connection).
    void Flush(std::vector<Piece>& out);

    // Milliseconds until a partial frame expires; -1 when none waits.
    int MsUntilExpiry(uint64_t nowMs) const;

  private:
    void Take(uint8_t b, std::vector<uint8_t>& skipped, std::vector<Piece>& out);

    int m_nIdleMs;
    uint64_t m_nLastMs = 0;
    std::vector<uint8_t> m_frame;
};
