// The simulator program end to end: started on free loopback ports, asked
// over plain sockets, stopped with SIGTERM.
#include <gtest/gtest.h>

#include <arpa/inet.h>
#include <chrono>
#include <csignal>
#include <fcntl.h>
#include <fstream>
#include <netinet/in.h>
#include <poll.h>
#include <spawn.h>
#include <sstream>
#include <string>
#include <sys/socket.h>
#include <sys/wait.h>
#include <thread>
#include <unistd.h>
#include <vector>

#include "FrameUtil.h"
#include "PtyUtil.h"
#include "protocol/Frame.h"

namespace {

using Bytes = std::vector<uint8_t>;
using Clock = std::chrono::steady_clock;

std::string ProgramDir() {
    char path[4096] = {};
    const ssize_t n = readlink("/proc/self/exe", path, sizeof path - 1);
    std::string s(path, n > 0 ? static_cast<size_t>(n) : 0);
    return s.substr(0, s.rfind('/'));
}

std::string ReadFile(const std::string& path) {
    std::ifstream in(path);
    std::stringstream ss;
    ss << in.rdbuf();
    return ss.str();
}

class SimProcess {
  public:
    // stdoutFd: where the log goes instead of the log file (-1: the file).
    explicit SimProcess(std::vector<std::string> extra, int stdoutFd = -1) {
        const std::string base = ::testing::TempDir() + "sim_smoke_" + std::to_string(getpid());
        m_portFile = base + ".ports";
        m_logFile = base + ".log";
        std::remove(m_portFile.c_str());
        std::vector<std::string> args = {ProgramDir() + "/quillmark-sim",
                                         "--tcp",
                                         "127.0.0.1:0",
                                         "--udp",
                                         "127.0.0.1:0",
                                         "--port-file",
                                         m_portFile};
        args.insert(args.end(), extra.begin(), extra.end());
        std::vector<char*> argv;
        for (std::string& a : args)
            argv.push_back(a.data());
        argv.push_back(nullptr);
        posix_spawn_file_actions_t fa;
        posix_spawn_file_actions_init(&fa);
        if (stdoutFd >= 0)
            posix_spawn_file_actions_adddup2(&fa, stdoutFd, 1);
        else
            posix_spawn_file_actions_addopen(&fa, 1, m_logFile.c_str(),
                                             O_WRONLY | O_CREAT | O_TRUNC, 0600);
        if (posix_spawn(&m_pid, argv[0], &fa, nullptr, argv.data(), environ) != 0)
            m_pid = -1;
        posix_spawn_file_actions_destroy(&fa);
    }

    ~SimProcess() {
        if (m_pid > 0) {
            kill(m_pid, SIGKILL);
            waitpid(m_pid, nullptr, 0);
        }
        std::remove(m_portFile.c_str());
        std::remove(m_logFile.c_str());
    }

    // The port of "tcp" or "udp" from the port file, waiting up to 5 s for it.
    int Port(const std::string& kind) {
        const auto deadline = Clock::now() + std::chrono::seconds(5);
        while (Clock::now() < deadline && m_pid > 0) {
            std::istringstream in(ReadFile(m_portFile));
            std::string k;
            int port = 0;
            while (in >> k >> port)
                if (k == kind)
                    return port;
            std::this_thread::sleep_for(std::chrono::milliseconds(20));
        }
        return -1;
    }

    // Sends SIGTERM and waits.
    int Stop() {
        kill(m_pid, SIGTERM);
        return Wait();
    }

    // The exit status, or -1 when it did not exit within 3 s.
    int Wait() {
        const auto deadline = Clock::now() + std::chrono::seconds(3);
        while (Clock::now() < deadline) {
            int status = 0;
            if (waitpid(m_pid, &status, WNOHANG) == m_pid) {
                m_pid = -1;
                return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
            }
            std::this_thread::sleep_for(std::chrono::milliseconds(10));
        }
        return -1;
    }

    std::string Log() const { return ReadFile(m_logFile); }

    // Processor time used so far (user + system), in clock ticks.
    long CpuTicks() const {
        std::istringstream in(ReadFile("/proc/" + std::to_string(m_pid) + "/stat"));
        std::string field;
        // Fields 14 and 15; the command in field 2 has no spaces here.
        for (int i = 1; i < 14 && in >> field; ++i) {
        }
        long user = 0;
        long system = 0;
        in >> user >> system;
        return user + system;
    }

    // Waits up to 5 s for text to appear in the log file.
    bool WaitForLog(const std::string& text) const {
        const auto deadline = Clock::now() + std::chrono::seconds(5);
        while (Clock::now() < deadline) {
            if (Log().find(text) != std::string::npos)
                return true;
            std::this_thread::sleep_for(std::chrono::milliseconds(20));
        }
        return false;
    }

  private:
    pid_t m_pid = -1;
    std::string m_portFile;
    std::string m_logFile;
};

sockaddr_in Loopback(int port) {
    sockaddr_in sa{};
    sa.sin_family = AF_INET;
    sa.sin_port = htons(static_cast<uint16_t>(port));
    sa.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    return sa;
}

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
    SimProcess sim({"--fault", "ack-split:E1", "--ack-delay", "50"});
    const int tcpPort = sim.Port("tcp");
    const int udpPort = sim.Port("udp");
    ASSERT_GT(tcpPort, 0);
    ASSERT_GT(udpPort, 0);

