#include <gtest/gtest.h>

#include <arpa/inet.h>
#include <fcntl.h>
#include <net/if.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <sched.h>
#include <sys/ioctl.h>
#include <sys/resource.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <csignal>
#include <cstring>
#include <string>
#include <thread>
#include <vector>

#include "FdIo.h"
#include "FrameUtil.h"
#include "LoopbackPeer.h"
#include "NetTest.h"
#include "comm/Clock.h"
#include "comm/NetAddress.h"
#include "comm/NetDriver.h"

namespace {

// Every descriptor of the process taken while it lives.
class NoFreeDescriptors {
  public:
    NoFreeDescriptors() {
        getrlimit(RLIMIT_NOFILE, &m_old);
        rlimit low = m_old;
        low.rlim_cur = 64;
        setrlimit(RLIMIT_NOFILE, &low);
        for (int fd; (fd = open("/dev/null", O_RDONLY | O_CLOEXEC)) >= 0;)
            m_fds.push_back(fd);
    }
    ~NoFreeDescriptors() {
        for (int fd : m_fds)
            close(fd);
        setrlimit(RLIMIT_NOFILE, &m_old);
    }

  private:
    rlimit m_old{};
    std::vector<int> m_fds;
};

const Bytes REPLY = MakeReply(1, 0, {0x11, 0xC2, 0x33}); // 11 bytes

// ---------------------------------------------------------------- connect

// Every malformed form is refused: a slip must not reach another address.
TEST(ParseIpv4, AcceptsOnlyPlainDottedQuads) {
    struct Case {
        std::string text;
        bool ok;
        uint32_t ip;
    } cases[] = {
        {"127.0.0.1", true, 0x7F000001},
        {"0.0.0.0", true, 0},
        {"255.255.255.255", true, 0xFFFFFFFF},
        {"10.200.3.40", true, 0x0AC80328},
        {"", false, 0},
        {"1.2.3", false, 0},
        {"1.2.3.4.5", false, 0},
        {"1.2.3.256", false, 0},
        {"1.2.3.1000", false, 0},
        {"010.0.0.1", false, 0},
        {"127.0.0.01", false, 0},
        {"127.000.0.1", false, 0},
        {"1..2.3", false, 0},
        {"1.2.3.", false, 0},
        {".1.2.3", false, 0},
        {"1.2.3.-4", false, 0},
        {"1.2.3.+4", false, 0},
        {" 1.2.3.4", false, 0},
        {"1.2.3.4 ", false, 0},
        {"0x7f.0.0.1", false, 0},
        {"1.2.3.4:80", false, 0},
        {std::string("1.2.3.4\0", 8), false, 0},
    };
    for (const Case& c : cases) {
        uint32_t ip = 0xDEADBEEF;
        EXPECT_EQ(ParseIpv4(c.text, ip), c.ok) << '"' << c.text << '"';
        EXPECT_EQ(ip, c.ok ? c.ip : 0xDEADBEEF) << '"' << c.text << '"';
    }
}

TEST(ParseEndpoint, TakesAPortOfOneToFiveDigits) {
    struct Case {
        const char* text;
        bool ok;
        int port;
    } cases[] = {
        {"127.0.0.1:6688", true, 6688},
        {"127.0.0.1:0", true, 0}, // the caller decides whether any free port will do
        {"127.0.0.1:65535", true, 65535},
        {"127.0.0.1:08080", true, 8080},
        {"127.0.0.1:65536", false, 0},
        {"127.0.0.1:000080", false, 0},
        {"127.0.0.1:", false, 0},
        {"127.0.0.1", false, 0},
        {":80", false, 0},
        {"127.0.0.1::80", false, 0},
        {"127.0.0.1:-1", false, 0},
        {"127.0.0.1:+80", false, 0},
        {"127.0.0.1:80 ", false, 0},
        {"127.0.0.01:80", false, 0},
        {"localhost:80", false, 0},
        {"[::1]:80", false, 0},
    };
    for (const Case& c : cases) {
        std::string addr = "untouched";
        int port = -1;
        EXPECT_EQ(ParseEndpoint(c.text, addr, port), c.ok) << c.text;
        EXPECT_EQ(addr, c.ok ? "127.0.0.1" : "untouched") << c.text;
        EXPECT_EQ(port, c.ok ? c.port : -1) << c.text;
    }
}

TEST(TcpConnect, ConnectsAndSends) {
    const Bytes request = {0xC0, 0x01, 0x10, 0x00, 0x00, 0xC0, 0x09, 0xC1};
    const TcpListener listener(1);
    int sock = NO_SOCKET;
    ASSERT_EQ(TcpConnect("127.0.0.1", listener.port, 2000, sock), 0);
    int noDelay = 0;
    socklen_t len = sizeof noDelay;
    getsockopt(sock, IPPROTO_TCP, TCP_NODELAY, &noDelay, &len);
    EXPECT_NE(noDelay, 0);

    EXPECT_EQ(TcpSend(sock, request.data(), 0), 0);
    EXPECT_EQ(TcpSend(sock, request.data(), static_cast<int>(request.size())), 0);
    const int c = listener.Accept(2000);
    uint8_t got[16] = {};
    ASSERT_TRUE(WaitReadable(c, 2000));
    EXPECT_EQ(recv(c, got, sizeof got, 0), 8);
    EXPECT_EQ(Bytes(got, got + 8), request);

    EXPECT_EQ(TcpClose(sock), 0);
    close(c);
}

TEST(TcpSend, WholeBufferEvenOnNonBlockingSocket) {
    const TcpListener listener(1);
    int sock = NO_SOCKET;
    ASSERT_EQ(TcpConnect("127.0.0.1", listener.port, 2000, sock), 0);
    const int c = listener.Accept(2000);
    // Far more than the socket buffers hold, read slowly by the peer.
    const Bytes big(8 << 20, 0x5A);
    size_t received = 0;
    std::thread reader([c, &received, &big] {
        uint8_t chunk[65536];
        ssize_t n;
        while (received < big.size() && WaitReadable(c, 5000) &&
               (n = recv(c, chunk, sizeof chunk, 0)) > 0)
            received += static_cast<size_t>(n);
    });
    fcntl(sock, F_SETFL, fcntl(sock, F_GETFL) | O_NONBLOCK);
    EXPECT_EQ(TcpSend(sock, big.data(), static_cast<int>(big.size())), 0);
    reader.join();
    EXPECT_EQ(received, big.size());
    TcpClose(sock);
    close(c);
}

TEST(TcpConnect, BadAddressNeedsNoSocket) {
    const int port = ClosedPort();
    // With every descriptor taken, a bad address still gives -13: it is
    // refused before a socket is asked for.
    NoFreeDescriptors none;
    int sock = NO_SOCKET;
    for (const char* addr : {"10.0.0.300", "255.255.255.255", "abc", "", "1.2.3", "::1"})
        EXPECT_EQ(TcpConnect(addr, port, 300, sock), -13) << addr;
    EXPECT_EQ(TcpConnect(nullptr, port, 300, sock), -13);
    EXPECT_EQ(TcpConnect("127.0.0.1", 70000, 300, sock), -13);
    EXPECT_EQ(NetLastError(), 0) << "a bad address has no system reason";
    EXPECT_EQ(TcpConnect("127.0.0.1", port, 300, sock), -14);
    EXPECT_EQ(NetLastError(), EMFILE);
    EXPECT_EQ(UdpBind("127.0.0.1", 0, sock), -14);
    EXPECT_EQ(sock, NO_SOCKET);
}

TEST(TcpConnect, RefusedUntilTimeOutWithoutSpinning) {
    int sock = NO_SOCKET;
    const int64_t cpu0 = ThreadCpuMs();
    const int64_t t0 = NowMs();
    EXPECT_EQ(TcpConnect("127.0.0.1", ClosedPort(), 300, sock), -7);
    const int64_t took = NowMs() - t0;
    EXPECT_GE(took, 290);
    EXPECT_LT(took, 1500);
    EXPECT_LT(ThreadCpuMs() - cpu0, 100);
    EXPECT_EQ(NetLastError(), ECONNREFUSED);
    EXPECT_EQ(sock, NO_SOCKET);
}

// A cancel ends an attempt long before its time-out, whether it is being
// refused and retried or waits on a host that never answers.
TEST(TcpConnect, CancelEndsTheAttempt) {
    TcpListener silent(0);
    ASSERT_TRUE(silent.FillBacklog()) << "a full listen queue does not hold connects back here";
    for (const int port : {ClosedPort(), silent.port}) {
        SCOPED_TRACE(port);
        std::atomic<bool> cancel{false};
        std::thread canceller([&cancel] {
            std::this_thread::sleep_for(std::chrono::milliseconds(100));
            cancel = true;
        });
        int sock = NO_SOCKET;
        const int64_t t0 = NowMs();
        EXPECT_EQ(TcpConnect("127.0.0.1", port, 10000, sock, &cancel), -7);
        EXPECT_LT(NowMs() - t0, 3000);
        EXPECT_EQ(sock, NO_SOCKET);
        canceller.join();
    }
}

TEST(TcpConnect, RetriesUntilTheServerListens) {
    // Bound but not yet listening: connects are refused until listen().
    const int fd = BoundSocket(SOCK_STREAM, 0);
    const int port = LocalPort(fd);
    std::thread late([fd] {
        std::this_thread::sleep_for(std::chrono::milliseconds(200));
        listen(fd, 1);
        if (!WaitReadable(fd, 3000))
            return;
        // Hold the connection until the client closes it.
        const int c = accept(fd, nullptr, nullptr);
        uint8_t sink[16];
        while (WaitReadable(c, 3000) && recv(c, sink, sizeof sink, 0) > 0) {
        }
        close(c);
    });
    int sock = NO_SOCKET;
    const int64_t t0 = NowMs();
    EXPECT_EQ(TcpConnect("127.0.0.1", port, 3000, sock), 0);
    EXPECT_GE(NowMs() - t0, 150);
    if (sock != NO_SOCKET)
        TcpClose(sock);
    late.join();
    close(fd);
}

TEST(TcpConnect, HostThatNeverAnswersTimesOut) {
    // A listener that never accepts and whose queue is full drops every
    // further SYN, so a connect to it hangs.
    TcpListener silent(0);
    if (!silent.FillBacklog())
        GTEST_SKIP() << "a full listen queue does not hold connects back here";
    int sock = NO_SOCKET;
    const int64_t t0 = NowMs();
    EXPECT_EQ(TcpConnect("127.0.0.1", silent.port, 300, sock), -7);
    const int64_t took = NowMs() - t0;
    EXPECT_GE(took, 290);
    EXPECT_LT(took, 1500);
}

// ---------------------------------------------------------------- TCP reply

struct TcpCase {
    std::string name;
    std::vector<PeerStep> steps;
    int bufSize;
    int expected;
    Bytes reply; // expected at the buffer's start when accepted
};

// F = 500, I = 200.
std::vector<TcpCase> TcpCases() {
    const Bytes& r = REPLY;
    const Bytes ack = AckBytes();
    const Bytes big = MakeReply(1, 0, Bytes(600, 0x5A));
    return {
        {"whole reply", {{0, r}}, 600, 11, r},
        {"acknowledgement first", {{0, ack}, {30, r}}, 600, 11, r},
        {"acknowledgement and reply together", {{0, Concat(ack, r)}}, 600, 11, r},
        {"garbage before start byte", {{0, {0x00, 0xC3, 0x55}}, {20, r}}, 600, 11, r},
        {"bytes split across reads",
         {{0, Head(r, 3)}, {20, Mid(r, 3, 6)}, {20, Tail(r, 6)}},
         600,
         11,
         r},
        {"start byte after I but within F", {{350, r}}, 600, 11, r},
        {"start byte after F", {{700, r}}, 600, -6, {}},
        {"late body byte", {{0, Head(r, 6)}, {300, Tail(r, 6)}}, 600, -4, {}},
        // Each gap is within I, but header and body share one window.
        {"header and body over one window",
         {{0, Head(r, 3)}, {130, Mid(r, 3, 5)}, {130, Tail(r, 5)}},
         600,
         -4,
         {}},
        {"bad checksum low byte", {{0, WithByte(r, 9, r[9] ^ 1)}}, 600, -9, {}},
        {"bad end byte", {{0, WithByte(r, 10, 0xC1)}}, 600, -10, {}},
        {"announced length beyond the buffer", {{0, big}}, 600, -2, {}},
        {"reply fills the buffer but its zero byte", {{0, r}}, 11, -2, {}},
        {"reply and zero byte fit exactly", {{0, r}}, 12, 11, r},
        {"peer closes", {{50, {}, PeerAct::Close}}, 600, -15, {}},
        {"peer closes within the frame", {{0, Head(r, 3)}, {30, {}, PeerAct::Close}}, 600, -15, {}},
        {"peer resets", {{50, {}, PeerAct::Reset}}, 600, -16, {}},
    };
}

TEST(TcpRecvFrame, ScriptedPeerCases) {
    for (const auto& c : TcpCases()) {
        ScriptedPeer peer(c.steps);
        const int sock = ConnectTo(peer.Port());
        std::vector<uint8_t> buf(c.bufSize, 0xEE);
        const int rc = TcpRecvFrame(sock, 500, 200, buf.data(), c.bufSize);
        EXPECT_EQ(rc, c.expected) << c.name;
        if (rc > 0) {
            EXPECT_EQ(Head(buf, rc), c.reply) << c.name;
            EXPECT_EQ(buf[rc], 0) << c.name;
        }
        TcpClose(sock);
    }
}

// ---------------------------------------------------------------- TCP raw, send, close

TEST(TcpRecvRaw, NothingDataCloseAndReset) {
    struct Case {
        std::string name;
        std::vector<PeerStep> steps;
        int expected;
    };
    const std::vector<Case> cases = {
        {"nothing waiting", {}, 0},
        {"bytes waiting", {{0, {0x41, 0x42, 0x43}}}, 3},
        {"peer closed", {{0, {}, PeerAct::Close}}, -15},
        {"peer reset", {{0, {}, PeerAct::Reset}}, -16},
    };
    for (const auto& c : cases) {
        ScriptedPeer peer(c.steps);
        const int sock = ConnectTo(peer.Port());
        if (!c.steps.empty())
            WaitReadable(sock, 2000);
        uint8_t buf[513];
        std::memset(buf, 0xEE, sizeof buf);
        const int64_t t0 = NowMs();
        const int rc = TcpRecvRaw(sock, buf, 512);
        EXPECT_LT(NowMs() - t0, 500) << c.name; // no wait, however loaded the machine
        EXPECT_EQ(rc, c.expected) << c.name;
        if (rc >= 0) {
            EXPECT_EQ(buf[rc], 0) << c.name;
        }
        TcpClose(sock);
    }
}

// What arrived behind a frame in the same receive stays the socket's: the
// next frame read and raw receive take it before anything new.
TEST(TcpRecvFrame, BytesPastAFrameAreTheNextReadsFirst) {
    const Bytes second = MakeReply(2, 0, {0x44});
    const Bytes all = Concat(Concat(REPLY, second), {0x41, 0x42, 0x43});
    ScriptedPeer peer({{0, all}});
    const int sock = ConnectTo(peer.Port());
    ASSERT_TRUE(WaitQueued(sock, static_cast<int>(all.size()), 2000));
    uint8_t buf[600];
    ASSERT_EQ(TcpRecvFrame(sock, 1000, 500, buf, 600), 11);
    EXPECT_EQ(Queued(sock), 0) << "one receive takes all that waits";
    EXPECT_EQ(Bytes(buf, buf + 11), REPLY);
    ASSERT_EQ(TcpRecvFrame(sock, 1000, 500, buf, 600), 9);
    EXPECT_EQ(Bytes(buf, buf + 9), second);
    ASSERT_EQ(TcpRecvRaw(sock, buf, 2), 2);
    EXPECT_EQ(Bytes(buf, buf + 3), Bytes({0x41, 0x42, 0x00}));
    ASSERT_EQ(TcpRecvRaw(sock, buf, 512), 1);
    EXPECT_EQ(Bytes(buf, buf + 2), Bytes({0x43, 0x00}));
    EXPECT_EQ(TcpRecvRaw(sock, buf, 512), 0);
    TcpClose(sock);
}

// A socket closed without TcpClose leaves its number to the next connect,
// which starts with nothing read ahead.
TEST(TcpConnect, AReusedDescriptorStartsWithNothingReadAhead) {
    const Bytes more = Concat(REPLY, {0x41});
    ScriptedPeer first({{0, more}});
    ScriptedPeer next({});
    const int old = ConnectTo(first.Port());
    ASSERT_TRUE(WaitQueued(old, static_cast<int>(more.size()), 2000));
    uint8_t buf[600];
    ASSERT_EQ(TcpRecvFrame(old, 1000, 500, buf, 600), 11);
    close(old);
    const int again = ConnectTo(next.Port());
    ASSERT_EQ(again, old);
    EXPECT_EQ(TcpRecvRaw(again, buf, 512), 0);
    TcpClose(again);
}

TEST(TcpSend, ResetPeerGivesLostWithoutSigpipe) {
    ScriptedPeer peer({{0, {}, PeerAct::Reset}});
    const int sock = ConnectTo(peer.Port());
    WaitReadable(sock, 2000);

    // With SIGPIPE blocked, a send that raised it would leave it pending.
    sigset_t pipe, old, pending;
    sigemptyset(&pipe);
    sigaddset(&pipe, SIGPIPE);
    pthread_sigmask(SIG_BLOCK, &pipe, &old);
    const uint8_t data[8] = {};
    // The first send meets the reset; the later ones a connection gone (EPIPE).
    const ResultCode first = TcpSend(sock, data, sizeof data);
    const ResultCode second = TcpSend(sock, data, sizeof data);
    const ResultCode third = TcpSend(sock, data, sizeof data);
    sigpending(&pending);
    const bool bRaised = sigismember(&pending, SIGPIPE) == 1;
    if (bRaised) {
        const timespec now{};
        sigtimedwait(&pipe, nullptr, &now);
    }
    pthread_sigmask(SIG_SETMASK, &old, nullptr);

    EXPECT_TRUE(first == -16 || first == -3) << first;
    EXPECT_EQ(second, -16);
    EXPECT_EQ(third, -16);
    EXPECT_FALSE(bRaised);
    TcpClose(sock);
}

TEST(TcpSend, PeerThatStopsReadingFailsTheSendAndTheConnection) {
    const TcpListener listener(1);
    int sock = NO_SOCKET;
    ASSERT_EQ(TcpConnect("127.0.0.1", listener.port, 2000, sock), 0);
    const int c = listener.Accept(2000);
    // Two replies in one receive: the second is read ahead.
    const Bytes more = Concat(REPLY, REPLY);
    WriteBytes(c, more);
    ASSERT_TRUE(WaitQueued(sock, static_cast<int>(more.size()), 2000));
    uint8_t buf[64];
    ASSERT_EQ(TcpRecvFrame(sock, 1000, 500, buf, sizeof buf), 11);
    // A blocking send would wait for ever; the guard resets the peer so that
    // such a fault fails the test instead of hanging it.
    std::atomic<bool> done{false};
    std::atomic<bool> fired{false};
    std::thread guard([&] {
        for (int i = 0; i < 200 && !done; ++i)
            std::this_thread::sleep_for(std::chrono::milliseconds(50));
        if (!done) {
            fired = true;
            ResetOnClose(c);
            close(c);
        }
    });
    const Bytes big(8 << 20, 0x5A);
    const int64_t t0 = NowMs();
    const ResultCode rc = TcpSend(sock, big.data(), static_cast<int>(big.size()));
    const int64_t ms = NowMs() - t0;
    done = true;
    guard.join();
    ASSERT_FALSE(fired) << "the send blocked until the peer went away";
    EXPECT_EQ(rc, -3);
    EXPECT_GE(ms, 2000);
    EXPECT_LT(ms, 8000);

    // Part of a frame went out: the connection is not used as if whole, nor
    // what was read ahead on it.
    const int64_t t1 = NowMs();
    EXPECT_EQ(TcpRecvFrame(sock, 3000, 1000, buf, sizeof buf), -16);
    EXPECT_LT(NowMs() - t1, 1000);
    EXPECT_EQ(TcpSend(sock, big.data(), 8), -16);
    // The peer learns of it after what had reached it.
    ssize_t n = 0;
    while (WaitReadable(c, 2000) && (n = recv(c, buf, sizeof buf, MSG_DONTWAIT)) > 0) {
    }
    EXPECT_LE(n, 0);
    TcpClose(sock);
    close(c);
}

TEST(NetClose, ClosedAndMissingSockets) {
    EXPECT_EQ(TcpClose(NO_SOCKET), -8);
    EXPECT_EQ(UdpClose(NO_SOCKET), 0);
    EXPECT_EQ(UdpClose(1 << 20), -12);
    int sock = NO_SOCKET;
    ASSERT_EQ(UdpBind("127.0.0.1", 0, sock), 0);
    EXPECT_EQ(UdpClose(sock), 0);
    EXPECT_EQ(NetStartup(), 0);
    EXPECT_EQ(NetCleanup(), 0);
}

// ---------------------------------------------------------------- UDP

TEST_F(Udp, RecvFrameCases) {
    struct Case {
        std::string name;
        std::vector<Bytes> datagrams; // all waiting before the receive
        int expected;
    };
    const Bytes ack = AckBytes();
    const Bytes d7(7, 0x07), d8(8, 0x08), d5(5, 0x05);
    const std::vector<Case> cases = {
        {"8 bytes returned at once", {d8, d5}, 8},
        {"7 bytes take the next datagram", {d7, d5}, 12},
        {"7 bytes with nothing behind", {d7}, -4},
        {"empty datagram takes the next", {{}, d8}, 8},
        {"acknowledgement then waiting reply", {ack, REPLY}, 20},
        {"acknowledgement alone", {ack}, -4},
        {"acknowledgement and reply in one datagram", {Concat(ack, REPLY), d5}, 20},
        {"acknowledgement with 7 bytes behind", {Concat(ack, d7), d5}, 21},
        {"longer than 512 bytes", {Bytes(600, 0x66)}, 512},
        {"nothing", {}, -4},
    };
    for (const auto& c : cases) {
        Bytes all;
        for (const auto& d : c.datagrams) {
            PeerSend(d);
            all = Concat(all, d);
        }
        uint8_t buf[600];
        testing::internal::CaptureStderr();
        const int rc = UdpRecvFrame(m_sock, 100, 50, buf, 528);
        const std::string trace = testing::internal::GetCapturedStderr();
        EXPECT_EQ(rc, c.expected) << c.name;
        if (rc > 0) {
            EXPECT_EQ(Bytes(buf, buf + rc), Head(all, rc)) << c.name;
        }
        EXPECT_EQ(trace, rc < 0 ? "WSAGetLastError=" + std::to_string(EAGAIN) + "\n" : "")
            << c.name;
        Drain();
    }
}

// A datagram is read whole and alone: bytes behind a frame in it are part of
// the reply, and the next datagram waits untouched in the socket.
TEST_F(Udp, ADatagramIsTheReplyAndNothingIsReadAhead) {
    const Bytes longer = Concat(REPLY, {0x41, 0x42});
    PeerSend(longer);
    PeerSend(REPLY);
    uint8_t buf[600];
    ASSERT_EQ(UdpRecvFrame(m_sock, 1000, 500, buf, 528), 13);
    EXPECT_EQ(Bytes(buf, buf + 13), longer);
    ASSERT_EQ(UdpRecvRaw(m_sock, buf, 512, 1000), 11);
    EXPECT_EQ(Bytes(buf, buf + 11), REPLY);
    EXPECT_EQ(UdpRecvRaw(m_sock, buf, 512, 0), -4);
}

TEST_F(Udp, RecvFrameTimesOutAfterFPlusI) {
    uint8_t buf[528];
    testing::internal::CaptureStderr();
    const int64_t t0 = NowMs();
    const int rc = UdpRecvFrame(m_sock, 200, 100, buf, sizeof buf);
    const int64_t took = NowMs() - t0;
    testing::internal::GetCapturedStderr();
    EXPECT_EQ(rc, -4);
    EXPECT_GE(took, 280);
    EXPECT_LT(took, 1500);
}

TEST_F(Udp, SmallBufferBoundsTheReads) {
    PeerSend(Bytes(5, 0x05));
    PeerSend(Bytes(20, 0x20));
    uint8_t buf[16];
    std::memset(buf, 0xEE, sizeof buf);
    EXPECT_EQ(UdpRecvFrame(m_sock, 100, 50, buf, 12), 12);
    EXPECT_EQ(buf[12], 0xEE);
}

TEST_F(Udp, SendToCountZeroSendsNothing) {
    const int port = LocalPort(m_peer);
    const Bytes ab = {0x41, 0x42};
    EXPECT_EQ(UdpSendTo(m_sock, "127.0.0.1", port, ab.data(), 0), 0);
    EXPECT_EQ(UdpSendTo(m_sock, "127.0.0.1", port, ab.data(), 2), 0);
    uint8_t got[16];
    ASSERT_TRUE(WaitReadable(m_peer, 2000));
    EXPECT_EQ(recv(m_peer, got, sizeof got, 0), 2); // the empty send left nothing ahead
    EXPECT_EQ(recv(m_peer, got, sizeof got, MSG_DONTWAIT), -1);

    for (const char* bad : {"10.0.0.300", "abc", "255.255.255.255"})
        EXPECT_EQ(UdpSendTo(m_sock, bad, port, ab.data(), 2), -3) << bad;
    EXPECT_EQ(UdpSendTo(m_sock, "127.0.0.1", 70000, ab.data(), 2), -3);
}

TEST_F(Udp, RecvRawWaitsBounded) {
    uint8_t buf[513];
    const int64_t t0 = NowMs();
    EXPECT_EQ(UdpRecvRaw(m_sock, buf, 512, 200), -4);
    EXPECT_GE(NowMs() - t0, 190);

    std::thread later([this] {
        std::this_thread::sleep_for(std::chrono::milliseconds(50));
        PeerSend({1, 2, 3});
    });
    EXPECT_EQ(UdpRecvRaw(m_sock, buf, 512, 3000), 3);
    later.join();
    EXPECT_EQ(Bytes(buf, buf + 3), Bytes({1, 2, 3}));
}

TEST(UdpBind, PortInUseGivesErrno) {
    int a = NO_SOCKET, b = NO_SOCKET;
    ASSERT_EQ(UdpBind("127.0.0.1", 0, a), 0);
    EXPECT_EQ(UdpBind("127.0.0.1", LocalPort(a), b), EADDRINUSE);
    EXPECT_EQ(b, NO_SOCKET);
    EXPECT_GT(UdpBind("abc", 0, b), 0);
    UdpClose(a);
}

// ---------------------------------------------------------------- UdpOpen

const NetAdapter LOOP_ETHER{"eth-lo", true, true, "127.0.0.1"};

struct OpenCase {
    std::string name;
    NetAdapterSource source;
    int expected;
    int error = 0; // NetLastError afterwards
};

std::vector<OpenCase> OpenCases() {
    return {
        {"list cannot be read", [](std::vector<NetAdapter>&) { return false; }, -3},
        {"no adapter",
         [](std::vector<NetAdapter>& out) {
             out.clear();
             return true;
         },
         -3},
        {"no Ethernet adapter",
         [](std::vector<NetAdapter>& out) {
             out = {{"ppp0", false, true, "10.64.0.2"}};
             return true;
         },
         -1},
        {"Ethernet down or without address",
         [](std::vector<NetAdapter>& out) {
             out = {{"ifb0", true, false, ""},
                    {"eth1", true, true, ""},
                    {"eth2", true, false, "127.0.0.1"}};
             return true;
         },
         -1},
        {"first usable Ethernet adapter",
         [](std::vector<NetAdapter>& out) {
             out = {{"lo", false, true, "127.0.0.2"}, {"ifb0", true, false, ""}, LOOP_ETHER};
             return true;
         },
         0},
        {"address that cannot be bound",
         [](std::vector<NetAdapter>& out) {
             out = {{"eth0", true, true, "not-an-address"}};
             return true;
         },
         -2, EINVAL},
        {"address of no interface here",
         [](std::vector<NetAdapter>& out) {
             out = {{"eth0", true, true, "203.0.113.9"}};
             return true;
         },
         -2, EADDRNOTAVAIL},
    };
}

TEST(UdpOpen, AdapterCases) {
    for (const auto& c : OpenCases()) {
        NetSetAdapterSource(c.source);
        int sock = NO_SOCKET;
        EXPECT_EQ(UdpOpen(sock), c.expected) << c.name;
        EXPECT_EQ(NetLastError(), c.error) << c.name;
        if (c.expected == 0) {
            sockaddr_in sa{};
            socklen_t len = sizeof sa;
            getsockname(sock, reinterpret_cast<sockaddr*>(&sa), &len);
            const int port = ntohs(sa.sin_port);
            EXPECT_EQ(sa.sin_addr.s_addr, htonl(INADDR_LOOPBACK)) << c.name;
            EXPECT_TRUE(port >= 6000 && port <= 10000 && port % 10 == 0) << port;
            UdpClose(sock);
        } else {
            EXPECT_EQ(sock, NO_SOCKET) << c.name;
        }
    }
    NetSetAdapterSource(nullptr);
}

TEST(UdpOpen, PortInUseMovesToNext) {
    // Other test programs bind ports of the same range at the same time, so
    // the first socket takes whatever port is free and the second must land
    // on a later one of the same step while the first still holds its own.
    NetSetAdapterSource([](std::vector<NetAdapter>& out) {
        out = {LOOP_ETHER};
        return true;
    });
    int first = NO_SOCKET;
    int second = NO_SOCKET;
    ASSERT_EQ(UdpOpen(first), 0);
    ASSERT_EQ(UdpOpen(second), 0);
    EXPECT_EQ(NetLastError(), 0) << "the taken port passed over is no failure";
    const int held = LocalPort(first);
    const int next = LocalPort(second);
    EXPECT_GT(next, held);
    EXPECT_EQ((next - held) % 10, 0) << held << " " << next;
    UdpClose(second);
    UdpClose(first);
    NetSetAdapterSource(nullptr);
}

TEST(NetListAdapters, LeavesLoopbackOut) {
    std::vector<NetAdapter> list;
    ASSERT_TRUE(NetListAdapters(list));
    for (const NetAdapter& a : list) {
        EXPECT_NE(a.name, "lo");
        EXPECT_NE(a.ipv4.rfind("127.", 0), 0u) << a.name;
    }
}

// A machine whose only interface is loopback, up with 127.0.0.1: a network
// namespace of its own, in a child so that the test process keeps its own.
TEST(UdpOpen, LoopbackOnlyMachineHasNoAdapter) {
    const pid_t pid = fork();
    if (pid == 0) {
        if (unshare(CLONE_NEWNET) != 0)
            _exit(100);
        const int fd = socket(AF_INET, SOCK_DGRAM, 0);
        ifreq ifr{};
        std::strcpy(ifr.ifr_name, "lo");
        if (ioctl(fd, SIOCGIFFLAGS, &ifr) != 0)
            _exit(101);
        ifr.ifr_flags = static_cast<short>(ifr.ifr_flags | IFF_UP);
        if (ioctl(fd, SIOCSIFFLAGS, &ifr) != 0)
            _exit(101);
        close(fd);
        int sock = NO_SOCKET;
        const int rc = UdpOpen(sock);
        _exit(rc < 0 ? -rc : 50);
    }
    int status = 0;
    ASSERT_EQ(waitpid(pid, &status, 0), pid);
    ASSERT_TRUE(WIFEXITED(status));
    if (WEXITSTATUS(status) == 100)
        GTEST_SKIP() << "no network namespace for this user";
    EXPECT_EQ(WEXITSTATUS(status), 3) << "UdpOpen gave -status, 50 for success";
}

} // namespace
