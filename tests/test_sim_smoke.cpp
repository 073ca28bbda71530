// The simulator program end to end: started on free loopback ports, asked
// over plain sockets, stopped with SIGTERM.
#include <gtest/gtest.h>

#include <chrono>
#include <poll.h>
#include <string>
#include <sys/socket.h>
#include <unistd.h>
#include <vector>

#include "FrameUtil.h"
#include "LoopbackPeer.h"
#include "SimProcess.h"
#include "protocol/Frame.h"

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
    SimProcess sim({"--tcp", "127.0.0.1:0", "--udp", "127.0.0.1:0", "--fault", "ack-split:E1",
                    "--ack-delay", "50"},
                   dir.path);
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
    TempDir dir;
    SimProcess sim({"--tcp", "127.0.0.1:0", "--udp", "127.0.0.1:0", "--fault", "no-such-fault"},
                   dir.path);
    EXPECT_EQ(sim.Wait(), 2);
}

} // namespace
