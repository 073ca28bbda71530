#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "CommTestUtil.h"
#include "FakeModemLines.h"
#include "comm/CommThread.h"
#include "comm/DialModem.h"
#include "comm/SerialPort.h"
#include "protocol/ResultCodes.h"

namespace {

constexpr WindowHandle CONSOLE = 1;

class DialTest : public ::testing::Test {
  protected:
    void SetUp() override {
        events.AttachTo(job);
        job.hNotifyWnd = CONSOLE;
        job.nChannel = CH_MODEM;
    }
    void TearDown() override {
        StopWorker(job, worker);
        ComSetModemLines(nullptr);
    }

    // The console's dial: port open, dial command in the job, worker started,
    // open event set.
    void Dial(int com, const std::string& command) {
        job.nPort = com;
        job.strAddress = command;
        worker = StartWorker(job);
        events.open.Set();
    }

    static bool PortClosed(int com) {
        const uint8_t b = 0;
        return ComWrite(com, &b, 1) == RES_SEND_FAILED;
    }

    PostRecorder posts;
    CommEvents events;
    CommJob job;
    std::thread worker;
};

struct DialCase {
    const char* name;
    std::string command;
    std::string written;
    int carrierAfterMs;
};

TEST_F(DialTest, CarrierConnectsAfterTheCommandIsWritten) {
    const std::vector<DialCase> cases = {
        {"outside line and number", "ATDT012345\n", "ATDT012345\n", 300},
        {"empty numbers", "ATDT\n", "ATDT\n", 0},
        {"command cut to 99 characters", "ATDT" + std::string(150, '9'),
         "ATDT" + std::string(95, '9'), 0},
    };
    int com = 214;
    for (const DialCase& c : cases) {
        SCOPED_TRACE(c.name);
        posts.Clear();
        FakeModemLines lines(c.carrierAfterMs);
        ComSetModemLines(&lines);
        PtyPort port(com);
        ASSERT_TRUE(port.IsOpen());

        const auto t0 = std::chrono::steady_clock::now();
        Dial(com, c.command);
        ASSERT_TRUE(posts.WaitFor(1, 5000));
        const int64_t ms = MsSince(t0);
        EXPECT_EQ(posts.Posts()[0], (Posted{CONSOLE, RC_CONNECTED, CH_MODEM}));
        EXPECT_EQ(job.nResult, 0);
        EXPECT_GE(ms, c.carrierAfterMs);
        EXPECT_LE(ms, c.carrierAfterMs + 1000);
        EXPECT_TRUE(lines.WasRaised("DTR"));
        EXPECT_TRUE(lines.WasRaised("RTS"));
        const std::vector<uint8_t> bytes = ReadBytes(port.Master(), c.written.size() + 1, 300);
        EXPECT_EQ(std::string(bytes.begin(), bytes.end()), c.written);

        StopWorker(job, worker);
        EXPECT_TRUE(PortClosed(com)) << "hanging up is closing the port";
        ComSetModemLines(nullptr);
        ++com;
    }
}

TEST_F(DialTest, CancelDuringTheCarrierWaitPostsNothing) {
    FakeModemLines lines(FakeModemLines::NEVER);
    ComSetModemLines(&lines);
    PtyPort port(217);
    ASSERT_TRUE(port.IsOpen());
    Dial(217, "ATDT1\n");
    ASSERT_EQ(ReadBytes(port.Master(), 6, 2000).size(), 6u);

    CancelDial(job);
    EXPECT_TRUE(events.stopped.Wait(1000)) << "the worker did not give up the dial";
    EXPECT_FALSE(posts.WaitFor(1, 500));
    StopWorker(job, worker);
    EXPECT_TRUE(PortClosed(217));
    EXPECT_FALSE(events.open.Wait(0));
}

TEST_F(DialTest, CommandThatCannotBeWrittenFails) {
    Dial(218, "ATDT1\n"); // COM218 is not open
    ASSERT_TRUE(posts.WaitFor(1, 3000));
    EXPECT_EQ(posts.Posts()[0], (Posted{CONSOLE, RC_CONNECT_FAILED, CH_MODEM}));
    EXPECT_EQ(job.nResult, RES_DIAL_FAILED);
    EXPECT_TRUE(events.stopped.Wait(1000));
}

TEST_F(DialTest, NoCarrierWithinTenSecondsFails) {
    FakeModemLines lines(FakeModemLines::NEVER);
    ComSetModemLines(&lines);
    PtyPort port(219);
    ASSERT_TRUE(port.IsOpen());
    const auto t0 = std::chrono::steady_clock::now();
    Dial(219, "ATDT1\n");
    ASSERT_TRUE(posts.WaitFor(1, 15000));
    EXPECT_GE(MsSince(t0), 10000);
    EXPECT_EQ(posts.Posts()[0], (Posted{CONSOLE, RC_CONNECT_FAILED, CH_MODEM}));
    EXPECT_EQ(job.nResult, RES_NO_CARRIER);
    EXPECT_TRUE(events.stopped.Wait(1000));
    StopWorker(job, worker);
    EXPECT_TRUE(PortClosed(219)) << "a failed dial closes the port";
}

} // namespace
