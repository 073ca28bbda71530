#include "sim/SimChannels.h"

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <poll.h>
#include <unistd.h>

#include "comm/Clock.h"
#include "protocol/Frame.h"

namespace {

// A UDP datagram is one request however much junk it carries, so reads
// take the largest datagram whole.
constexpr size_t READ_MAX = 65536;

} // namespace

SimServer::SimServer(SimResponder& responder, FILE* log, int frameTimeoutMs,
                     CCaptureWriter* capture)
    : m_responder(responder), m_log(log), m_pCapture(capture), m_events(fileno(log)),
      m_nFrameTimeoutMs(frameTimeoutMs), m_readBuf(READ_MAX) {}

SimServer::~SimServer() {
    for (Line* line : OpenLines())
        close(line->nFd);
    if (m_nListenFd >= 0)
        close(m_nListenFd);
    if (m_nSlaveFd >= 0)
        close(m_nSlaveFd);
}

void SimServer::Log(const char* kind, const char* name, const std::string& text) {
    m_events.Line(std::string(kind) + " " + name + " " + text);
}

std::string SimServer::Counts() const {
    std::string text;
    for (const auto& [name, count] : m_counts)
        text +=
            name + " " + std::to_string(count.first) + " " + std::to_string(count.second) + "\n";
    return text;
}

void SimServer::CaptureLine(Line& line, const std::string& name, const std::string& description) {
    if (m_pCapture != nullptr)
        line.nCaptureIface = m_pCapture->AddInterface(name, description);
}

void SimServer::CaptureWritten(Line& line, const uint8_t* p, int n, bool bEnd) {
    if (m_pCapture == nullptr)
        return;
    if (line.captureOut.empty())
        line.nCaptureOutUs = WallUs();
    line.captureOut.insert(line.captureOut.end(), p, p + n);
    // A datagram is a packet of its own.
    if (bEnd || line.bDatagram)
        CaptureCutOff(line, {});
}

void SimServer::CaptureCutOff(Line& line, const std::string& why) {
    if (m_pCapture == nullptr || line.captureOut.empty())
        return;
    m_pCapture->Packet(line.nCaptureIface, CAPTURE_OUT, line.nCaptureOutUs, line.captureOut.data(),
                       static_cast<int>(line.captureOut.size()),
                       why.empty() ? why : "cut off: " + why);
    line.captureOut.clear();
}

std::vector<SimServer::Line*> SimServer::OpenLines() const {
    std::vector<Line*> open;
    for (const auto& line : m_lines)
        if (line->nFd >= 0)
            open.push_back(line.get());
    for (const auto& client : m_clients)
        if (client->nFd >= 0)
            open.push_back(client.get());
    return open;
}

int SimServer::OpenPty(std::string& path) {
    int master = -1;
    const int rc = SimOpenPty(master, m_nSlaveFd, path);
    if (rc != 0)
        return rc;
    m_lines.push_back(std::make_unique<Line>("pty", master, false, false, m_nFrameTimeoutMs));
    CaptureLine(*m_lines.back(), "pty " + path, "");
    std::fprintf(m_log, "pty: %s\n", path.c_str());
    std::fflush(m_log);
    return 0;
}

int SimServer::OpenDevice(const char* path, int baud) {
    int fd = -1;
    const int rc = SimOpenDevice(path, baud, fd);
    if (rc != 0)
        return rc;
    m_lines.push_back(std::make_unique<Line>("tty", fd, false, false, m_nFrameTimeoutMs));
    CaptureLine(*m_lines.back(), "tty " + std::string(path) + " " + std::to_string(baud) + " 8N1",
                "");
    std::fprintf(m_log, "OPEN tty %s %d\n", path, baud);
    std::fflush(m_log);
    return 0;
}

int SimServer::OpenTcp(const char* addr, int port, int& boundPort) {
    const int rc = SimListenTcp(addr, port, m_nListenFd, boundPort);
    if (rc == 0) {
        m_strTcpName = "TCP " + std::string(addr) + ":" + std::to_string(boundPort);
        std::fprintf(m_log, "LISTEN tcp %s:%d\n", addr, boundPort);
        std::fflush(m_log);
    }
    return rc;
}

int SimServer::OpenUdp(const char* addr, int port, int& boundPort) {
    int fd = -1;
    const int rc = SimBindUdp(addr, port, fd, boundPort);
    if (rc != 0)
        return rc;
    m_lines.push_back(std::make_unique<Line>("udp", fd, true, false, m_nFrameTimeoutMs));
    CaptureLine(*m_lines.back(), "UDP " + std::string(addr) + ":" + std::to_string(boundPort), "");
    std::fprintf(m_log, "LISTEN udp %s:%d\n", addr, boundPort);
    std::fflush(m_log);
    return 0;
}

