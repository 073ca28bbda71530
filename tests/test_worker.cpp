#include <gtest/gtest.h>

#include <atomic>
#include <cerrno>
#include <chrono>
#include <cstring>
#include <ctime>
#include <string>
#include <vector>

#include "AdapterSources.h"
#include "CommTestUtil.h"
#include "FrameUtil.h"
#include "comm/CommThread.h"
#include "comm/NetDriver.h"
#include "comm/SerialPort.h"
#include "protocol/Frame.h"

namespace {

using Posts = std::vector<Posted>;

constexpr WindowHandle CONSOLE = 1;
constexpr WindowHandle LOAD_DLG = 2;

const std::vector<uint8_t> DATA = {0x10, 0x20, 0x30};
// A well-formed reply frame.
const std::vector<uint8_t> REPLY = MakeReply(1, 0, {0xAA, 0xC2, 0xBB});
// A terminal's refusal (status 0x33) of machine 7's download start.
const std::vector<uint8_t> REFUSAL = MakeReply(7, 0x33, {});

std::vector<uint8_t> Request() {
    std::vector<uint8_t> frame(FRAME_OVERHEAD + DATA.size());
    const int len = static_cast<int>(DATA.size());
    BuildFrame(1, 0x10, DATA.data(), len, frame.data());
    return frame;
}

class WorkerTest : public ::testing::Test {
  protected:
    void SetUp() override {
        events.AttachTo(job);
        job.hNotifyWnd = CONSOLE;
    }
    void TearDown() override {
        StopWorker(job, worker);
        NetSetAdapterSource(nullptr);
    }

    // The console's side of an operation: fill the job, set the job event last.
    void File(int operation, const std::vector<uint8_t>& frame = {}, bool bNoReceive = false,
              int firstCharMs = 2000) {
        std::copy(frame.begin(), frame.end(), sendBuf);
        job.pSendBuf = sendBuf;
        job.nSendBufSize = sizeof(sendBuf);
        job.nSendLen = static_cast<int>(frame.size());
        job.pRecvBuf = recvBuf;
        job.nRecvBufSize = sizeof(recvBuf);
        job.nFirstCharTimeout = firstCharMs;
        job.nInterCharTimeout = 500;
        job.nOperation = operation;
        job.bNoReceive = bNoReceive;
        events.job.Set();
    }

    void StartNet(int channel, int port) {
        job.nChannel = channel;
        job.strAddress = "127.0.0.1";
        job.nPort = port;
        worker = StartWorker(job);
        events.open.Set();
    }

    std::vector<uint8_t> Received(int n) { return {recvBuf, recvBuf + n}; }

