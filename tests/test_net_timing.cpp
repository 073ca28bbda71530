// The network driver's cases whose verdict rests on gaps of a few
// milliseconds: an executable of their own, labelled timing.
#include <gtest/gtest.h>

#include <sys/socket.h>
#include <sys/time.h>

#include <cstdint>
#include <vector>

#include "FdIo.h"
#include "NetTest.h"
#include "comm/Clock.h"
#include "comm/NetDriver.h"

namespace {

TEST(TcpRecvFrame, WaitingBurnsNoCpu) {
    ScriptedPeer peer({});
    const int sock = ConnectTo(peer.Port());
    uint8_t buf[600];
    const int64_t cpu0 = ThreadCpuMs();
    const int64_t t0 = NowMs();
    EXPECT_EQ(TcpRecvFrame(sock, 1000, 100, buf, sizeof buf), -6);
    // The first-character time-out counts whole-millisecond ticks: a start
    // read late in its millisecond lets the wait end up to 1 ms early.
    EXPECT_GE(NowMs() - t0, 1000 - 1);
    // A spinning reader would use the whole second.
    EXPECT_LT(ThreadCpuMs() - cpu0, 100);
    TcpClose(sock);
}

TEST_F(Udp, ShortDatagramLeavesOneMillisecondTimeOut) {
    PeerSend(Bytes(7, 0x07));
    PeerSend(Bytes(3, 0x03));
    uint8_t buf[528];
    EXPECT_EQ(UdpRecvFrame(m_sock, 100, 50, buf, sizeof buf), 10);
    timeval tv{};
    socklen_t len = sizeof tv;
    getsockopt(m_sock, SOL_SOCKET, SO_RCVTIMEO, &tv, &len);
    EXPECT_EQ(tv.tv_sec, 0);
    EXPECT_GT(tv.tv_usec, 0);
    EXPECT_LE(tv.tv_usec, 4000); // 1 ms, rounded up to the kernel's tick
}

} // namespace
