#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <string>
#include <thread>
#include <vector>

#include <fcntl.h>
#include <signal.h>
#include <sys/file.h>
#include <sys/ioctl.h>
#include <sys/wait.h>
#include <termios.h>

#include "FrameUtil.h"
#include "PtyUtil.h"
#include "SerialTest.h"
#include "comm/SerialPort.h"
#include "comm/SerialSpeed.h"

namespace {

using Clock = std::chrono::steady_clock;

TEST(SerialNames, DefaultTableAndExplicitBindings) {
    const struct {
        int n;
        const char* path;
    } cases[] = {{1, "/dev/ttyS0"},
                 {32, "/dev/ttyS31"},
                 {33, "/dev/ttyUSB0"},
                 {64, "/dev/ttyUSB31"},
                 {65, "/dev/ttyACM0"},
                 {96, "/dev/ttyACM31"},
                 {0, ""},
                 {97, ""},
                 {255, ""},
                 {-1, ""},
                 {256, ""}};
    for (const auto& c : cases)
        EXPECT_EQ(ComDevicePath(c.n), c.path) << "COM" << c.n;

    EXPECT_EQ(ComBindDevice(0, "/dev/pts/77"), 0);
    EXPECT_EQ(ComBindDevice(255, "/dev/serial/by-id/usb-x"), 0);
    EXPECT_EQ(ComBindDevice(3, "/dev/ttyUSB4"), 0);
    EXPECT_EQ(ComDevicePath(0), "/dev/pts/77");
    EXPECT_EQ(ComDevicePath(255), "/dev/serial/by-id/usb-x");
    EXPECT_EQ(ComDevicePath(3), "/dev/ttyUSB4");
    EXPECT_EQ(ComBindDevice(3, ""), 0);
    EXPECT_EQ(ComBindDevice(0, nullptr), 0);
    ComBindDevice(255, "");
    EXPECT_EQ(ComDevicePath(3), "/dev/ttyS2");
    EXPECT_EQ(ComDevicePath(0), "");
    EXPECT_EQ(ComBindDevice(-1, "/dev/null"), -1);
    EXPECT_EQ(ComBindDevice(256, "/dev/null"), -1);
}

TEST(SerialNames, DeviceToNumberAsksTheSameTable) {
    const struct {
        const char* device;
        int n;
    } cases[] = {{"/dev/ttyS0", 1},    {"/dev/ttyS31", 32},
                 {"/dev/ttyUSB0", 33}, {"/dev/ttyACM31", 96},
                 {"/dev/ttyS32", -1},  {"/dev/ttyS01", -1},
                 {"/dev/ttyS", -1},    {"/dev/pts/3", -1},
                 {"ttyS0", -1},        {"", -1}};
    for (const auto& c : cases)
        EXPECT_EQ(ComNumberOfDevice(c.device), c.n) << c.device;
    EXPECT_EQ(ComNumberOfDevice(nullptr), -1);
    for (int n = 1; n <= 96; ++n)
        EXPECT_EQ(ComNumberOfDevice(ComDevicePath(n).c_str()), n);

    // A binding wins over the default slot; a rebound number's default
    // device no longer opens through it.
    ASSERT_EQ(ComBindDevice(200, "/dev/ttyS0"), 0);
    ASSERT_EQ(ComBindDevice(2, "/dev/pts/9"), 0);
    ASSERT_EQ(ComBindDevice(250, "/dev/pts/9"), 0);
    EXPECT_EQ(ComNumberOfDevice("/dev/ttyS0"), 200);
    EXPECT_EQ(ComNumberOfDevice("/dev/pts/9"), 2);
    EXPECT_EQ(ComNumberOfDevice("/dev/ttyS1"), -1);
    for (int n : {2, 200, 250})
        ComBindDevice(n, "");
    EXPECT_EQ(ComNumberOfDevice("/dev/ttyS0"), 1);
    EXPECT_EQ(ComNumberOfDevice("/dev/ttyS1"), 2);
    EXPECT_EQ(ComNumberOfDevice("/dev/pts/9"), -1);
}

TEST(SerialNames, BaudTableBothWays) {
    const long rates[] = {19200, 9600, 4800, 2400, 1200, 28800, 57600, 115200, 921600};
    for (unsigned i = 0; i < 9; ++i) {
        EXPECT_EQ(ComBaudRate(i), rates[i]);
        EXPECT_EQ(ComBaudIndex(rates[i]), i);
    }
    EXPECT_EQ(ComBaudRate(9), 921600);
    EXPECT_EQ(ComBaudRate(1000), 921600);
    EXPECT_EQ(ComBaudIndex(38400), 0u);
    EXPECT_EQ(ComBaudIndex(0), 0u);
}

TEST_F(SerialTest, OpenFailsForPortsWithoutAUsableDevice) {
    ComBindDevice(OTHER_PORT, "/dev/quillmark-absent");
    EXPECT_EQ(ComOpen(OTHER_PORT, 0), -7);
    EXPECT_EQ(ComOpenError(), ENOENT);
    ComBindDevice(OTHER_PORT, "/dev/null"); // exists, but no tty
    EXPECT_EQ(ComOpen(OTHER_PORT, 0), -7);
    EXPECT_EQ(ComOpenError(), ENOTTY);
    for (int n : {0, 97, 255, -1, 256}) {
        EXPECT_EQ(ComOpen(n, 0), -7) << "COM" << n;
        EXPECT_EQ(ComOpenError(), ENODEV) << "COM" << n;
    }

    // The entry stays closed.
    const uint8_t b = 0x55;
    uint8_t buf[16];
    EXPECT_EQ(ComWrite(OTHER_PORT, &b, 1), -3);
    EXPECT_EQ(ComReadRaw(OTHER_PORT, buf, 16), -2);
    EXPECT_EQ(ComReadFrame(OTHER_PORT, 10, 10, buf, 16), -2);
    EXPECT_EQ(ComClose(OTHER_PORT), 0);
}

TEST_F(SerialTest, OpenIsExclusiveAndCloseReleasesIt) {
    int excl = -1;
    ASSERT_EQ(ComOpen(PORT, 0), 0);
    ASSERT_EQ(ioctl(pty.slave, TIOCGEXCL, &excl), 0);
    EXPECT_EQ(excl, 1);

    EXPECT_EQ(ComOpen(PORT, 0), -7) << "same number while open";
    EXPECT_EQ(ComOpenError(), EBUSY);
    ComBindDevice(OTHER_PORT, pty.path.c_str());
    EXPECT_EQ(ComOpen(OTHER_PORT, 0), -7) << "same device under another number";
    EXPECT_EQ(ComOpenError(), EWOULDBLOCK);

    EXPECT_EQ(ComClose(PORT), 0);
    EXPECT_EQ(ComClose(PORT), 0);
    ASSERT_EQ(ioctl(pty.slave, TIOCGEXCL, &excl), 0);
    EXPECT_EQ(excl, 0) << "a closed port must not stay exclusive";

    EXPECT_EQ(ComOpen(OTHER_PORT, 0), 0);
    EXPECT_EQ(ComOpenError(), 0) << "an open clears the last reason";
    EXPECT_EQ(ComClose(OTHER_PORT), 0);
    EXPECT_EQ(ComOpen(PORT, 0), 0);
}

TEST_F(SerialTest, PortLockedByAnotherHolderIsBusy) {
    // Another descriptor of this process.
    const int fd = open(pty.path.c_str(), O_RDWR | O_NOCTTY);
    ASSERT_GE(fd, 0);
    ASSERT_EQ(flock(fd, LOCK_EX | LOCK_NB), 0);
    EXPECT_EQ(ComOpen(PORT, 0), -7);
    int excl = -1;
    ASSERT_EQ(ioctl(pty.slave, TIOCGEXCL, &excl), 0);
    EXPECT_EQ(excl, 0) << "a refused open must not touch the holder's port";
    close(fd);

    // Another program.
    int ready[2];
    int release[2];
    ASSERT_EQ(pipe(ready), 0);
    ASSERT_EQ(pipe(release), 0);
    const pid_t child = fork();
    ASSERT_GE(child, 0);
    if (child == 0) {
        close(ready[0]);
        close(release[1]);
        const int cfd = open(pty.path.c_str(), O_RDWR | O_NOCTTY);
        const char ok = (cfd >= 0 && flock(cfd, LOCK_EX | LOCK_NB) == 0) ? 1 : 0;
        (void)!write(ready[1], &ok, 1);
        char c;
        (void)!read(release[0], &c, 1);
        _exit(0);
    }
    close(ready[1]);
    close(release[0]);
    char ok = 0;
    ASSERT_EQ(read(ready[0], &ok, 1), 1);
    ASSERT_EQ(ok, 1);
    EXPECT_EQ(ComOpen(PORT, 0), -7);
    close(release[1]);
    waitpid(child, nullptr, 0);
    close(ready[0]);

    EXPECT_EQ(ComOpen(PORT, 0), 0);
}

TEST_F(SerialTest, EveryBaudIndexSetsItsSpeed) {
    const struct {
        unsigned index;
        int bps;
    } cases[] = {{0, 19200}, {1, 9600},   {2, 4800},   {3, 2400},   {4, 1200},   {5, 28800},
                 {6, 57600}, {7, 115200}, {8, 921600}, {9, 921600}, {77, 921600}};
    for (const auto& c : cases) {
        ASSERT_EQ(ComOpen(PORT, c.index), 0) << "index " << c.index;
        EXPECT_EQ(GetSerialSpeed(pty.slave), c.bps) << "index " << c.index;
        ComClose(PORT);
    }
    termios tio;
    ASSERT_EQ(ComOpen(PORT, 8), 0);
    ASSERT_EQ(tcgetattr(pty.slave, &tio), 0);
    EXPECT_EQ(cfgetospeed(&tio), static_cast<speed_t>(B921600));
}

TEST_F(SerialTest, OpenSetsRaw8N1) {
    ASSERT_EQ(ComOpen(PORT, 0), 0);
    termios tio;
    ASSERT_EQ(tcgetattr(pty.slave, &tio), 0);
    EXPECT_EQ(tio.c_lflag & (ICANON | ECHO | ECHONL | ISIG | IEXTEN), 0u);
    EXPECT_EQ(tio.c_iflag & (ICRNL | INLCR | IGNCR | IXON | IXOFF | ISTRIP), 0u);
    EXPECT_EQ(tio.c_oflag & OPOST, 0u);
    EXPECT_EQ(tio.c_cflag & (CSIZE | PARENB | CSTOPB | CRTSCTS | CLOCAL | CREAD | HUPCL),
              static_cast<tcflag_t>(CS8 | CLOCAL | CREAD | HUPCL));
    EXPECT_EQ(tio.c_cc[VMIN], 0);
    EXPECT_EQ(tio.c_cc[VTIME], 0);
}

TEST_F(SerialTest, WriteDeliversEveryByteValueUnchanged) {
    ASSERT_EQ(ComOpen(PORT, 0), 0);
    std::vector<uint8_t> all(256);
    for (int i = 0; i < 256; ++i)
        all[i] = static_cast<uint8_t>(i);
    EXPECT_EQ(ComWrite(PORT, all.data(), 256), 0);
    EXPECT_EQ(pty.Read(256), all);

    EXPECT_EQ(ComWrite(PORT, nullptr, 0), 0);
    EXPECT_EQ(ComWrite(PORT, nullptr, 5), -3);
    EXPECT_FALSE(pty.Pending());
}

TEST_F(SerialTest, WriteThatCannotProgressFailsWithinItsBound) {
    ASSERT_EQ(ComOpen(PORT, 0), 0);
    ASSERT_EQ(tcflow(pty.slave, TCOOFF), 0);
    const uint8_t bytes[10] = {1, 2, 3, 4, 5, 6, 7, 8, 9, 10};
    const auto t0 = Clock::now();
    EXPECT_EQ(ComWrite(PORT, bytes, 10), -3);
    const int64_t ms = MsSince(t0);
    EXPECT_GE(ms, 95); // 10 * 5 + 50
    EXPECT_LT(ms, 1000);

    ASSERT_EQ(tcflow(pty.slave, TCOON), 0);
    EXPECT_EQ(ComWrite(PORT, bytes, 3), 0);
    EXPECT_EQ(pty.Read(3), std::vector<uint8_t>(bytes, bytes + 3));
}

// A line that takes bytes on a scripted clock: each step waits gapMs, then
// takes up to take bytes (a negative take fails the write).
struct ScriptedSink : ComWriteSink {
    struct Step {
        int gapMs;
        int take;
    };
    std::vector<Step> steps;
    size_t next = 0;
    uint32_t now = 1000;
    int taken = 0;

