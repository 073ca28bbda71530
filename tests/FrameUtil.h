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

// Slices of a frame, and a copy with one byte changed, for feeding a reader
// in pieces or spoiling a frame.
inline std::vector<uint8_t> Head(const std::vector<uint8_t>& v, size_t n) {
    return {v.begin(), v.begin() + n};
}
inline std::vector<uint8_t> Mid(const std::vector<uint8_t>& v, size_t from, size_t to) {
    return {v.begin() + from, v.begin() + to};
}
inline std::vector<uint8_t> Tail(const std::vector<uint8_t>& v, size_t from) {
    return {v.begin() + from, v.end()};
}
inline std::vector<uint8_t> WithByte(std::vector<uint8_t> v, size_t at, uint8_t b) {
    v[at] = b;
    return v;
}

inline std::vector<uint8_t> AckBytes() {
    return {AckFrame, AckFrame + 9};
}
