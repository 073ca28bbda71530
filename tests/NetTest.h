#pragma once

#include <gtest/gtest.h>

#include <sys/socket.h>
#include <unistd.h>

#include <chrono>
#include <cstdint>
#include <thread>
#include <vector>

#include "FdIo.h"
#include "LoopbackPeer.h"
#include "comm/NetDriver.h"

// The network driver's tests and their timing cases share the scripted TCP
// peer and the UDP fixture.

using Bytes = std::vector<uint8_t>;

enum class PeerAct { Send, Close, Reset };

struct PeerStep {
    int delayMs; // pause before the step
    Bytes bytes;
    PeerAct act = PeerAct::Send;
};

// The terminal's side of a TCP connection: accepts one client on a loopback
// port, waits for its request and plays its steps; unless a step closes it,
// it then keeps the connection until the client closes its end. (Waiting for
// the request keeps a reset from racing the client's connect, which would
// take a reset during the handshake for a failed attempt and retry.)
class ScriptedPeer {
  public:
    explicit ScriptedPeer(std::vector<PeerStep> steps) {
        m_peer.Serve([steps](int c) { Play(c, steps); });
    }
    int Port() const { return m_peer.Port(); }

  private:
    static void Play(int c, const std::vector<PeerStep>& steps) {
        uint8_t request[16];
        if (!WaitReadable(c, 5000) || recv(c, request, sizeof request, 0) <= 0)
            return;
        for (const auto& s : steps) {
            std::this_thread::sleep_for(std::chrono::milliseconds(s.delayMs));
            if (s.act == PeerAct::Close)
                return;
            if (s.act == PeerAct::Reset) {
                ResetOnClose(c);
                return;
            }
            send(c, s.bytes.data(), s.bytes.size(), MSG_NOSIGNAL);
        }
        uint8_t sink[256];
        while (WaitReadable(c, 5000) && recv(c, sink, sizeof sink, 0) > 0) {
        }
    }

    TcpPeer m_peer;
};

// Connects to a scripted peer and sends it a request.
inline int ConnectTo(int port) {
    const uint8_t request[] = {0xC0, 0x01, 0x10, 0x00, 0x00, 0xC0, 0x09, 0xC1};
    int sock = NO_SOCKET;
    EXPECT_EQ(TcpConnect("127.0.0.1", port, 2000, sock), 0);
    EXPECT_EQ(TcpSend(sock, request, sizeof request), 0);
    return sock;
}

// The driver's socket and a terminal socket, both on loopback.
class Udp : public ::testing::Test {
  protected:
    void SetUp() override {
        ASSERT_EQ(UdpBind("127.0.0.1", 0, m_sock), 0);
        m_peer = BoundSocket(SOCK_DGRAM, 0);
        ASSERT_GE(m_peer, 0);
    }
    void TearDown() override {
        UdpClose(m_sock);
        close(m_peer);
    }
    void PeerSend(const Bytes& b) {
        const sockaddr_in to = Loopback(LocalPort(m_sock));
        sendto(m_peer, b.data(), b.size(), 0, reinterpret_cast<const sockaddr*>(&to), sizeof to);
    }
    void Drain() {
        uint8_t sink[1024];
        while (recv(m_sock, sink, sizeof sink, MSG_DONTWAIT) >= 0) {
        }
    }

    int m_sock = NO_SOCKET;
    int m_peer = -1;
};
