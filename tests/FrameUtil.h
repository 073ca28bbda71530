#pragma once

#include <algorithm>
#include <cstdint>
#include <vector>

#include "protocol/Frame.h"

// A well-formed reply frame (C2 ... C3) for tests.
inline std::vector<uint8_t> MakeReply(uint8_t machine, uint8_t status,
                                      const std::vector<uint8_t>& data) {
    const size_t m = data.size();
    std::vector<uint8_t> f(m + FRAME_OVERHEAD);
    f[0] = FRAME_REPLY_START;
    f[1] = machine;
    f[2] = status;
    f[3] = static_cast<uint8_t>(m >> 8);
    f[4] = static_cast<uint8_t>(m & 0xFF);
    std::copy(data.begin(), data.end(), f.begin() + 5);
    const uint16_t crc = Crc16(static_cast<int>(m + 5), f.data());
    f[m + 5] = static_cast<uint8_t>(crc >> 8);
    f[m + 6] = static_cast<uint8_t>(crc & 0xFF);
    f[m + 7] = FRAME_REPLY_END;
    return f;
}

inline std::vector<uint8_t> Concat(std::vector<uint8_t> a, const std::vector<uint8_t>& b) {
    a.insert(a.end(), b.begin(), b.end());
    return a;
}

inline std::vector<uint8_t> AckBytes() { return {AckFrame, AckFrame + 9}; }