void SimServer::Accept() {
    int fd = -1;
    std::string peer;
    const int rc = SimAcceptTcp(m_nListenFd, fd, peer);
    if (rc == -EAGAIN || rc == -EWOULDBLOCK || rc == -ECONNABORTED)
        return;
    if (rc != 0) {
        Log("NOTE", "tcp", std::string("accept failed: ") + std::strerror(-rc));
        return;
    }
    m_clients.push_back(std::make_unique<Line>("tcp", fd, false, true, m_nFrameTimeoutMs));
    m_clients.back()->strPeer = peer;
    CaptureLine(*m_clients.back(), m_strTcpName, "client " + peer);
    Log("CONNECT", "tcp", peer);
}

void SimServer::CloseLine(Line& line, const std::string& why) {
    CaptureCutOff(line, why);
    close(line.nFd);
    line.nFd = -1;
    line.out.clear();
    Log("NOTE", line.szName, why);
}

void SimServer::CloseClient(Line& client, const char* why) {
    std::vector<RequestAssembler::Piece> pieces;
    client.assembler.Flush(pieces);
    OnPieces(client, pieces);
    CaptureCutOff(client, why);
    close(client.nFd);
    client.nFd = -1;
    client.out.clear();
    Log("DISCONNECT", "tcp", client.strPeer + " " + why);
}

void SimServer::OnReadable(Line& line, short revents) {
    uint8_t* buf = m_readBuf.data();
    const int max = static_cast<int>(m_readBuf.size());
    std::vector<RequestAssembler::Piece> pieces;
    if (line.bDatagram) {
        for (;;) {
            SimPeer peer;
            const int n = SimRecvFrom(line.nFd, buf, max, peer);
            if (n < 0) {
                if (n != -EAGAIN && n != -EWOULDBLOCK)
                    Log("NOTE", line.szName, std::string("receive failed: ") + std::strerror(-n));
                return;
            }
            // A request is one datagram: nothing carries over to the next.
            line.peer = peer;
            line.assembler.Feed(buf, n, NowMs(), pieces);
            line.assembler.Flush(pieces);
            OnPieces(line, pieces);
            pieces.clear();
        }
    }
    const ssize_t n = read(line.nFd, buf, static_cast<size_t>(max));
    if (n < 0 && (errno == EAGAIN || errno == EWOULDBLOCK || errno == EINTR))
        return;
    if (line.bClient && n <= 0) {
        CloseClient(line, n == 0 ? "peer closed" : std::strerror(errno));
        return;
    }
    if (n < 0) {
        // A serial line that fails stays failed (device gone): stop listening on it.
        CloseLine(line, std::string("read failed, line closed: ") + std::strerror(errno));
        return;
    }
    if (n == 0 && (revents & POLLHUP)) {
        // A tty reads 0 both for "nothing yet" and after a hang-up; only the
        // hang-up keeps poll returning, so the line must go.
        CloseLine(line, "hang-up, line closed");
        return;
    }
    line.assembler.Feed(buf, static_cast<int>(n), NowMs(), pieces);
    OnPieces(line, pieces);
}

void SimServer::OnPieces(Line& line, std::vector<RequestAssembler::Piece>& pieces) {
    for (const auto& p : pieces) {
        const int n = static_cast<int>(p.bytes.size());
        const std::string hex = HexCells(p.bytes.data(), n);
        // What the terminal made of a piece is its comment in the capture.
        std::string comment;
        if (p.kind == RequestAssembler::SKIPPED) {
            Log("SKIP", line.szName, hex);
            comment = "bytes outside any frame";
        } else if (p.kind == RequestAssembler::DROPPED) {
            Log("DROP", line.szName, hex);
            comment = "incomplete frame dropped";
        }
        SimReply reply;
        if (p.kind == RequestAssembler::FRAME) {
            Log("RX", line.szName, hex);
            ++m_counts[line.szName].first;
            reply = m_responder.Handle(p.bytes.data(), n);
            for (const std::string& note : reply.notes) {
                Log("NOTE", line.szName, note);
                comment += (comment.empty() ? "" : "; ") + note;
            }
        }
        if (m_pCapture != nullptr)
            m_pCapture->Packet(line.nCaptureIface, CAPTURE_IN, WallUs(), p.bytes.data(), n,
                               comment);
        if (p.kind == RequestAssembler::FRAME)
            Schedule(line, reply);
    }
}

void SimServer::Schedule(Line& line, const SimReply& reply) {
    uint64_t at = NowMs();
    if (!line.out.empty())
        at = std::max(at, line.out.back().nDueMs);
    for (const SimWrite& w : reply.writes) {
        at += static_cast<uint64_t>(w.nDelayMs);
        const std::string hex = HexCells(w.bytes.data(), static_cast<int>(w.bytes.size()));
        if (w.nByteGapMs > 0) {
            for (size_t i = 0; i < w.bytes.size(); ++i) {
                if (i > 0)
                    at += static_cast<uint64_t>(w.nByteGapMs);
                line.out.push_back({at,
                                    {w.bytes[i]},
                                    0,
                                    i == 0 ? hex : "",
                                    false,
                                    line.peer,
                                    i + 1 == w.bytes.size()});
            }
        } else {
            line.out.push_back({at, w.bytes, 0, hex, false, line.peer});
        }
    }
    if (!reply.bClose)
        return;
    if (line.bClient)
        line.out.push_back({at, {}, 0, "", true, line.peer});
    else
        Log("NOTE", line.szName, "no connection to close on this line: no reply");
}

