// The simulator program end to end: started on free loopback ports, asked
// over plain sockets, stopped with SIGTERM.
#include <gtest/gtest.h>

#include <chrono>
#include <poll.h>
#include <string>
#include <sys/prctl.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>
#include <vector>

#include "FrameUtil.h"
#include "LoopbackPeer.h"
#include "PtyUtil.h"
#include "TempDir.h"
#include "protocol/Frame.h"
#include "sim/SimProcess.h"

namespace {

using Bytes = std::vector<uint8_t>;
using Clock = std::chrono::steady_clock;

// Reads until want bytes or 2 s; one recv per datagram.
Bytes Receive(int fd, size_t want) {
    Bytes got;
    const auto deadline = Clock::now() + std::chrono::seconds(2);
    while (got.size() < want && Clock::now() < deadline) {
        pollfd p{fd, POLLIN, 0};
        if (poll(&p, 1, 100) <= 0)
            continue;
        uint8_t buf[600];
        const ssize_t n = recv(fd, buf, sizeof buf, 0);
        if (n <= 0)
            break;
        got.insert(got.end(), buf, buf + n);
    }
    return got;
}

TEST(SimProgram, AnswersOverTcpAndUdpAndStopsOnSigterm) {
    TempDir dir;
    const auto counts = dir.path / "counts";
    SimProcess sim({"--tcp", "127.0.0.1:0", "--udp", "127.0.0.1:0", "--fault", "ack-split:E1",
                    "--ack-delay", "50", "--counts-file", counts.string()},
                   dir.path);
    const int tcpPort = sim.Port("tcp");
    const int udpPort = sim.Port("udp");
    ASSERT_GT(tcpPort, 0);
    ASSERT_GT(udpPort, 0);

    const int tcp = ConnectLoopback(tcpPort);
    ASSERT_GE(tcp, 0);
    const Bytes version = {0xC0, 0xFF, 0xE4, 0x00, 0x00, 0xC2, 0x8C, 0xC1};
    ASSERT_EQ(send(tcp, version.data(), version.size(), 0), 8);
    const Bytes expected = MakeReply(0xFF, 0, {3, 1, 0x24, 0x05, 0x17, 0x10});
    EXPECT_EQ(Receive(tcp, expected.size()), expected);
    close(tcp);

    // The acknowledgement comes as a datagram of its own.
    const int udp = socket(AF_INET, SOCK_DGRAM, 0);
    const sockaddr_in sa = Loopback(udpPort);
    const Bytes readerId = {0xC0, 0xFF, 0xE1, 0x00, 0x00, 0x29, 0x7C, 0xC1};
    ASSERT_EQ(sendto(udp, readerId.data(), readerId.size(), 0,
                     reinterpret_cast<const sockaddr*>(&sa), sizeof sa),
              8);
    EXPECT_EQ(Receive(udp, 9), Bytes(AckFrame, AckFrame + 9));
    EXPECT_EQ(Receive(udp, 1), MakeReply(0xFF, 0, {0x12, 0x34, 0x56, 0x78, 1}));
    close(udp);

    EXPECT_EQ(sim.Stop(), 0);
    const std::string log = sim.Log();
    EXPECT_NE(log.find("RX tcp C0 FF E4 00 00 C2 8C C1\n"), std::string::npos) << log;
    EXPECT_NE(log.find("TX tcp C2 FF 00 00 06 03 01 24 05 17 10"), std::string::npos) << log;
    EXPECT_NE(log.find("TX udp C2 FF AC 00 01 54 3C 51 C3\n"), std::string::npos) << log;
    // The totals it counted itself: the acknowledgement went as a frame apart.
    EXPECT_EQ(ReadFile(counts), "tcp 1 1\nudp 1 2\n");
}

TEST(SimProgram, RefusesBadArguments) {
    TempDir dir;
    SimProcess sim({"--tcp", "127.0.0.1:0", "--udp", "127.0.0.1:0", "--fault", "no-such-fault"},
                   dir.path);
    EXPECT_EQ(sim.Wait(), 2);
}

// The simulator on loopback TCP and UDP, ports chosen by the system.
std::vector<std::string> OnLoopback(std::vector<std::string> extra) {
    std::vector<std::string> args = {"--tcp", "127.0.0.1:0", "--udp", "127.0.0.1:0"};
    args.insert(args.end(), extra.begin(), extra.end());
    return args;
}

Bytes Request(uint8_t machine, uint8_t command, const Bytes& data = {}) {
    Bytes f(data.size() + FRAME_OVERHEAD);
    BuildFrame(machine, command, data.data(), static_cast<int>(data.size()), f.data());
    return f;
}

const Bytes VERSION_REPLY = MakeReply(0xFF, 0, {3, 1, 0x24, 0x05, 0x17, 0x10});

// Sends a request and returns the status byte of the reply, -1 for none.
int Status(int fd, const Bytes& request) {
    if (send(fd, request.data(), request.size(), MSG_NOSIGNAL) != ssize_t(request.size()))
        return -1;
    Bytes got = Receive(fd, 5);
    if (got.size() < 5)
        return -1;
    const size_t whole = (size_t(got[3]) << 8 | got[4]) + FRAME_OVERHEAD;
    if (got.size() < whole)
        got = Concat(got, Receive(fd, whole - got.size()));
    return got.size() == whole ? got[2] : -1;
}

TEST(SimProgram, HungUpDeviceIsClosedOnceAndCostsNoProcessorTime) {
    PtyPair pty;
    ASSERT_TRUE(pty.Open());
    // The simulator must not inherit the far end, or it never hangs up.
    fcntl(pty.master, F_SETFD, FD_CLOEXEC);
    fcntl(pty.slave, F_SETFD, FD_CLOEXEC);
    TempDir dir;
    SimProcess sim(OnLoopback({"--device", pty.path}), dir.path);
    const int tcpPort = sim.Port("tcp");
    ASSERT_GT(tcpPort, 0);
    pty.Write(Request(0xFF, 0xE4));
    EXPECT_EQ(pty.Read(VERSION_REPLY.size(), 3000), VERSION_REPLY);

    // The adapter is pulled: its far end goes away.
    pty.Close();
    ASSERT_TRUE(sim.WaitForLog("NOTE tty hang-up, line closed")) << sim.Log();
    const long before = sim.CpuTicks();
    std::this_thread::sleep_for(std::chrono::seconds(1));
    // A spinning loop burns every tick it is given; an idle one none.
    EXPECT_LE(sim.CpuTicks() - before, 5);

    // The other lines still answer.
    const int tcp = ConnectLoopback(tcpPort);
    ASSERT_GE(tcp, 0);
    EXPECT_EQ(Status(tcp, Request(0xFF, 0xE4)), 0);
    close(tcp);
    EXPECT_EQ(sim.Stop(), 0);
    const std::string log = sim.Log();
    EXPECT_EQ(log.find("hang-up"), log.rfind("hang-up")) << "logged once\n" << log;
}

TEST(SimProgram, ServesSeveralTcpClientsAtOnce) {
    TempDir dir;
    SimProcess sim(OnLoopback({"--frame-timeout", "200"}), dir.path);
    const int port = sim.Port("tcp");
    ASSERT_GT(port, 0);
    const int idle = ConnectLoopback(port);
    ASSERT_GE(idle, 0);
    // A console left connected with half a frame sent...
    const Bytes version = Request(0xFF, 0xE4);
    ASSERT_EQ(send(idle, version.data(), 4, 0), 4);
    // ...does not keep a second client waiting.
    const int other = ConnectLoopback(port);
    ASSERT_GE(other, 0);
    EXPECT_EQ(Status(other, version), 0);
    // The half frame is dropped after the frame time-out; its client stays.
    EXPECT_TRUE(sim.WaitForLog("DROP tcp C0 FF E4 00\n")) << sim.Log();
    EXPECT_EQ(Status(idle, version), 0);

    // One terminal behind both: a download interleaved from two clients is out of order.
    Bytes block(131);
    block[0] = 0;
    block[1] = 128;
    block[2] = 128;
    EXPECT_EQ(Status(idle, Request(1, 0xE7, {'L', 'o', 'a', 'd', 'P'})), 0);
    EXPECT_EQ(Status(idle, Request(1, 0x01, {1})), 0);
    EXPECT_EQ(Status(idle, Request(1, 0x03, block)), 0);
    EXPECT_EQ(Status(other, Request(1, 0x03, block)), 0x02);
    close(idle);
    close(other);
    EXPECT_EQ(sim.Stop(), 0);
}

TEST(SimProgram, AnswersWhenNobodyReadsItsLog) {
    int pipeFds[2];
    ASSERT_EQ(pipe(pipeFds), 0);
    // A small pipe fills after a few dozen lines.
    fcntl(pipeFds[1], F_SETPIPE_SZ, 4096);
    TempDir dir;
    SimProcess sim(OnLoopback({}), dir.path, pipeFds[1]);
    close(pipeFds[1]);
    const int port = sim.Port("tcp");
    ASSERT_GT(port, 0);
    const int tcp = ConnectLoopback(port);
    ASSERT_GE(tcp, 0);
    int answered = 0;
    while (answered < 300 && Status(tcp, Request(0xFF, 0xE4)) == 0)
        ++answered;
    EXPECT_EQ(answered, 300);

    // Read the log now: the start-up lines are there, then the count of the
    // lines dropped shows up with the next request.
    std::string log;
    const auto drain = [&](int waitMs) {
        char buf[4096];
        pollfd p{pipeFds[0], POLLIN, 0};
        while (poll(&p, 1, waitMs) == 1) {
            const ssize_t n = read(pipeFds[0], buf, sizeof buf);
            if (n <= 0)
                break;
            log.append(buf, static_cast<size_t>(n));
        }
    };
    drain(100);
    EXPECT_NE(log.find("LISTEN tcp 127.0.0.1:"), std::string::npos) << log;
    EXPECT_NE(log.find("READY\n"), std::string::npos) << log;
    EXPECT_EQ(Status(tcp, Request(0xFF, 0xE4)), 0);
    drain(500);
    EXPECT_NE(log.find(" lines dropped"), std::string::npos) << log;
    // Lines are whole or missing, never cut.
    std::istringstream lines(log);
    for (std::string line; std::getline(lines, line);)
        EXPECT_TRUE(line.rfind("RX ", 0) == 0 || line.rfind("TX ", 0) == 0 ||
                    line.rfind("NOTE ", 0) == 0 || line.rfind("LISTEN ", 0) == 0 ||
                    line.rfind("CONNECT ", 0) == 0 || line == "READY")
            << line;
    close(tcp);
    close(pipeFds[0]);
    EXPECT_EQ(sim.Stop(), 0);
}

TEST(SimProgram, UdpRequestBehindLongJunkIsAnswered) {
    TempDir dir;
    SimProcess sim(OnLoopback({}), dir.path);
    const int port = sim.Port("udp");
    ASSERT_GT(port, 0);
    const int udp = socket(AF_INET, SOCK_DGRAM, 0);
    const sockaddr_in sa = Loopback(port);
    for (size_t junk : {4000u, 60000u}) {
        SCOPED_TRACE(junk);
        const Bytes datagram = Concat(Bytes(junk, 0x55), Request(0xFF, 0xE4));
        ASSERT_EQ(sendto(udp, datagram.data(), datagram.size(), 0,
                         reinterpret_cast<const sockaddr*>(&sa), sizeof sa),
                  ssize_t(datagram.size()));
        EXPECT_EQ(Receive(udp, VERSION_REPLY.size()), VERSION_REPLY);
    }
    close(udp);
    EXPECT_EQ(sim.Stop(), 0);
}

// A test program killed outright runs no destructor: its simulator must end
// by itself. The simulator, orphaned, comes to this process (a subreaper)
// rather than to process 1, so that its end can be waited for here.
TEST(SimProgram, EndsWhenTheProgramThatStartedItIsKilled) {
    ASSERT_EQ(prctl(PR_SET_CHILD_SUBREAPER, 1), 0);
    TempDir dir;
    int report[2];
    ASSERT_EQ(pipe(report), 0);
    const pid_t launcher = fork();
    ASSERT_GE(launcher, 0);
    if (launcher == 0) {
        close(report[0]);
        SimProcess sim({"--tcp", "127.0.0.1:0", "--no-udp"}, dir.path);
        const pid_t simPid = sim.Port("tcp") > 0 ? sim.Pid() : -1;
        if (write(report[1], &simPid, sizeof simPid) != sizeof simPid)
            _exit(1);
        pause();
        _exit(0);
    }
    close(report[1]);
    pid_t simPid = -1;
    ASSERT_EQ(read(report[0], &simPid, sizeof simPid), static_cast<ssize_t>(sizeof simPid));
    close(report[0]);
    ASSERT_GT(simPid, 0) << "the simulator did not start";
    kill(launcher, SIGKILL);
    ASSERT_EQ(waitpid(launcher, nullptr, 0), launcher);

    // It ends at once; the bound only keeps a fault from hanging the test.
    int status = 0;
    pid_t ended = 0;
    const auto deadline = Clock::now() + std::chrono::seconds(10);
    while ((ended = waitpid(simPid, &status, WNOHANG)) == 0 && Clock::now() < deadline)
        usleep(10000);
    if (ended == 0) {
        kill(simPid, SIGKILL);
        waitpid(simPid, nullptr, 0);
    }
    prctl(PR_SET_CHILD_SUBREAPER, 0);
    ASSERT_EQ(ended, simPid) << "the simulator outlived the program that started it";
    EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << "status " << status;
}

} // namespace