    int Write(const uint8_t*, int count, int waitMs) override {
        if (next == steps.size()) {
            now += static_cast<uint32_t>(waitMs);
            return 0;
        }
        Step& st = steps[next];
        if (st.gapMs > waitMs) {
            now += static_cast<uint32_t>(waitMs);
            st.gapMs -= waitMs;
            return 0;
        }
        now += static_cast<uint32_t>(st.gapMs);
        ++next;
        if (st.take < 0)
            return -1;
        const int put = std::min(st.take, count);
        taken += put;
        return put;
    }
    uint32_t Tick() override { return now; }
};

TEST(SerialWriteRule, EveryByteMovedRestartsTheStallSpan) {
    // 296 bytes: the span is 5 * 296 + 50 = 1530 ms without progress.
    struct Case {
        const char* name;
        std::vector<ScriptedSink::Step> steps;
        int expected;
        int taken;
        uint32_t endsAt; // ms from the start when the write returns
    } cases[] = {
        {"all at once", {{0, 296}}, 0, 296, 0},
        // 1,200 bit/s through a 16-byte buffer: 37 chunks, 133 ms apart,
        // about 4.9 s in all, far past one span from the start.
        {"slow line keeps moving", std::vector<ScriptedSink::Step>(37, {133, 8}), 0, 296, 4921},
        {"stall just inside the span", {{10, 100}, {1530, 100}, {1530, 96}}, 0, 296, 3070},
        {"stall of one span", {{10, 100}, {1531, 196}}, -3, 100, 1540},
        {"nothing moves", {}, -3, 0, 1530},
        {"line fails part way", {{0, 100}, {5, -1}}, -3, 100, 5},
    };
    const std::vector<uint8_t> frame(296, 0x5A);
    for (Case& c : cases) {
        ScriptedSink sink;
        sink.steps = c.steps;
        const uint32_t t0 = sink.now;
        EXPECT_EQ(ComWriteAll(sink, frame.data(), 296), c.expected) << c.name;
        EXPECT_EQ(sink.taken, c.taken) << c.name;
        EXPECT_EQ(sink.now - t0, c.endsAt) << c.name;
    }
    ScriptedSink none;
    EXPECT_EQ(ComWriteAll(none, nullptr, 0), 0);
}

TEST_F(SerialTest, BytesBeforeTheRequestAreNotTheReply) {
    ASSERT_EQ(ComOpen(PORT, 0), 0);
    pty.Write(MakeReply(9, 0, {0xAA}));
    std::this_thread::sleep_for(std::chrono::milliseconds(50));
    const uint8_t request[] = {0xC0, 0x01, 0x10, 0x00, 0x00, 0xC0, 0x09, 0xC1};
    ASSERT_EQ(ComWrite(PORT, request, 8), 0);
    EXPECT_EQ(pty.Read(8), std::vector<uint8_t>(request, request + 8));
    pty.Write(REPLY);
    uint8_t buf[600];
    ASSERT_EQ(ComReadFrame(PORT, 1000, 500, buf, 600), 11);
    EXPECT_EQ(std::vector<uint8_t>(buf, buf + 11), REPLY);
}

// What arrived behind a frame in the same read stays the port's: the next
// frame read and raw receive take it before anything new.
TEST_F(SerialTest, BytesPastAFrameAreTheNextReadsFirst) {
    ASSERT_EQ(ComOpen(PORT, 0), 0);
    const std::vector<uint8_t> second = MakeReply(2, 0, {0x44});
    const std::vector<uint8_t> all = Concat(Concat(REPLY, second), {0x41, 0x42, 0x43});
    pty.Write(all);
    ASSERT_TRUE(WaitQueued(pty.slave, static_cast<int>(all.size()), 2000));
    uint8_t buf[600];
    ASSERT_EQ(ComReadFrame(PORT, 1000, 500, buf, 600), 11);
    EXPECT_EQ(Queued(pty.slave), 0) << "one read takes all that waits";
    EXPECT_EQ(std::vector<uint8_t>(buf, buf + 11), REPLY);
    ASSERT_EQ(ComReadFrame(PORT, 1000, 500, buf, 600), 9);
    EXPECT_EQ(std::vector<uint8_t>(buf, buf + 9), second);
    ASSERT_EQ(ComReadRaw(PORT, buf, 2), 2);
    EXPECT_EQ(std::vector<uint8_t>(buf, buf + 2), (std::vector<uint8_t>{0x41, 0x42}));
    ASSERT_EQ(ComReadRaw(PORT, buf, 16), 1);
    EXPECT_EQ(buf[0], 0x43);
    EXPECT_EQ(ComReadRaw(PORT, buf, 16), 0);
}

// The purge before a request drops what was read ahead with the driver's
// queue, and so does a close.
TEST_F(SerialTest, ARequestOrACloseDropsTheBytesReadAhead) {
    const std::vector<uint8_t> both = Concat(REPLY, MakeReply(9, 0, {0xAA}));
    const std::vector<uint8_t> request = {0xC0, 0x01, 0x10, 0x00, 0x00, 0xC0, 0x09, 0xC1};
    uint8_t buf[600];
    for (const bool bClose : {false, true}) {
        SCOPED_TRACE(bClose ? "close" : "request");
        ASSERT_EQ(ComOpen(PORT, 0), 0);
        pty.Write(both);
        ASSERT_TRUE(WaitQueued(pty.slave, static_cast<int>(both.size()), 2000));
        ASSERT_EQ(ComReadFrame(PORT, 1000, 500, buf, 600), 11);
        ASSERT_EQ(Queued(pty.slave), 0);
        if (bClose) {
            ASSERT_EQ(ComClose(PORT), 0);
            ASSERT_EQ(ComOpen(PORT, 0), 0);
        } else {
            ASSERT_EQ(ComWrite(PORT, request.data(), 8), 0);
            EXPECT_EQ(pty.Read(8), request);
        }
        EXPECT_EQ(ComReadRaw(PORT, buf, 16), 0);
        ComClose(PORT);
    }
}

TEST_F(SerialTest, RawReadReturnsWhatWaitsAtOnce) {
    ASSERT_EQ(ComOpen(PORT, 0), 0);
    uint8_t buf[16];
    const auto t0 = Clock::now();
    EXPECT_EQ(ComReadRaw(PORT, buf, 16), 0);
    EXPECT_LT(MsSince(t0), 500); // no wait, however loaded the machine

    pty.Write({1, 2, 3, 4, 5});
    std::vector<uint8_t> got;
    while (got.size() < 5 && MsSince(t0) < 1000) {
        const int n = ComReadRaw(PORT, buf, 16);
        ASSERT_GE(n, 0);
        got.insert(got.end(), buf, buf + n);
        std::this_thread::sleep_for(std::chrono::milliseconds(5));
    }
    EXPECT_EQ(got, (std::vector<uint8_t>{1, 2, 3, 4, 5}));
}

TEST_F(SerialTest, VanishedDeviceFailsPromptly) {
    ASSERT_EQ(ComOpen(PORT, 0), 0);
    uint8_t buf[64];
    std::thread gone([&] {
        std::this_thread::sleep_for(std::chrono::milliseconds(100));
        pty.CloseMaster();
    });
    const auto t0 = Clock::now();
    EXPECT_EQ(ComReadFrame(PORT, 5000, 1000, buf, 64), -2);
    EXPECT_LT(MsSince(t0), 1000);
    gone.join();

    EXPECT_EQ(ComReadRaw(PORT, buf, 64), -2);
    EXPECT_EQ(ComWrite(PORT, buf, 8), -3);
    EXPECT_EQ(ComClose(PORT), 0);
}

TEST_F(SerialTest, CloseFromAnotherThreadEndsAWaitingRead) {
    for (int round = 0; round < 5; ++round) {
        SCOPED_TRACE(round);
        ASSERT_EQ(ComOpen(PORT, 0), 0);
        std::atomic<int> result{1};
        std::thread reader([&] {
            uint8_t buf[64];
            result = ComReadFrame(PORT, 5000, 1000, buf, 64);
        });
        std::this_thread::sleep_for(std::chrono::milliseconds(30));
        const auto t0 = Clock::now();
        EXPECT_EQ(ComClose(PORT), 0);
        EXPECT_LT(MsSince(t0), 1000);

        // A new port very likely gets the descriptor numbers just freed; the
        // old reader must not take the new port's bytes.
        PtyPair other;
        ASSERT_TRUE(other.Open());
        ComBindDevice(OTHER_PORT, other.path.c_str());
        ASSERT_EQ(ComOpen(OTHER_PORT, 0), 0);
        other.Write(REPLY);
        uint8_t buf[64];
        EXPECT_EQ(ComReadFrame(OTHER_PORT, 1000, 500, buf, 64), 11);

        reader.join();
        EXPECT_EQ(result, -2);
        EXPECT_LT(MsSince(t0), 2000);
        ComClose(OTHER_PORT);
    }
}

} // namespace
