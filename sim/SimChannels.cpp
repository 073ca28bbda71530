#include "sim/SimChannels.h"

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <poll.h>
#include <unistd.h>

#include "comm/Clock.h"

namespace {

constexpr int kReadChunk = 4096;

} // namespace

SimServer::SimServer(SimTerminal& terminal, FILE* log, int frameTimeoutMs)
    : m_terminal(terminal), m_log(log), m_nFrameTimeoutMs(frameTimeoutMs) {}

SimServer::~SimServer() {
    if (m_client)
        close(m_client->nFd);
    for (const auto& line : m_lines)
        close(line->nFd);
    if (m_nListenFd >= 0)
        close(m_nListenFd);
    if (m_nSlaveFd >= 0)
        close(m_nSlaveFd);
}

void SimServer::Log(const char* kind, const char* name, const std::string& text) {
    std::fprintf(m_log, "%s %s %s\n", kind, name, text.c_str());
    std::fflush(m_log);
}

int SimServer::OpenPty(std::string& path) {
    int master = -1;
    const int rc = SimOpenPty(master, m_nSlaveFd, path);
    if (rc != 0)
        return rc;
    m_lines.push_back(std::make_unique<Line>("pty", master, false, m_nFrameTimeoutMs));
    std::fprintf(m_log, "pty: %s\n", path.c_str());
    std::fflush(m_log);
    return 0;
}

int SimServer::OpenDevice(const char* path, int baud) {
    int fd = -1;
    const int rc = SimOpenDevice(path, baud, fd);
    if (rc != 0)
        return rc;
    m_lines.push_back(std::make_unique<Line>("tty", fd, false, m_nFrameTimeoutMs));
    Log("OPEN", "tty", std::string(path) + " " + std::to_string(baud));
    return 0;
}

int SimServer::OpenTcp(const char* addr, int port, int& boundPort) {
    const int rc = SimListenTcp(addr, port, m_nListenFd, boundPort);
    if (rc == 0)
        Log("LISTEN", "tcp", std::string(addr) + ":" + std::to_string(boundPort));
    return rc;
}

int SimServer::OpenUdp(const char* addr, int port, int& boundPort) {
    int fd = -1;
    const int rc = SimBindUdp(addr, port, fd, boundPort);
    if (rc != 0)
        return rc;
    m_lines.push_back(std::make_unique<Line>("udp", fd, true, m_nFrameTimeoutMs));
    Log("LISTEN", "udp", std::string(addr) + ":" + std::to_string(boundPort));
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
    m_client = std::make_unique<Line>("tcp", fd, false, m_nFrameTimeoutMs);
    Log("CONNECT", "tcp", peer);
}

void SimServer::CloseClient(const char* why) {
    std::vector<RequestAssembler::Piece> pieces;
    m_client->assembler.Flush(pieces);
    for (const auto& p : pieces)
        Log("DROP", "tcp", HexCells(p.bytes.data(), static_cast<int>(p.bytes.size())));
    close(m_client->nFd);
    m_client.reset();
    Log("DISCONNECT", "tcp", why);
}

