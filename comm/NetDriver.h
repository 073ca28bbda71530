#pragma once

#include <atomic>
#include <cstdint>
#include <string>
#include <vector>

#include "protocol/FrameReader.h"
#include "protocol/ResultCodes.h"

// TCP and UDP over IPv4 sockets. A socket is a descriptor; NO_SOCKET marks
// none (descriptor 0 is a valid socket on Linux).
constexpr int NO_SOCKET = -1;

// Nothing to start or release on Linux; kept for the worker's call order.
// Return RES_OK.
ResultCode NetStartup();
ResultCode NetCleanup();

// Connects to addr:port within timeoutMs, retrying refused attempts after a
// short pause, until then or until *cancel turns true. Returns RES_OK with
// sock set, RES_BAD_ADDRESS bad address or port (before any socket exists),
// RES_SOCKET_FAILED no socket, RES_CONNECT_TIMEOUT not connected in time or
// cancelled.
ResultCode TcpConnect(const char* addr, int port, int timeoutMs, int& sock,
                      const std::atomic<bool>* cancel = nullptr);

// The errno behind this thread's last failed TcpConnect or UdpOpen (of the
// last attempt or port tried); 0 when the failure had none (bad address, no
// adapter).
int NetLastError();

// Shuts the connection down both ways, closes it and drops the bytes read
// ahead on it; no read of sock may be running. Returns RES_OK or
// RES_TCP_CLOSE_FAILED.
ResultCode TcpClose(int sock);

// Sends all count bytes. Returns RES_OK, RES_CONN_LOST connection lost,
// RES_SEND_FAILED other failure or no byte taken for 2 s (the peer stopped
// reading); after such a stall the connection is reset, so the next read
// gives RES_CONN_LOST.
ResultCode TcpSend(int sock, const uint8_t* data, int count);

// Reads one reply frame within F and I into buf of bufSize bytes; a leading
// acknowledgement is read over. Each receive takes all that has arrived:
// bytes past the frame's end are read ahead and are the first the next frame
// read or raw receive of sock takes. A socket is read by one thread at a
// time. A tap, when given, sees the bytes the reader takes (AcceptReply).
// Returns the reply length, or RES_INTER_TIMEOUT, RES_NO_START, RES_CHECKSUM,
// RES_NOT_FRAME, RES_PEER_CLOSED, RES_CONN_LOST, RES_REPLY_TOO_LARGE.
int TcpRecvFrame(int sock, int F, int I, uint8_t* buf, int bufSize, ReadTap* tap = nullptr);

// One receive of up to max bytes without waiting, the bytes read ahead
// first; a zero byte follows the bytes read. Returns the count, 0 when
// nothing waits, RES_PEER_CLOSED or RES_CONN_LOST.
int TcpRecvRaw(int sock, uint8_t* buf, int max);

// A network adapter as the UDP open sees it.
struct NetAdapter {
    std::string name;
    bool bEthernet; // link type Ethernet
    bool bUp;
    std::string ipv4; // first IPv4 address, empty when none
};

// Where UdpOpen takes the adapter list from (the machine's, by default).
// Pass nullptr to restore the machine's. Tests give none, no Ethernet, or
// loopback.
using NetAdapterSource = bool (*)(std::vector<NetAdapter>& out);
void NetSetAdapterSource(NetAdapterSource source);

// The machine's adapters in list order, loopback left out. Returns false
// when they cannot be read.
bool NetListAdapters(std::vector<NetAdapter>& out);

// The adapters of the current source. Returns false when they cannot be read.
bool NetReadAdapters(std::vector<NetAdapter>& out);

// Binds a datagram socket to addr:port. Returns RES_OK with sock set,
// RES_SOCKET_FAILED, or the positive errno of the failed bind.
int UdpBind(const char* addr, int port, int& sock);

// Binds on the first Ethernet adapter that is up and has an IPv4 address,
// trying ports 6000, 6010 ... 10000. Returns RES_OK with sock set, or a
// UdpOpenCode: UDP_NO_ADAPTER, UDP_NO_ETHERNET, UDP_NO_PORT.
int UdpOpen(int& sock);

// Sends one datagram. A count below 1 sends nothing. Returns RES_OK or
// RES_SEND_FAILED.
ResultCode UdpSendTo(int sock, const char* addr, int port, const uint8_t* data, int count);

// Receives a reply datagram within F + I; a short one (under 8 bytes, or an
// acknowledgement with under 8 bytes behind it) is joined by one more taken
// within 1 ms. buf holds at least 528 bytes. A tap, when given, gets each
// datagram as a piece. Returns the byte count or RES_UDP_RECV_FAILED.
int UdpRecvFrame(int sock, int F, int I, uint8_t* buf, int bufSize, ReadTap* tap = nullptr);

// Receives one datagram of up to max bytes, waiting at most waitMs.
// Returns the count or RES_UDP_RECV_FAILED (error or nothing in time).
int UdpRecvRaw(int sock, uint8_t* buf, int max, int waitMs);

// Closes a UDP socket; NO_SOCKET is not closed. Returns RES_OK or
// RES_UDP_CLOSE_FAILED.
ResultCode UdpClose(int sock);