void SimServer::Flush(Line& line) {
    const uint64_t now = NowMs();
    while (!line.out.empty() && line.out.front().nDueMs <= now) {
        Outgoing& o = line.out.front();
        if (o.bClose) {
            CloseClient(line, "closed by fault");
            return;
        }
        if (!o.strLog.empty()) {
            Log("TX", line.szName, o.strLog);
            ++m_counts[line.szName].second;
            o.strLog.clear();
        }
        const uint8_t* p = o.bytes.data() + o.nDone;
        const int left = static_cast<int>(o.bytes.size() - o.nDone);
        int n = 0;
        if (line.bDatagram) {
            n = SimSendTo(line.nFd, p, left, o.peer);
        } else {
            const ssize_t w = write(line.nFd, p, static_cast<size_t>(left));
            n = w < 0 ? -errno : static_cast<int>(w);
        }
        if (n == -EAGAIN || n == -EWOULDBLOCK || n == -EINTR)
            return;
        if (n < 0) {
            if (line.bClient) {
                CloseClient(line, std::strerror(-n));
                return;
            }
            Log("NOTE", line.szName, std::string("send failed: ") + std::strerror(-n));
            CaptureCutOff(line, std::string("send failed: ") + std::strerror(-n));
            line.out.pop_front();
            continue;
        }
        CaptureWritten(line, p, n,
                       o.nDone + static_cast<size_t>(n) == o.bytes.size() && o.bWriteEnd);
        o.nDone += static_cast<size_t>(n);
        if (o.nDone < o.bytes.size())
            return;
        line.out.pop_front();
    }
}

int SimServer::PollTimeout() const {
    const uint64_t now = NowMs();
    long best = -1;
    const auto consider = [&](const Line& line) {
        if (!line.out.empty() && line.out.front().nDueMs > now) {
            const long wait = static_cast<long>(line.out.front().nDueMs - now);
            best = best < 0 ? wait : std::min(best, wait);
        }
        const int expiry = line.assembler.MsUntilExpiry(now);
        if (expiry >= 0)
            best = best < 0 ? expiry : std::min<long>(best, expiry);
    };
    for (const Line* line : OpenLines())
        consider(*line);
    return static_cast<int>(best);
}

int SimServer::Run(int stopFd, int parentFd) {
    std::vector<pollfd> fds;
    std::vector<Line*> owners;
    for (;;) {
        for (Line* line : OpenLines())
            Flush(*line);

        const uint64_t now = NowMs();
        fds.clear();
        owners.clear();
        fds.push_back({stopFd, POLLIN, 0});
        owners.push_back(nullptr);
        // Nobody writes to the parent's pipe: any event is its end of file.
        // poll() passes over the entry while parentFd is -1.
        fds.push_back({parentFd, POLLIN, 0});
        owners.push_back(nullptr);
        const int logAt = m_events.Waiting() ? static_cast<int>(fds.size()) : -1;
        if (logAt >= 0) {
            fds.push_back({m_events.Fd(), POLLOUT, 0});
            owners.push_back(nullptr);
        }
        const int listenAt = m_nListenFd >= 0 && OpenClients() < SIM_MAX_TCP_CLIENTS
                                 ? static_cast<int>(fds.size())
                                 : -1;
        if (listenAt >= 0) {
            fds.push_back({m_nListenFd, POLLIN, 0});
            owners.push_back(nullptr);
        }
        for (Line* line : OpenLines()) {
            short events = POLLIN;
            // Only a due write waits for room; later ones wait for the timer.
            if (!line->out.empty() && line->out.front().nDueMs <= now)
                events |= POLLOUT;
            fds.push_back({line->nFd, events, 0});
            owners.push_back(line);
        }

        if (poll(fds.data(), fds.size(), PollTimeout()) < 0) {
            if (errno == EINTR)
                continue;
            return -errno;
        }
        if (fds[0].revents || fds[1].revents)
            return 0;
        if (logAt >= 0 && fds[static_cast<size_t>(logAt)].revents)
            m_events.OnWritable();
        if (listenAt >= 0 && fds[static_cast<size_t>(listenAt)].revents)
            Accept();
        for (size_t i = 1; i < fds.size(); ++i) {
            // A line closed earlier in this round is skipped, not read.
            if (owners[i] && owners[i]->nFd >= 0 && (fds[i].revents & (POLLIN | POLLHUP | POLLERR)))
                OnReadable(*owners[i], fds[i].revents);
        }
        std::vector<RequestAssembler::Piece> dropped;
        for (Line* line : OpenLines()) {
            line->assembler.Expire(NowMs(), dropped);
            OnPieces(*line, dropped);
            dropped.clear();
        }
        // Closed clients go only now: owners pointed at them until here.
        std::erase_if(m_clients, [](const std::unique_ptr<Line>& c) { return c->nFd < 0; });
    }
}

int SimServer::OpenClients() const {
    int n = 0;
    for (const auto& client : m_clients)
        n += client->nFd >= 0 ? 1 : 0;
    return n;
}