void SimServer::OnReadable(Line& line) {
    uint8_t buf[kReadChunk];
    std::vector<RequestAssembler::Piece> pieces;
    if (line.bDatagram) {
        for (;;) {
            SimPeer peer;
            const int n = SimRecvFrom(line.nFd, buf, kReadChunk, peer);
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
    const ssize_t n = read(line.nFd, buf, kReadChunk);
    if (n < 0 && (errno == EAGAIN || errno == EWOULDBLOCK || errno == EINTR))
        return;
    if (&line == m_client.get() && n <= 0) {
        CloseClient(n == 0 ? "peer closed" : std::strerror(errno));
        return;
    }
    if (n < 0) {
        // A serial line that fails stays failed (device gone): stop listening on it.
        Log("NOTE", line.szName, std::string("read failed, line closed: ") + std::strerror(errno));
        close(line.nFd);
        line.nFd = -1;
        line.out.clear();
        return;
    }
    line.assembler.Feed(buf, static_cast<int>(n), NowMs(), pieces);
    OnPieces(line, pieces);
}

void SimServer::OnPieces(Line& line, std::vector<RequestAssembler::Piece>& pieces) {
    for (const auto& p : pieces) {
        const std::string hex = HexCells(p.bytes.data(), static_cast<int>(p.bytes.size()));
        if (p.kind == RequestAssembler::SKIPPED) {
            Log("SKIP", line.szName, hex);
        } else if (p.kind == RequestAssembler::DROPPED) {
            Log("DROP", line.szName, hex);
        } else {
            Log("RX", line.szName, hex);
            const SimReply reply =
                m_terminal.Handle(p.bytes.data(), static_cast<int>(p.bytes.size()));
            for (const std::string& note : reply.notes)
                Log("NOTE", line.szName, note);
            Schedule(line, reply);
        }
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
                line.out.push_back({at, {w.bytes[i]}, 0, i == 0 ? hex : "", false, line.peer});
            }
        } else {
            line.out.push_back({at, w.bytes, 0, hex, false, line.peer});
        }
    }
    if (!reply.bClose)
        return;
    if (&line == m_client.get())
        line.out.push_back({at, {}, 0, "", true, line.peer});
    else
        Log("NOTE", line.szName, "no connection to close on this line: no reply");
}

void SimServer::Flush(Line& line) {
    const uint64_t now = NowMs();
    while (!line.out.empty() && line.out.front().nDueMs <= now) {
        Outgoing& o = line.out.front();
        if (o.bClose) {
            CloseClient("closed by fault");
            return;
        }
        if (!o.strLog.empty()) {
            Log("TX", line.szName, o.strLog);
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
            if (&line == m_client.get()) {
                CloseClient(std::strerror(-n));
                return;
            }
            Log("NOTE", line.szName, std::string("send failed: ") + std::strerror(-n));
            line.out.pop_front();
            continue;
        }
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
    for (const auto& line : m_lines)
        if (line->nFd >= 0)
            consider(*line);
    if (m_client)
        consider(*m_client);
    return static_cast<int>(best);
}

int SimServer::Run(int stopFd) {
    std::vector<pollfd> fds;
    std::vector<Line*> owners;
    for (;;) {
        for (const auto& line : m_lines)
            if (line->nFd >= 0)
                Flush(*line);
        if (m_client)
            Flush(*m_client);

        const uint64_t now = NowMs();
        fds.clear();
        owners.clear();
        fds.push_back({stopFd, POLLIN, 0});
        owners.push_back(nullptr);
        if (!m_client && m_nListenFd >= 0) {
            fds.push_back({m_nListenFd, POLLIN, 0});
            owners.push_back(nullptr);
        }
        const auto add = [&](Line& line) {
            short events = POLLIN;
            // Only a due write waits for room; later ones wait for the timer.
            if (!line.out.empty() && line.out.front().nDueMs <= now)
                events |= POLLOUT;
            fds.push_back({line.nFd, events, 0});
            owners.push_back(&line);
        };
        for (const auto& line : m_lines)
            if (line->nFd >= 0)
                add(*line);
        if (m_client)
            add(*m_client);

        if (poll(fds.data(), fds.size(), PollTimeout()) < 0) {
            if (errno == EINTR)
                continue;
            return -errno;
        }
        if (fds[0].revents)
            return 0;
        for (size_t i = 1; i < fds.size(); ++i) {
            if (!(fds[i].revents & (POLLIN | POLLHUP | POLLERR)))
                continue;
            // The client comes last, so closing it leaves no later entry dangling.
            if (owners[i])
                OnReadable(*owners[i]);
            else
                Accept();
        }
        std::vector<RequestAssembler::Piece> dropped;
        for (const auto& line : m_lines) {
            line->assembler.Expire(NowMs(), dropped);
            OnPieces(*line, dropped);
            dropped.clear();
        }
        if (m_client) {
            m_client->assembler.Expire(NowMs(), dropped);
            OnPieces(*m_client, dropped);
        }
    }
}
