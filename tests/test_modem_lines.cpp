#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <string>
#include <thread>
#include <vector>

#include "FakeModemLines.h"
#include "ModemTest.h"
#include "PtyUtil.h"
#include "comm/Modem.h"
#include "comm/SerialPort.h"

namespace {

using Clock = std::chrono::steady_clock;

TEST_F(ModemTest, DialRaisesDtrThenRtsThenWritesTheCommand) {
    for (const std::string cmd : {"ATDT012345\n", "ATDT\n"}) {
        SCOPED_TRACE(cmd);
        FakeModemLines fresh(FakeModemLines::NEVER, &pty);
        ComSetModemLines(&fresh);
        ASSERT_EQ(ComOpen(PORT, 0), 0);
        const auto* bytes = reinterpret_cast<const uint8_t*>(cmd.data());
        EXPECT_EQ(ComDialLine(PORT, bytes, static_cast<int>(cmd.size())), 0);
        EXPECT_EQ(pty.Read(cmd.size()), std::vector<uint8_t>(bytes, bytes + cmd.size()));
        // The write raises DTR once more before its bytes.
        EXPECT_EQ(fresh.Raised(),
                  (std::vector<std::string>{"DTR COM200", "RTS COM200", "DTR COM200"}));
        ComClose(PORT);
        ComSetModemLines(&lines);
    }
}

TEST_F(ModemTest, DialFailsWhenThePortIsNotOpenOrTheWriteFails) {
    const uint8_t cmd[] = {'A', 'T', 'D', 'T', '\n'};
    EXPECT_EQ(ComDialLine(PORT, cmd, 5), -1);
    EXPECT_TRUE(lines.Raised().empty());

    ASSERT_EQ(ComOpen(PORT, 0), 0);
    pty.CloseMaster();
    EXPECT_EQ(ComDialLine(PORT, cmd, 5), -1);
}

TEST_F(ModemTest, CancelEndsTheCarrierWaitPromptly) {
    ASSERT_EQ(ComOpen(PORT, 0), 0);
    lines.Arm(-1);
    std::atomic<bool> cancel{true};
    auto t0 = Clock::now();
    EXPECT_EQ(ComWaitCarrier(PORT, 10000, &cancel), 0);
    EXPECT_LT(MsSince(t0), 50);

    cancel = false;
    std::thread canceller([&] {
        std::this_thread::sleep_for(std::chrono::milliseconds(150));
        cancel = true;
    });
    t0 = Clock::now();
    EXPECT_EQ(ComWaitCarrier(PORT, 10000, &cancel), 0);
    const int64_t ms = MsSince(t0);
    canceller.join();
    EXPECT_GE(ms, 140);
    EXPECT_LT(ms, 450);
}

TEST(ModemLinesOnPty, RaisingIsIgnoredAndCarrierReadsAbsent) {
    PtyPair pty;
    ASSERT_TRUE(pty.Open());
    ComBindDevice(PORT, pty.path.c_str());
    bool present = true;
    EXPECT_EQ(ComRaiseDtr(PORT), -1);
    EXPECT_EQ(ComRaiseRts(PORT), -1);
    EXPECT_EQ(ComGetCarrier(PORT, present), -1);

    ASSERT_EQ(ComOpen(PORT, 0), 0);
    EXPECT_EQ(ComRaiseDtr(PORT), 0);
    EXPECT_EQ(ComRaiseRts(PORT), 0);
    EXPECT_EQ(ComGetCarrier(PORT, present), 0);
    EXPECT_FALSE(present);
    const uint8_t cmd[] = {'A', 'T', 'D', 'T', '\n'};
    EXPECT_EQ(ComDialLine(PORT, cmd, 5), 0);
    EXPECT_EQ(pty.Read(5), std::vector<uint8_t>(cmd, cmd + 5));
    EXPECT_EQ(ComWaitCarrier(PORT, 250), -6);
    ComClose(PORT);
    ComBindDevice(PORT, "");
}

} // namespace
