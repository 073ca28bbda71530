#pragma once

#include <cstdint>
#include <vector>

#include "protocol/Frame.h"

// A well-formed reply frame (C2 ... C3) for tests.
inline std::vector<uint8_t> MakeReply(uint8_t machine, uint8_t status,
                                      const std::vector<uint8_t>& data) {
    std::vector<uint8_t> f = {FRAME_REPLY_START, machine, status,
                              static_cast<uint8_t>(data.size() >> 8),
                              static_cast<uint8_t>(data.size() & 0xFF)};
    f.insert(f.end(), data.begin(), data.end());
    const uint16_t crc = Crc16(static_cast<int>(f.size()), f.data());
    f.push_back(static_cast<uint8_t>(crc >> 8));
    f.push_back(static_cast<uint8_t>(crc & 0xFF));
    f.push_back(FRAME_REPLY_END);
    return f;
}

inline std::vector<uint8_t> Concat(std::vector<uint8_t> a, const std::vector<uint8_t>& b) {
    a.insert(a.end(), b.begin(), b.end());
    return a;
}

inline std::vector<uint8_t> AckBytes() { return {AckFrame, AckFrame + 9}; }
