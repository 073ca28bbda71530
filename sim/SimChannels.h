#pragma once

#include <cstdint>
#include <cstdio>
#include <deque>
#include <map>
#include <memory>
#include <string>
#include <vector>

#include "comm/CaptureWriter.h"
#include "sim/RequestAssembler.h"
#include "sim/SimLog.h"
#include "sim/SimTerminal.h"

// The simulator's lines: a pseudo-terminal or tty device (SimSerial.cpp),
// a TCP server and a UDP socket (SimNet.cpp), served by one poll loop
// (SimChannels.cpp). Failures are -errno.

// Creates a pseudo-terminal in raw 8N1. The simulator keeps the slave open
// too, so that a client closing it does not hang up the master. Returns 0
// with both descriptors and the slave's path, or -errno.
int SimOpenPty(int& masterFd, int& slaveFd, std::string& path);

// Opens a tty device in raw 8N1 at baud bit/s. Returns 0 with fd set,
// -EINVAL for a speed termios does not know, or -errno.
int SimOpenDevice(const char* path, int baud, int& fd);

// True when baud is a speed SimOpenDevice accepts.
bool SimBaudSupported(int baud);

// A datagram peer, kept opaque to code without socket headers.
struct SimPeer {
    uint8_t addr[16] = {};
    uint32_t len = 0;
};

// Listens for TCP on addr:port (IPv4 dotted text, port 0 for any). Returns 0
// with the socket and the bound port, -EINVAL for a bad address, or -errno.
int SimListenTcp(const char* addr, int port, int& fd, int& boundPort);

// Accepts one waiting client (non-blocking). Returns 0 with its socket and
// "a.b.c.d:port", or -errno.
int SimAcceptTcp(int listenFd, int& fd, std::string& peerText);

// Binds a UDP socket to addr:port. Returns 0 with the socket and the bound
// port, -EINVAL for a bad address, or -errno.
int SimBindUdp(const char* addr, int port, int& fd, int& boundPort);

// Receives one datagram of up to max bytes. Returns its length or -errno.
int SimRecvFrom(int fd, uint8_t* buf, int max, SimPeer& peer);

// Sends one datagram. Returns the byte count or -errno.
int SimSendTo(int fd, const uint8_t* data, int n, const SimPeer& peer);

// "a.b.c.d:port" of a peer.
std::string SimPeerText(const SimPeer& peer);

// Serves every opened line until the stop descriptor becomes readable. The
// start-up lines go to the log as flushed lines; the lines of each event
// after that never hold up an answer (see SimLog). With a capture, each
// line (each TCP client) is an interface of it: the pieces its assembler
// cuts go in as packets, each write of a reply goes out as one.
class SimServer {
  public:
    SimServer(SimResponder& responder, FILE* log, int frameTimeoutMs,
              CCaptureWriter* capture = nullptr);
    ~SimServer();
    SimServer(const SimServer&) = delete;
    SimServer& operator=(const SimServer&) = delete;

    // Each returns 0 or -errno, as the functions above.
    int OpenPty(std::string& path);
    int OpenDevice(const char* path, int baud);
    int OpenTcp(const char* addr, int port, int& boundPort);
    int OpenUdp(const char* addr, int port, int& boundPort);

    // Returns 0 once stopFd is readable or parentFd (when not -1) is at its
    // end, or -errno when polling fails.
    int Run(int stopFd, int parentFd = -1);

    // Request frames received and frames sent so far (an acknowledgement
    // sent apart is a frame of its own), a line per kind of line that had
    // any ("tcp 12 12"). Counted as they happen, so that a reader that
    // loses log lines still gets the totals.
    std::string Counts() const;

  private:
    struct Outgoing {
        uint64_t nDueMs = 0;
        std::vector<uint8_t> bytes;
        size_t nDone = 0;
        std::string strLog; // the TX line, printed as the first byte goes
        bool bClose = false;
        SimPeer peer;
        bool bWriteEnd = true; // the last of the pieces one reply write was cut into
    };
    struct Line {
        const char* szName; // "pty", "tty", "tcp", "udp"
        int nFd;            // -1 once closed
        bool bDatagram;
        bool bClient; // a TCP client: a hang-up or a close fault ends it
        RequestAssembler assembler;
        std::deque<Outgoing> out;
        SimPeer peer;        // datagrams: the sender of the last request
        std::string strPeer; // TCP clients: "a.b.c.d:port"
        int nCaptureIface = -1;
        std::vector<uint8_t> captureOut; // sent of the reply write under way
        int64_t nCaptureOutUs = 0;       // when its first byte went
        Line(const char* name, int fd, bool datagram, bool client, int idleMs)
            : szName(name), nFd(fd), bDatagram(datagram), bClient(client), assembler(idleMs) {}
    };

    void Log(const char* kind, const char* name, const std::string& text);
    // Makes line an interface of the capture, if there is one.
    void CaptureLine(Line& line, const std::string& name, const std::string& description);
    // Records bytes sent on line; a reply write is one packet, recorded
    // once its last byte went (bEnd) or when the line cuts it off (why).
    void CaptureWritten(Line& line, const uint8_t* p, int n, bool bEnd);
    void CaptureCutOff(Line& line, const std::string& why);
    void OnReadable(Line& line, short revents);
    void CloseLine(Line& line, const std::string& why);
    void OnPieces(Line& line, std::vector<RequestAssembler::Piece>& pieces);
    void Schedule(Line& line, const SimReply& reply);
    // Sends what is due; may close a TCP client (a close fault, a failed write).
    void Flush(Line& line);
    void Accept();
    void CloseClient(Line& client, const char* why);
    int PollTimeout() const;
    // Every line that is open: serial and UDP first, then the TCP clients.
    std::vector<Line*> OpenLines() const;
    int OpenClients() const;

    SimResponder& m_responder;
    FILE* m_log; // start-up lines
    CCaptureWriter* m_pCapture;
    std::string m_strTcpName; // "TCP a.b.c.d:port" of the server
    SimLog m_events;
    // Per kind of line ("tcp", "udp", "pty", "tty"): frames in, frames out.
    std::map<std::string, std::pair<uint64_t, uint64_t>> m_counts;
    int m_nFrameTimeoutMs;
    int m_nSlaveFd = -1;
    int m_nListenFd = -1;
    std::vector<std::unique_ptr<Line>> m_lines;   // serial and UDP
    std::vector<std::unique_ptr<Line>> m_clients; // TCP, each with its own assembler
    std::vector<uint8_t> m_readBuf;
};

// TCP clients served at once; more wait in the listen backlog.
constexpr int SIM_MAX_TCP_CLIENTS = 16;