    PostRecorder posts;
    CommEvents events;
    CommJob job;
    std::thread worker;
    uint8_t sendBuf[600] = {};
    uint8_t recvBuf[600] = {};
};

TEST_F(WorkerTest, TcpExchangeThenSendOnlyThenStopClosesTheSocket) {
    TcpPeer peer;
    std::vector<uint8_t> firstRequest, secondRequest;
    bool bClosed = false;
    peer.Serve([&](int fd) {
        firstRequest = ReadBytes(fd, Request().size(), 3000);
        WriteBytes(fd, REPLY);
        secondRequest = ReadBytes(fd, Request().size(), 3000);
        bClosed = PeerCloses(fd, 5000);
    });
    StartNet(CH_TCP, peer.Port());
    ASSERT_TRUE(posts.WaitFor(1, 3000));
    EXPECT_EQ(posts.Posts()[0], (Posted{CONSOLE, RC_CONNECTED, CH_TCP}));
    EXPECT_EQ(job.nResult, 0);

    events.done.Reset();
    File(OP_EXCHANGE, Request());
    ASSERT_TRUE(posts.WaitFor(3, 3000));
    EXPECT_EQ(posts.Posts()[1], (Posted{CONSOLE, RC_SENT, 0}));
    EXPECT_EQ(posts.Posts()[2], (Posted{CONSOLE, RC_RECEIVED, long(REPLY.size())}));
    EXPECT_EQ(Received(REPLY.size()), REPLY);
    EXPECT_TRUE(events.done.Wait(1000));

    // A send-only exchange hands the job back with RC_SENT: the console may
    // file the next one at once.
    File(OP_EXCHANGE, Request(), true);
    ASSERT_TRUE(posts.WaitFor(4, 3000));
    File(OP_RAW_RECEIVE);
    ASSERT_TRUE(posts.WaitFor(5, 3000));
    EXPECT_FALSE(posts.WaitFor(6, 300));
    EXPECT_EQ(posts.Posts()[3], (Posted{CONSOLE, RC_SENT, 0}));
    EXPECT_EQ(posts.Posts()[4], (Posted{CONSOLE, RC_RAW_RECEIVED, 0}));

    StopWorker(job, worker);
    peer.Join();
    EXPECT_EQ(firstRequest, Request());
    EXPECT_EQ(secondRequest, Request());
    EXPECT_TRUE(bClosed);
}

// Stopping a worker whose reply does not come gives the wait its grace and
// then ends it, posted as a read without a reply, instead of sitting out a
// 30 s first-character time-out on the caller's thread.
TEST_F(WorkerTest, StopEndsAReplyWaitAfterItsGrace) {
    constexpr int FIRST_CHAR_MS = 30000;
    auto stopTakesMs = [&] {
        const auto t0 = std::chrono::steady_clock::now();
        StopWorker(job, worker);
        return MsSince(t0);
    };
    auto lastPost = [&] { return posts.Posts().back(); };
    {
        SCOPED_TRACE("TCP");
        TcpPeer peer;
        std::vector<uint8_t> request;
        peer.Serve([&](int fd) {
            request = ReadBytes(fd, Request().size(), 3000);
            PeerCloses(fd, FIRST_CHAR_MS);
        });
        StartNet(CH_TCP, peer.Port());
        ASSERT_TRUE(posts.WaitFor(1, 3000));
        File(OP_EXCHANGE, Request(), false, FIRST_CHAR_MS);
        ASSERT_TRUE(posts.WaitFor(2, 3000)); // sent: the reply wait has begun
        const long took = stopTakesMs();
        // The grace counts from when the wait first sees the stop, on the
        // steady clock, so it never ends before its time.
        EXPECT_GE(took, STOP_GRACE_MS);
        EXPECT_LT(took, 5000);
        EXPECT_EQ(lastPost(), (Posted{CONSOLE, RC_RECEIVED, RES_NO_START}));
        peer.Join();
        EXPECT_EQ(request, Request());
    }
    {
        SCOPED_TRACE("serial");
        PtyPort port(210);
        ASSERT_TRUE(port.IsOpen());
        job.nChannel = CH_SERIAL;
        job.nPort = 210;
        worker = StartWorker(job);
        const size_t before = posts.Posts().size();
        File(OP_EXCHANGE, Request(), false, FIRST_CHAR_MS);
        ASSERT_TRUE(posts.WaitFor(before + 1, 3000));
        EXPECT_EQ(ReadBytes(port.Master(), Request().size(), 3000), Request());
        EXPECT_LT(stopTakesMs(), 5000);
        EXPECT_EQ(lastPost(), (Posted{CONSOLE, RC_RECEIVED, RES_NO_START}));
    }
    {
        SCOPED_TRACE("UDP");
        NetSetAdapterSource(&LoopbackAdapter);
        const int peerFd = BoundSocket(SOCK_DGRAM, 0); // takes the request, never answers
        ASSERT_GE(peerFd, 0);
        const size_t before = posts.Posts().size();
        StartNet(CH_UDP, LocalPort(peerFd));
        ASSERT_TRUE(posts.WaitFor(before + 1, 3000));
        File(OP_EXCHANGE, Request(), false, FIRST_CHAR_MS);
        ASSERT_TRUE(posts.WaitFor(before + 2, 3000));
        EXPECT_TRUE(WaitReadable(peerFd, 3000));
        EXPECT_LT(stopTakesMs(), 5000);
        EXPECT_EQ(lastPost(), (Posted{CONSOLE, RC_RECEIVED, RES_INTER_TIMEOUT}));
        close(peerFd);
    }
}

TEST_F(WorkerTest, TcpSendToAResetPeerReadsNoReply) {
    TcpPeer peer;
    peer.Serve([](int fd) {
        // Let the connect complete before the reset lands.
        std::this_thread::sleep_for(std::chrono::milliseconds(200));
        linger reset{1, 0};
        setsockopt(fd, SOL_SOCKET, SO_LINGER, &reset, sizeof(reset));
    });
    StartNet(CH_TCP, peer.Port());
    ASSERT_TRUE(posts.WaitFor(1, 3000));
    peer.Join();
    std::this_thread::sleep_for(std::chrono::milliseconds(50));

    events.done.Reset();
    File(OP_EXCHANGE, Request());
    ASSERT_TRUE(posts.WaitFor(2, 3000));
    const Posted sent = posts.Posts()[1];
    EXPECT_EQ(sent.code, RC_SENT);
    EXPECT_TRUE(sent.value == RES_SEND_FAILED || sent.value == RES_CONN_LOST) << sent.value;
    EXPECT_FALSE(posts.WaitFor(3, 300));
    EXPECT_FALSE(events.done.Wait(0));
}

// A worker that ended by itself, and the stopped event the console sets
// after a cancelled dial, must not let the next stop return early.
TEST_F(WorkerTest, StopWaitsForTheWorkerItStops) {
    NetSetAdapterSource(&NoAdapter);
    StartNet(CH_UDP, 9);
    ASSERT_TRUE(posts.WaitFor(1, 3000));
    EXPECT_EQ(posts.Posts()[0], (Posted{CONSOLE, RC_CONNECT_FAILED, CH_UDP}));
    EXPECT_EQ(job.nResult, UDP_NO_ADAPTER);
    ASSERT_TRUE(events.stopped.Wait(3000));
    const auto t0 = std::chrono::steady_clock::now();
    StopWorker(job, worker);
    EXPECT_LT(MsSince(t0), 1000); // already ended: no wait for a time-out
    EXPECT_FALSE(events.open.Wait(0));
    events.stopped.Set();

    posts.Clear();
    TcpPeer peer;
    bool bClosed = false;
    peer.Serve([&](int fd) {
        ReadBytes(fd, Request().size(), 3000);
        std::this_thread::sleep_for(std::chrono::milliseconds(400));
        WriteBytes(fd, REPLY);
        bClosed = PeerCloses(fd, 5000);
    });
    StartNet(CH_TCP, peer.Port());
    ASSERT_TRUE(posts.WaitFor(1, 3000));
    EXPECT_FALSE(posts.WaitFor(2, 200)) << "a job was run that the console never filed";

    File(OP_EXCHANGE, Request());
    ASSERT_TRUE(posts.WaitFor(2, 3000));
    StopWorker(job, worker);
    const Posts seen = posts.Posts();
    ASSERT_EQ(seen.size(), 3u);
    EXPECT_EQ(seen[1], (Posted{CONSOLE, RC_SENT, 0}));
    EXPECT_EQ(seen[2], (Posted{CONSOLE, RC_RECEIVED, long(REPLY.size())}));
    peer.Join();
    EXPECT_TRUE(bClosed);
}

TEST_F(WorkerTest, TcpConnectRefusedEndsTheWorker) {
    const int port = ClosedPort();
    StartNet(CH_TCP, port);
    ASSERT_TRUE(posts.WaitFor(1, 15000));
    EXPECT_EQ(posts.Posts()[0], (Posted{CONSOLE, RC_CONNECT_FAILED, CH_TCP}));
    EXPECT_EQ(job.nResult, RES_CONNECT_TIMEOUT);
    EXPECT_TRUE(events.stopped.Wait(3000));
}

TEST_F(WorkerTest, UdpBindExchangeAndRawReceive) {
    NetSetAdapterSource(&LoopbackAdapter);
    const int peerFd = BoundSocket(SOCK_DGRAM, 0);
    ASSERT_GE(peerFd, 0);

    std::vector<uint8_t> request;
    sockaddr_in workerAddr{};
    std::thread peer([&] {
        if (!WaitReadable(peerFd, 5000)) {
            return;
        }
        uint8_t b[600];
        socklen_t alen = sizeof(workerAddr);
        const ssize_t got =
            recvfrom(peerFd, b, sizeof(b), 0, reinterpret_cast<sockaddr*>(&workerAddr), &alen);
        request.assign(b, b + std::max<ssize_t>(got, 0));
        sendto(peerFd, REPLY.data(), REPLY.size(), 0, reinterpret_cast<sockaddr*>(&workerAddr),
               alen);
    });

    StartNet(CH_UDP, LocalPort(peerFd));
    ASSERT_TRUE(posts.WaitFor(1, 3000));
    EXPECT_EQ(posts.Posts()[0], (Posted{CONSOLE, RC_CONNECTED, CH_UDP}));
    File(OP_EXCHANGE, Request());
    ASSERT_TRUE(posts.WaitFor(3, 5000));
    peer.join();
    EXPECT_EQ(request, Request());
    EXPECT_EQ(posts.Posts()[1], (Posted{CONSOLE, RC_SENT, 0}));
    EXPECT_EQ(posts.Posts()[2], (Posted{CONSOLE, RC_RECEIVED, long(REPLY.size())}));
    EXPECT_EQ(Received(REPLY.size()), REPLY);

    const std::vector<uint8_t> raw = {'h', 'e', 'l', 'l', 'o'};
    sendto(peerFd, raw.data(), raw.size(), 0, reinterpret_cast<sockaddr*>(&workerAddr),
           sizeof(workerAddr));
    File(OP_RAW_RECEIVE);
    ASSERT_TRUE(posts.WaitFor(4, 3000));
    EXPECT_EQ(posts.Posts()[3], (Posted{CONSOLE, RC_RAW_RECEIVED, 5}));
    EXPECT_EQ(Received(5), raw);

    // Nothing arrives: the raw receive gives up, and the worker stays stoppable.
    const auto t0 = std::chrono::steady_clock::now();
    File(OP_RAW_RECEIVE);
    ASSERT_TRUE(posts.WaitFor(5, RAW_UDP_WAIT_MS + 3000));
    EXPECT_EQ(posts.Posts()[4], (Posted{CONSOLE, RC_RAW_RECEIVED, RES_UDP_RECV_FAILED}));
    EXPECT_GE(MsSince(t0), RAW_UDP_WAIT_MS - 50);
    StopWorker(job, worker);
    close(peerFd);
}

TEST_F(WorkerTest, SerialRawReceiveExchangeAndDownload) {
    PtyPort port(210);
    ASSERT_TRUE(port.IsOpen());
    job.nChannel = CH_SERIAL;
    job.nPort = 210;
    worker = StartWorker(job);

    File(OP_RAW_RECEIVE);
    ASSERT_TRUE(posts.WaitFor(1, 3000));
    EXPECT_EQ(posts.Posts()[0], (Posted{CONSOLE, RC_RAW_RECEIVED, 0}));

    const std::vector<uint8_t> raw = {1, 2, 3, 0xC2, 5};
    WriteBytes(port.Master(), raw);
    std::this_thread::sleep_for(std::chrono::milliseconds(50));
    File(OP_RAW_RECEIVE);
    ASSERT_TRUE(posts.WaitFor(2, 3000));
    EXPECT_EQ(posts.Posts()[1], (Posted{CONSOLE, RC_RAW_RECEIVED, 5}));
    EXPECT_EQ(Received(5), raw);

    std::vector<uint8_t> request;
    std::thread device([&] {
        request = ReadBytes(port.Master(), Request().size(), 3000);
        WriteBytes(port.Master(), REPLY);
    });
    events.done.Reset();
    File(OP_EXCHANGE, Request());
    ASSERT_TRUE(posts.WaitFor(4, 3000));
    device.join();
    EXPECT_EQ(request, Request());
    EXPECT_EQ(posts.Posts()[2], (Posted{CONSOLE, RC_SENT, 0}));
    EXPECT_EQ(posts.Posts()[3], (Posted{CONSOLE, RC_RECEIVED, long(REPLY.size())}));
    EXPECT_EQ(Received(REPLY.size()), REPLY);
    EXPECT_TRUE(events.done.Wait(1000)); // set just after the post

    // A download reports to its own window; a terminal that refuses the
    // start ends it with its status.
    std::thread terminal([&] {
        const std::vector<uint8_t> start = ReadBytes(port.Master(), 13, 3000);
        if (start.size() == 13 && start[1] == 7 && start[2] == 0xE7) {
            WriteBytes(port.Master(), REFUSAL);
        }
    });
    job.hNotifyWnd = LOAD_DLG;
    job.nMachineNo = 7;
    job.strFilePath = "/nonexistent/prog.bin";
    File(OP_DOWNLOAD);
    ASSERT_TRUE(posts.WaitFor(5, 10000));
    terminal.join();
    EXPECT_EQ(posts.Posts()[4], (Posted{LOAD_DLG, RC_DOWNLOAD_DONE, 0x33}));

    StopWorker(job, worker);
    const uint8_t b = 0;
    EXPECT_EQ(ComWrite(210, &b, 1), RES_SEND_FAILED) << "the worker left its port open";
}

int64_t ProcessCpuMs() {
    timespec ts;
    clock_gettime(CLOCK_PROCESS_CPUTIME_ID, &ts);
    return ts.tv_sec * 1000 + ts.tv_nsec / 1000000;
}

// A USB adapter pulled while the channel is open: the pty's master closes
// while the worker waits for the reply.
TEST_F(WorkerTest, SerialDeviceThatVanishesFailsReadThenSendAndStillCloses) {
    constexpr int COM = 211;
    PtyPair pty;
    ASSERT_TRUE(pty.Open());
    ComBindDevice(COM, pty.path.c_str());
    ASSERT_EQ(ComOpen(COM, ComBaudIndex(115200)), 0);
    job.nChannel = CH_SERIAL;
    job.nPort = COM;
    worker = StartWorker(job);

    std::thread device([&] {
        ReadBytes(pty.master, Request().size(), 3000);
        std::this_thread::sleep_for(std::chrono::milliseconds(100));
        pty.CloseMaster();
    });
    const int64_t cpu0 = ProcessCpuMs();
    const auto t0 = std::chrono::steady_clock::now();
    File(OP_EXCHANGE, Request()); // F 2000 ms
    ASSERT_TRUE(posts.WaitFor(2, 5000));
    const int64_t readMs = MsSince(t0);
    device.join();
    EXPECT_EQ(posts.Posts()[0], (Posted{CONSOLE, RC_SENT, 0}));
    EXPECT_EQ(posts.Posts()[1], (Posted{CONSOLE, RC_RECEIVED, RES_RECV_ERROR}));
    EXPECT_LT(readMs, 2000);

    File(OP_EXCHANGE, Request());
    ASSERT_TRUE(posts.WaitFor(3, 3000));
    EXPECT_EQ(posts.Posts()[2], (Posted{CONSOLE, RC_SENT, RES_SEND_FAILED}));
    EXPECT_FALSE(posts.WaitFor(4, 500));
    // The whole episode, idle half a second at its end, is no busy loop.
    EXPECT_LT(ProcessCpuMs() - cpu0, MsSince(t0) / 2);

    const auto t1 = std::chrono::steady_clock::now();
    StopWorker(job, worker);
    EXPECT_EQ(ComClose(COM), 0);
    EXPECT_LT(MsSince(t1), 1000);
    ComBindDevice(COM, "");
}

// The channel and port are the worker's from its start: a job record
// changed under it does not move it to another port.
TEST_F(WorkerTest, SerialWorkerKeepsThePortItStartedWith) {
    PtyPort first(212);
    PtyPort second(213);
    ASSERT_TRUE(first.IsOpen() && second.IsOpen());
    job.nChannel = CH_SERIAL;
    job.nPort = 212;
    worker = StartWorker(job);
    File(OP_EXCHANGE, Request(), true);
    ASSERT_TRUE(posts.WaitFor(1, 3000));
    EXPECT_EQ(ReadBytes(first.Master(), Request().size(), 1000), Request());
    job.nPort = 213;
    File(OP_EXCHANGE, Request(), true);
    ASSERT_TRUE(posts.WaitFor(2, 3000));
    EXPECT_EQ(posts.Posts()[1], (Posted{CONSOLE, RC_SENT, 0}));
    EXPECT_EQ(ReadBytes(first.Master(), Request().size(), 1000), Request());
    EXPECT_TRUE(ReadBytes(second.Master(), 1, 100).empty());
    StopWorker(job, worker);
    const uint8_t b = 0;
    EXPECT_EQ(ComWrite(212, &b, 1), RES_SEND_FAILED) << "the worker left its port open";
    EXPECT_EQ(ComWrite(213, &b, 1), RES_OK) << "the worker closed a port not its own";
}

// A terminal that stops reading: send-only jobs fill the line until one
// stalls; that one fails, and stopping the worker does not wait on the peer.
TEST_F(WorkerTest, TcpPeerThatStopsReadingFailsTheSendAndLetsTheWorkerStop) {
    TcpPeer peer;
    std::atomic<bool> bRelease{false};
    bool bReset = false;
    peer.Serve([&](int fd) {
        // A fault that blocked the worker for ever would hang the test:
        // after 15 s the peer closes, which frees a blocked send.
        for (int i = 0; i < 300 && !bRelease; ++i)
            std::this_thread::sleep_for(std::chrono::milliseconds(50));
        // What reached the peer, then the reset.
        uint8_t b[65536];
        ssize_t n = 1;
        pollfd p{fd, POLLIN, 0};
        while (n > 0 && poll(&p, 1, 3000) == 1)
            n = recv(fd, b, sizeof b, 0);
        bReset = n < 0 && errno == ECONNRESET;
    });
    StartNet(CH_TCP, peer.Port());
    ASSERT_TRUE(posts.WaitFor(1, 3000));
    ASSERT_EQ(posts.Posts()[0].code, RC_CONNECTED);

    const std::vector<uint8_t> frame(600, 0x5A);
    long sent = 0;
    int64_t stallMs = 0;
    for (size_t n = 2; sent == 0 && n < 100000; ++n) {
        const auto t0 = std::chrono::steady_clock::now();
        File(OP_EXCHANGE, frame, true);
        if (!posts.WaitFor(n, 20000))
            break;
        sent = posts.Posts()[n - 1].value;
        stallMs = MsSince(t0);
    }
    EXPECT_EQ(sent, RES_SEND_FAILED);
    EXPECT_GE(stallMs, 2000);
    EXPECT_LT(stallMs, 10000);

    const auto t1 = std::chrono::steady_clock::now();
    StopWorker(job, worker);
    EXPECT_LT(MsSince(t1), 1000);
    bRelease = true;
    peer.Join();
    EXPECT_TRUE(bReset);
}

struct RefusalCase {
    const char* name;
    int nOperation;
    bool bSendBuf;
    int nSendLen;
    bool bRecvBuf;
    int nRecvBufSize;
    Posts expect;
    bool bSends;
};

// A job whose buffers are missing or too small never reaches the channel
// with them.
TEST_F(WorkerTest, SerialJobsWithBadBuffersAreRefused) {
    PtyPort port(211);
    ASSERT_TRUE(port.IsOpen());
    job.nChannel = CH_SERIAL;
    job.nPort = 211;
    worker = StartWorker(job);
    const int n = static_cast<int>(Request().size());

    const std::vector<RefusalCase> cases = {
        {"no send buffer", OP_EXCHANGE, false, n, true, 600, {{CONSOLE, RC_SENT, -3}}, false},
        {"negative length", OP_EXCHANGE, true, -1, true, 600, {{CONSOLE, RC_SENT, -3}}, false},
        {"length beyond the buffer",
         OP_EXCHANGE,
         true,
         601,
         true,
         600,
         {{CONSOLE, RC_SENT, -3}},
         false},
        {"no receive buffer",
         OP_EXCHANGE,
         true,
         n,
         false,
         600,
         {{CONSOLE, RC_SENT, 0}, {CONSOLE, RC_RECEIVED, -2}},
         true},
        {"raw into a small buffer",
         OP_RAW_RECEIVE,
         true,
         0,
         true,
         RAW_RECV_MAX,
         {{CONSOLE, RC_RAW_RECEIVED, -2}},
         false},
    };
    for (const RefusalCase& c : cases) {
        SCOPED_TRACE(c.name);
        posts.Clear();
        events.done.Reset();
        std::memcpy(sendBuf, Request().data(), n);
        job.pSendBuf = c.bSendBuf ? sendBuf : nullptr;
        job.nSendBufSize = sizeof(sendBuf);
        job.nSendLen = c.nSendLen;
        job.pRecvBuf = c.bRecvBuf ? recvBuf : nullptr;
        job.nRecvBufSize = c.nRecvBufSize;
        job.nOperation = c.nOperation;
        job.bNoReceive = false;
        events.job.Set();
        ASSERT_TRUE(posts.WaitFor(c.expect.size(), 3000));
        EXPECT_FALSE(posts.WaitFor(c.expect.size() + 1, 100));
        EXPECT_EQ(posts.Posts(), c.expect);
        EXPECT_EQ(ReadBytes(port.Master(), n, 100).size(), c.bSends ? size_t(n) : 0u);
        EXPECT_EQ(events.done.Wait(0), c.bSends);
    }
}

TEST(ExchangeFrame, SendsAndReadsTheReplyIntoTheSameBuffer) {
    PtyPort port(212);
    ASSERT_TRUE(port.IsOpen());
    uint8_t buf[600] = {};
    const std::vector<uint8_t> request = Request();
    std::memcpy(buf, request.data(), request.size());
    std::vector<uint8_t> seen;
    std::thread device([&] {
        seen = ReadBytes(port.Master(), request.size(), 3000);
        WriteBytes(port.Master(), REPLY);
    });
    const int n = static_cast<int>(request.size());
    EXPECT_EQ(ExchangeFrame(212, buf, sizeof(buf), n, 2000, 500, CH_SERIAL, "", 0),
              int(REPLY.size()));
    device.join();
    EXPECT_EQ(seen, request);
    EXPECT_EQ(std::vector<uint8_t>(buf, buf + REPLY.size()), REPLY);

    EXPECT_EQ(ExchangeFrame(212, nullptr, 600, n, 100, 100, CH_SERIAL, "", 0), RES_SEND_FAILED);
    EXPECT_EQ(ExchangeFrame(212, buf, 4, n, 100, 100, CH_SERIAL, "", 0), RES_SEND_FAILED);
    EXPECT_EQ(ExchangeFrame(213, buf, 600, n, 100, 100, CH_SERIAL, "", 0), RES_SEND_FAILED);
    EXPECT_TRUE(ReadBytes(port.Master(), 1, 100).empty());
}

TEST(CEvent, ResetModesAndTimedWaits) {
    CEvent manual(true, false);
    EXPECT_FALSE(manual.Wait(0));
    manual.Set();
    EXPECT_TRUE(manual.Wait(0));
    EXPECT_TRUE(manual.Wait(0)) << "a manual event stays set";
    manual.Reset();
    EXPECT_FALSE(manual.Wait(20));

    CEvent automatic(false, true);
    EXPECT_TRUE(automatic.Wait(0));
    EXPECT_FALSE(automatic.Wait(0)) << "an auto event lets one wait through";

    std::thread setter([&] {
        std::this_thread::sleep_for(std::chrono::milliseconds(50));
        automatic.Set();
    });
    const auto t0 = std::chrono::steady_clock::now();
    EXPECT_TRUE(automatic.Wait());
    EXPECT_GE(MsSince(t0), 40);
    setter.join();
}

} // namespace
