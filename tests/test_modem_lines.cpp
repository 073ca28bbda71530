#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "PtyUtil.h"
#include "comm/SerialPort.h"

namespace {

using Clock = std::chrono::steady_clock;

constexpr int kPort = 200;

// A modem's control lines: records each raise (and whether the command had
// already reached the modem then) and raises carrier carrierAfterMs after
// Arm(); a negative value never.
class FakeModemLines : public ComModemLines {
  public:
    explicit FakeModemLines(const PtyPair& pty) : m_pty(pty) {}

    void RaiseDtr(int n) override { Record("DTR", n); }
    void RaiseRts(int n) override { Record("RTS", n); }
    bool Carrier(int) override {
        std::lock_guard<std::mutex> lock(m_mutex);
        return m_carrierAfterMs >= 0 && MsSince(m_armed) >= m_carrierAfterMs;
    }

    void Arm(int carrierAfterMs) {
        std::lock_guard<std::mutex> lock(m_mutex);
        m_carrierAfterMs = carrierAfterMs;
        m_armed = Clock::now();
    }
    std::vector<std::string> Raised() {
        std::lock_guard<std::mutex> lock(m_mutex);
        return m_raised;
    }

  private:
    void Record(const char* line, int n) {
        std::lock_guard<std::mutex> lock(m_mutex);
        m_raised.push_back(std::string(line) + (m_pty.Pending() ? " after bytes" : "") + " COM" +
                           std::to_string(n));
    }

    const PtyPair& m_pty;
    std::mutex m_mutex;
    std::vector<std::string> m_raised;
    int m_carrierAfterMs = -1;
    Clock::time_point m_armed = Clock::now();
};

class ModemTest : public ::testing::Test {
  protected:
    void SetUp() override {
        ASSERT_TRUE(pty.Open());
        ASSERT_EQ(ComBindDevice(kPort, pty.path.c_str()), 0);
        ComSetModemLines(&lines);
    }
    void TearDown() override {
        ComClose(kPort);
        ComSetModemLines(nullptr);
        ComBindDevice(kPort, "");
    }

    PtyPair pty;
    FakeModemLines lines{pty};
};

TEST_F(ModemTest, DialRaisesDtrThenRtsThenWritesTheCommand) {
    for (const std::string cmd : {"ATDT012345\n", "ATDT\n"}) {
        SCOPED_TRACE(cmd);
        FakeModemLines fresh(pty);
        ComSetModemLines(&fresh);
        ASSERT_EQ(ComOpen(kPort, 0), 0);
        const auto* bytes = reinterpret_cast<const uint8_t*>(cmd.data());
        EXPECT_EQ(ComDialLine(kPort, bytes, static_cast<int>(cmd.size())), 0);
        EXPECT_EQ(pty.Read(cmd.size()), std::vector<uint8_t>(bytes, bytes + cmd.size()));
        // The write raises DTR once more before its bytes.
        EXPECT_EQ(fresh.Raised(),
                  (std::vector<std::string>{"DTR COM200", "RTS COM200", "DTR COM200"}));
        ComClose(kPort);
        ComSetModemLines(&lines);
    }
}

TEST_F(ModemTest, DialFailsWhenThePortIsNotOpenOrTheWriteFails) {
    const uint8_t cmd[] = {'A', 'T', 'D', 'T', '\n'};
    EXPECT_EQ(ComDialLine(kPort, cmd, 5), -1);
    EXPECT_TRUE(lines.Raised().empty());

    ASSERT_EQ(ComOpen(kPort, 0), 0);
    pty.CloseMaster();
    EXPECT_EQ(ComDialLine(kPort, cmd, 5), -1);
}

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
    ASSERT_EQ(ComOpen(kPort, 0), 0);
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        lines.Arm(c.carrierAfterMs);
        const auto t0 = Clock::now();
        EXPECT_EQ(ComWaitCarrier(kPort, c.timeoutMs), c.result);
        const int64_t ms = MsSince(t0);
        EXPECT_GE(ms, c.minMs);
        EXPECT_LT(ms, c.maxMs);
    }
}

TEST_F(ModemTest, CancelEndsTheCarrierWaitPromptly) {
    ASSERT_EQ(ComOpen(kPort, 0), 0);
    lines.Arm(-1);
    std::atomic<bool> cancel{true};
    auto t0 = Clock::now();
    EXPECT_EQ(ComWaitCarrier(kPort, 10000, &cancel), 0);
    EXPECT_LT(MsSince(t0), 50);

    cancel = false;
    std::thread canceller([&] {
        std::this_thread::sleep_for(std::chrono::milliseconds(150));
        cancel = true;
    });
    t0 = Clock::now();
    EXPECT_EQ(ComWaitCarrier(kPort, 10000, &cancel), 0);
    const int64_t ms = MsSince(t0);
    canceller.join();
    EXPECT_GE(ms, 140);
    EXPECT_LT(ms, 450);
}

TEST(ModemLinesOnPty, RaisingIsIgnoredAndCarrierReadsAbsent) {
    PtyPair pty;
    ASSERT_TRUE(pty.Open());
    ComBindDevice(kPort, pty.path.c_str());
    bool present = true;
    EXPECT_EQ(ComRaiseDtr(kPort), -1);
    EXPECT_EQ(ComRaiseRts(kPort), -1);
    EXPECT_EQ(ComGetCarrier(kPort, present), -1);

    ASSERT_EQ(ComOpen(kPort, 0), 0);
    EXPECT_EQ(ComRaiseDtr(kPort), 0);
    EXPECT_EQ(ComRaiseRts(kPort), 0);
    EXPECT_EQ(ComGetCarrier(kPort, present), 0);
    EXPECT_FALSE(present);
    const uint8_t cmd[] = {'A', 'T', 'D', 'T', '\n'};
    EXPECT_EQ(ComDialLine(kPort, cmd, 5), 0);
    EXPECT_EQ(pty.Read(5), std::vector<uint8_t>(cmd, cmd + 5));
    EXPECT_EQ(ComWaitCarrier(kPort, 250), -6);
    ComClose(kPort);
    ComBindDevice(kPort, "");
}

} // namespace
