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
    explicit SimProcess(std::vector<std::string> extra) {
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
        posix_spawn_file_actions_addopen(&fa, 1, m_logFile.c_str(), O_WRONLY | O_CREAT | O_TRUNC,
                                         0600);
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

} // namespace
