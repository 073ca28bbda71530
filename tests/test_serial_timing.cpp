// The serial driver's cases whose verdict rests on gaps of a few
// milliseconds: an executable of their own, labelled timing.
#include <gtest/gtest.h>

#include <chrono>
#include <cstdint>
#include <thread>
#include <vector>

#include "FdIo.h"
#include "FrameUtil.h"
#include "PtyUtil.h"
#include "SerialTest.h"
#include "comm/SerialPort.h"

namespace {

using Clock = std::chrono::steady_clock;

// The master plays each step's bytes at its time (ms from the start).
struct Step {
    int atMs;
    std::vector<uint8_t> bytes;
};

std::thread Play(const PtyPair& pty, std::vector<Step> steps) {
    return std::thread([&pty, steps = std::move(steps)] {
        const auto t0 = Clock::now();
        for (const Step& s : steps) {
            std::this_thread::sleep_until(t0 + std::chrono::milliseconds(s.atMs));
            pty.Write(s.bytes);
        }
    });
}

TEST_F(SerialTest, ReadFrameOverRealTiming) {
    const auto& r = REPLY;
    const auto ack = AckBytes();
    const std::vector<uint8_t> tooLong = {0xC2, 0x01, 0x00, 0x04, 0x00, 0x11, 0x22};
    const struct {
        const char* name;
        std::vector<Step> steps;
        int F, I, bufSize;
        int result;
        std::vector<uint8_t> frame; // expected buffer when result > 0
    } cases[] = {
        {"whole reply", {{0, r}}, 500, 200, 600, 11, r},
        // I is wide: a loaded machine may deliver the pieces late.
        {"split across writes",
         {{0, Head(r, 2)}, {40, {r[2], r[3], r[4], r[5]}}, {80, Tail(r, 6)}},
         500,
         1000,
         600,
         11,
         r},
        {"late start byte within F", {{250, r}}, 800, 100, 600, 11, r},
        {"garbage before the start byte", {{0, {0x00, 0xC3, 0x55}}, {30, r}}, 500, 200, 600, 11, r},
        {"acknowledgement first", {{0, ack}, {60, r}}, 1000, 1000, 600, 20, Concat(ack, r)},
        {"acknowledgement alone", {{0, ack}}, 300, 200, 600, -6, {}},
        {"start byte after F", {{600, r}}, 300, 200, 600, -6, {}},
        {"nothing", {}, 300, 200, 600, -6, {}},
        {"late body byte", {{0, Head(r, 7)}, {400, Tail(r, 7)}}, 800, 150, 600, -4, {}},
        {"bad end byte", {{0, WithByte(r, 10, 0xC1)}}, 500, 200, 600, -2, {}},
        {"bad checksum low byte", {{0, WithByte(r, 9, r[9] ^ 1)}}, 500, 200, 600, -9, {}},
        {"announced length beyond the buffer", {{0, tooLong}}, 500, 200, 64, -2, {}},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        ASSERT_EQ(ComOpen(PORT, 0), 0);
        std::vector<uint8_t> buf(c.bufSize);
        std::thread peer = Play(pty, c.steps);
        const auto t0 = Clock::now();
        const int rc = ComReadFrame(PORT, c.F, c.I, buf.data(), c.bufSize);
        const int64_t ms = MsSince(t0);
        peer.join();
        EXPECT_EQ(rc, c.result);
        if (rc > 0) {
            EXPECT_EQ(std::vector<uint8_t>(buf.begin(), buf.begin() + rc), c.frame);
            EXPECT_EQ(buf[rc], 0);
        }
        // The first-character time-out counts whole-millisecond ticks: a
        // start read late in its millisecond lets it end up to 1 ms early.
        if (rc == -6) {
            EXPECT_GE(ms, c.F - 1);
        }
        EXPECT_LT(ms, c.F + 2 * c.I + 500);
        ComClose(PORT);
    }
}

TEST_F(SerialTest, WaitingForAReplyDoesNotBurnACore) {
    ASSERT_EQ(ComOpen(PORT, 0), 0);
    const int64_t cpu0 = ThreadCpuMs();
    const auto t0 = Clock::now();
    uint8_t buf[64];
    EXPECT_EQ(ComReadFrame(PORT, 1000, 100, buf, 64), -6);
    const int64_t wallMs = MsSince(t0);
    const int64_t cpuMs = ThreadCpuMs() - cpu0;
    EXPECT_GE(wallMs, 1000 - 1); // whole-millisecond ticks, as above
    EXPECT_LT(cpuMs, wallMs / 5);
}

} // namespace