    const int tcp = socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in sa = Loopback(tcpPort);
    ASSERT_EQ(connect(tcp, reinterpret_cast<sockaddr*>(&sa), sizeof sa), 0);
    const Bytes version = {0xC0, 0xFF, 0xE4, 0x00, 0x00, 0xC2, 0x8C, 0xC1};
    ASSERT_EQ(send(tcp, version.data(), version.size(), 0), 8);
    const Bytes expected = MakeReply(0xFF, 0, {3, 1, 0x24, 0x05, 0x17, 0x10});
    EXPECT_EQ(Receive(tcp, expected.size()), expected);
    close(tcp);

    // The acknowledgement comes as a datagram of its own.
    const int udp = socket(AF_INET, SOCK_DGRAM, 0);
    sa = Loopback(udpPort);
    const Bytes readerId = {0xC0, 0xFF, 0xE1, 0x00, 0x00, 0x29, 0x7C, 0xC1};
    ASSERT_EQ(sendto(udp, readerId.data(), readerId.size(), 0, reinterpret_cast<sockaddr*>(&sa),
                     sizeof sa),
              8);
    EXPECT_EQ(Receive(udp, 9), Bytes(AckFrame, AckFrame + 9));
    EXPECT_EQ(Receive(udp, 1), MakeReply(0xFF, 0, {0x12, 0x34, 0x56, 0x78, 1}));
    close(udp);

    EXPECT_EQ(sim.Stop(), 0);
    const std::string log = sim.Log();
    EXPECT_NE(log.find("RX tcp C0 FF E4 00 00 C2 8C C1\n"), std::string::npos) << log;
    EXPECT_NE(log.find("TX tcp C2 FF 00 00 06 03 01 24 05 17 10"), std::string::npos) << log;
    EXPECT_NE(log.find("TX udp C2 FF AC 00 01 54 3C 51 C3\n"), std::string::npos) << log;
}

TEST(SimProgram, RefusesBadArguments) {
    SimProcess sim({"--fault", "no-such-fault"});
    EXPECT_EQ(sim.Wait(), 2);
}

Bytes Request(uint8_t machine, uint8_t command, const Bytes& data = {}) {
    Bytes f(data.size() + FRAME_OVERHEAD);
    BuildFrame(machine, command, data.data(), static_cast<int>(data.size()), f.data());
    return f;
}

const Bytes kVersionReply = MakeReply(0xFF, 0, {3, 1, 0x24, 0x05, 0x17, 0x10});

int ConnectTcp(int port) {
    const int fd = socket(AF_INET, SOCK_STREAM, 0);
    const sockaddr_in sa = Loopback(port);
    if (connect(fd, reinterpret_cast<const sockaddr*>(&sa), sizeof sa) != 0) {
        close(fd);
        return -1;
    }
    return fd;
}

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
    SimProcess sim({"--device", pty.path});
    const int tcpPort = sim.Port("tcp");
    ASSERT_GT(tcpPort, 0);
    pty.Write(Request(0xFF, 0xE4));
    EXPECT_EQ(pty.Read(kVersionReply.size(), 3000), kVersionReply);

    // The adapter is pulled: its far end goes away.
    pty.Close();
    ASSERT_TRUE(sim.WaitForLog("NOTE tty hang-up, line closed")) << sim.Log();
    const long before = sim.CpuTicks();
    std::this_thread::sleep_for(std::chrono::seconds(1));
    // A spinning loop burns every tick it is given; an idle one none.
    EXPECT_LE(sim.CpuTicks() - before, 5);

    // The other lines still answer.
    const int tcp = ConnectTcp(tcpPort);
    ASSERT_GE(tcp, 0);
    EXPECT_EQ(Status(tcp, Request(0xFF, 0xE4)), 0);
    close(tcp);
    EXPECT_EQ(sim.Stop(), 0);
    const std::string log = sim.Log();
    EXPECT_EQ(log.find("hang-up"), log.rfind("hang-up")) << "logged once\n" << log;
}

TEST(SimProgram, ServesSeveralTcpClientsAtOnce) {
    SimProcess sim({"--frame-timeout", "200"});
    const int port = sim.Port("tcp");
    ASSERT_GT(port, 0);
    const int idle = ConnectTcp(port);
    ASSERT_GE(idle, 0);
    // A console left connected with half a frame sent...
    const Bytes version = Request(0xFF, 0xE4);
    ASSERT_EQ(send(idle, version.data(), 4, 0), 4);
    // ...does not keep a second client waiting.
    const int other = ConnectTcp(port);
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
    SimProcess sim({}, pipeFds[1]);
    close(pipeFds[1]);
    const int port = sim.Port("tcp");
    ASSERT_GT(port, 0);
    const int tcp = ConnectTcp(port);
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
    SimProcess sim({});
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
        EXPECT_EQ(Receive(udp, kVersionReply.size()), kVersionReply);
    }
    close(udp);
    EXPECT_EQ(sim.Stop(), 0);
}

} // namespace
