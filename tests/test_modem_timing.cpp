// The modem line cases whose verdict rests on gaps of a few milliseconds:
// an executable of their own, labelled timing.
#include <gtest/gtest.h>

#include <chrono>
#include <cstdint>

#include "FdIo.h"
#include "ModemTest.h"
#include "comm/Modem.h"
#include "comm/SerialPort.h"

namespace {

using Clock = std::chrono::steady_clock;

TEST_F(ModemTest, CarrierWaitPollsEvery100Ms) {
    const struct {
        const char* name;
        int carrierAfterMs;
        int timeoutMs;
        int result;
        int minMs, maxMs; // generous upper bounds: the machine may be busy
    } cases[] = {
        {"carrier after 300 ms", 300, 2000, 1, 300, 1500},
        {"carrier already there shows after one interval", 0, 2000, 1, 100, 1200},
        {"no carrier", -1, 500, -6, 500, 1500},
    };
    ASSERT_EQ(ComOpen(PORT, 0), 0);
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        lines.Arm(c.carrierAfterMs);
        const auto t0 = Clock::now();
        EXPECT_EQ(ComWaitCarrier(PORT, c.timeoutMs), c.result);
        const int64_t ms = MsSince(t0);
        EXPECT_GE(ms, c.minMs);
        EXPECT_LT(ms, c.maxMs);
    }
}

} // namespace
