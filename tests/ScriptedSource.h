#pragma once

#include <algorithm>
#include <cstdint>
#include <deque>
#include <vector>

#include "protocol/FrameReader.h"

// A byte source played from memory on a fake clock: each step delivers its
// bytes at a given time (ms from the start), or fails with a code.
class ScriptedSource : public FrameSource {
  public:
    struct Step {
        uint32_t atMs;
        std::vector<uint8_t> bytes;
        int failCode = 0;
    };

    explicit ScriptedSource(std::vector<Step> steps) : m_steps(steps.begin(), steps.end()) {}

    int Read(uint8_t* dst, int max, int waitMs) override {
        if (m_steps.empty()) {
            m_now += waitMs;
            return 0;
        }
        Step& s = m_steps.front();
        if (s.atMs > m_now + static_cast<uint32_t>(waitMs)) {
            m_now += waitMs;
            return 0;
        }
        m_now = std::max(m_now, s.atMs);
        if (s.failCode != 0)
            return s.failCode;
        const int n = std::min<int>(max, static_cast<int>(s.bytes.size()));
        std::copy_n(s.bytes.begin(), n, dst);
        s.bytes.erase(s.bytes.begin(), s.bytes.begin() + n);
        if (s.bytes.empty())
            m_steps.pop_front();
        return n;
    }

    uint32_t Tick() override { return m_now; }

  private:
    std::deque<Step> m_steps;
    uint32_t m_now = 0;
};
