#pragma once

#include <algorithm>
#include <cstdint>
#include <vector>

#include "protocol/Frame.h"

// A well-formed reply frame (C2 ... C3) for tests.
inline std::vector<uint8_t> MakeReply(uint8_t machine, uint8_t status,
                                      const std::vector<uint8_t>& data) {
    std::vector<uint8_t> f(data.size() + FRAME_OVERHEAD);
    BuildReplyFrame(machine, status, data.data(), static_cast<int>(data.size()), f.data());
    return f;
}

inline std::vector<uint8_t> Concat(std::vector<uint8_t> a, const std::vector<uint8_t>& b) {
    a.insert(a.end(), b.begin(), b.end());
    return a;
}

inline std::vector<uint8_t> AckBytes() {
    return {AckFrame, AckFrame + 9};
}
