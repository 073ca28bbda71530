// Figures of the engine against the least a program could do on the same
// transport: one exchange against a poll() ping-pong of the same bytes, in
// time and in system calls, the CPU a reader burns while it waits for a reply
// that never comes, and a whole program download against the same number of
// bare round trips. Each is a part (CBenchPart), and main lists them in the
// order they run. Prints the figures; the goals are reported, not asserted.
//
// `quillmark-bench --exchanges tcp|pty engine|baseline COUNT` only makes
// COUNT exchanges of one side, on the main thread; the bench counts its
// system calls with strace -c, which follows that thread alone.

#include <algorithm>
#include <atomic>
#include <cctype>
#include <cerrno>
#include <chrono>
#include <csignal>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <fstream>
#include <map>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <pty.h>
#include <sys/ioctl.h>
#include <sys/socket.h>
#include <termios.h>
#include <unistd.h>

#include "bench/BenchPart.h"
#include "bench/BenchScript.h"
#include "cli/ReplyStats.h"
#include "comm/CommJob.h"
#include "comm/CommThread.h"
#include "comm/DownloadRunner.h"
#include "comm/NetDriver.h"
#include "comm/Notify.h"
#include "comm/SerialPort.h"
#include "protocol/Frame.h"
#include "sim/SimProcess.h"

namespace {

using Clock = std::chrono::steady_clock;

constexpr int WARMUP = 200;
constexpr int SAMPLES = 2000;
constexpr int IO_WAIT_MS = 2000;
constexpr int IDLE_WAIT_MS = 2000;
constexpr int DOWNLOAD_RUNS = 5;
constexpr int DOWNLOAD_STEPS = 1 + 1 + DOWNLOAD_IMAGE_MAX / DOWNLOAD_BLOCK + 1;
constexpr double START_PAUSE_MS = DOWNLOAD_START_PAUSE_MS;
constexpr double EXCHANGE_GOAL = 1.1;
constexpr double DOWNLOAD_GOAL = 1.3;
// Raising DTR and purging both queues before each request: the serial
// driver's calls beyond the ping-pong's.
constexpr int SERIAL_EXTRA_CALLS = 2;
// Runs of these many exchanges are traced; their difference leaves out the
// calls of setting the line up.
constexpr int CALLS_FEW = 200;
constexpr int CALLS_MANY = 1200;
constexpr double SCRIPT_GOAL = 1.1;
constexpr int SCRIPT_EXCHANGES = 1000;
constexpr double IDLE_GOAL_PERCENT = 2.0;

constexpr uint8_t MACHINE = 0x01;
// The exchange's command; the responder answers it with ECHO_REPLY_DATA bytes
// and every other command (the download's) with an empty status-0 reply.
constexpr uint8_t CMD_EXCHANGE = 0x24;
constexpr int EXCHANGE_REQUEST_DATA = 16;
constexpr int ECHO_REPLY_DATA = 32;
constexpr int EXCHANGE_REQUEST_LEN = FRAME_OVERHEAD + EXCHANGE_REQUEST_DATA;
constexpr int EXCHANGE_REPLY_LEN = FRAME_OVERHEAD + ECHO_REPLY_DATA;
constexpr int EMPTY_REPLY_LEN = FRAME_OVERHEAD;
constexpr int COM_EXCHANGE = 250;
constexpr int COM_SILENT = 251;
constexpr int EXCHANGE_BUF = 512;
constexpr WindowHandle BENCH_WINDOW = 1;

[[noreturn]] void Fail(const std::string& what) {
    std::fprintf(stderr, "quillmark-bench: %s\n", what.c_str());
    std::exit(1);
}

void NoPost(WindowHandle, int, long) {}

double UsSince(Clock::time_point t0) {
    return std::chrono::duration<double, std::micro>(Clock::now() - t0).count();
}

double Median(std::vector<double> v) {
    return NearestRankMedian(std::move(v));
}

// Writes all count bytes, waiting in poll() when the descriptor is full.
bool WriteAll(int fd, const uint8_t* data, size_t count) {
    size_t done = 0;
    while (done < count) {
        const ssize_t n = write(fd, data + done, count - done);
        if (n > 0) {
            done += static_cast<size_t>(n);
            continue;
        }
        if (n < 0 && errno != EAGAIN && errno != EINTR)
            return false;
        pollfd p{fd, POLLOUT, 0};
        if (poll(&p, 1, IO_WAIT_MS) <= 0)
            return false;
    }
    return true;
}

// Polls and reads until count bytes have come; each wait is bounded by
// waitMs (-1: until the peer goes away). False on time-out, close or error.
bool ReadFull(int fd, uint8_t* dst, size_t count, int waitMs) {
    size_t got = 0;
    while (got < count) {
        pollfd p{fd, POLLIN, 0};
        const int rc = poll(&p, 1, waitMs);
        if (rc < 0 && errno == EINTR)
            continue;
        if (rc <= 0)
            return false;
        const ssize_t n = read(fd, dst + got, count - got);
        if (n > 0)
            got += static_cast<size_t>(n);
        else if (n == 0 || (errno != EAGAIN && errno != EINTR))
            return false;
    }
    return true;
}

// A reply frame with status 0 and count data bytes into out. Returns its length.
int MakeReply(uint8_t machine, const uint8_t* data, int count, uint8_t* out) {
    out[0] = FRAME_REPLY_START;
    out[1] = machine;
    out[2] = 0;
    out[3] = static_cast<uint8_t>(count >> 8);
    out[4] = static_cast<uint8_t>(count & 0xFF);
    std::memcpy(out + 5, data, static_cast<size_t>(count));
    const uint16_t crc = Crc16(5 + count, out);
    out[5 + count] = static_cast<uint8_t>(crc >> 8);
    out[6 + count] = static_cast<uint8_t>(crc & 0xFF);
    out[7 + count] = FRAME_REPLY_END;
    return count + FRAME_OVERHEAD;
}

// The terminal's side of the wire: reads each request frame and answers it
// at once with the machine number echoed. Ends when the peer goes away.
class Responder {
  public:
    explicit Responder(int fd) : m_fd(fd), m_thread([this] { Run(); }) {}
    ~Responder() { Join(); }
    Responder(const Responder&) = delete;
    Responder& operator=(const Responder&) = delete;

    void Join() {
        if (m_thread.joinable())
            m_thread.join();
    }
    int Frames() const { return m_frames.load(); }
    bool Broken() const { return m_broken.load(); }

  private:
    void Run() {
        uint8_t echo[ECHO_REPLY_DATA];
        for (int i = 0; i < ECHO_REPLY_DATA; ++i)
            echo[i] = static_cast<uint8_t>(0x30 + i);
        uint8_t req[FRAME_MAX_REQUEST];
        uint8_t reply[FRAME_OVERHEAD + ECHO_REPLY_DATA];
        for (;;) {
            if (!ReadFull(m_fd, req, 5, -1))
                return;
            const int len = req[3] << 8 | req[4];
            if (req[0] != FRAME_REQUEST_START || len > FRAME_MAX_DATA ||
                !ReadFull(m_fd, req + 5, static_cast<size_t>(len) + 3, IO_WAIT_MS)) {
                m_broken.store(true);
                return;
            }
            const int count = req[2] == CMD_EXCHANGE ? ECHO_REPLY_DATA : 0;
            const int replyLen = MakeReply(req[1], echo, count, reply);
            m_frames.fetch_add(1);
            if (!WriteAll(m_fd, reply, static_cast<size_t>(replyLen)))
                return;
        }
    }

    int m_fd;
    std::atomic<int> m_frames{0};
    std::atomic<bool> m_broken{false};
    std::thread m_thread;
};

// A loopback listener on port 0. Returns its descriptor and port.
int Listen(int& port) {
    const int fd = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    if (fd < 0)
        Fail("socket");
    sockaddr_in sa{};
    sa.sin_family = AF_INET;
    sa.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    socklen_t len = sizeof sa;
    if (bind(fd, reinterpret_cast<sockaddr*>(&sa), sizeof sa) != 0 || listen(fd, 1) != 0 ||
        getsockname(fd, reinterpret_cast<sockaddr*>(&sa), &len) != 0)
        Fail("loopback listener");
    port = ntohs(sa.sin_port);
    return fd;
}

// A TCP pair on loopback: client is the engine's socket from TcpConnect,
// peer the accepted end.
struct TcpPair {
    int client = NO_SOCKET;
    int peer = -1;
};

TcpPair ConnectLoopback() {
    int port = 0;
    const int listener = Listen(port);
    TcpPair pair;
    if (TcpConnect("127.0.0.1", port, IO_WAIT_MS, pair.client) != 0)
        Fail("TcpConnect to the loopback listener");
    pollfd p{listener, POLLIN, 0};
    if (poll(&p, 1, IO_WAIT_MS) <= 0 || (pair.peer = accept(listener, nullptr, nullptr)) < 0)
        Fail("accept on the loopback listener");
    const int one = 1;
    setsockopt(pair.peer, IPPROTO_TCP, TCP_NODELAY, &one, sizeof one);
    close(listener);
    return pair;
}

// A loopback TCP connection with a responder at its far end.
class CTcpLine {
  public:
    CTcpLine() : m_pair(ConnectLoopback()), m_responder(m_pair.peer) {}
    ~CTcpLine() { Close(); }
    CTcpLine(const CTcpLine&) = delete;
    CTcpLine& operator=(const CTcpLine&) = delete;

    int Client() const { return m_pair.client; }
    const Responder& Peer() const { return m_responder; }

    // Closes the engine's end, waits for the responder to see it and closes
    // the far end. Once only.
    void Close() {
        if (!m_bOpen)
            return;
        m_bOpen = false;
        TcpClose(m_pair.client);
        m_responder.Join();
        close(m_pair.peer);
    }

  private:
    TcpPair m_pair;
    Responder m_responder;
    bool m_bOpen = true;
};

// A pseudo-terminal bound to COM number com and opened by the driver. The
// bench keeps its own raw, non-blocking slave descriptor for the baseline.
struct PtyPort {
    int com = -1;
    int master = -1;
    int slave = -1;
};

PtyPort OpenPtyPort(int com) {
    PtyPort p;
    p.com = com;
    if (openpty(&p.master, &p.slave, nullptr, nullptr, nullptr) != 0)
        Fail("openpty");
    char name[128] = {};
    if (ttyname_r(p.slave, name, sizeof name) != 0)
        Fail("ttyname_r");
    termios tio;
    if (tcgetattr(p.slave, &tio) != 0)
        Fail("tcgetattr");
    cfmakeraw(&tio);
    if (tcsetattr(p.slave, TCSANOW, &tio) != 0)
        Fail("tcsetattr");
    fcntl(p.slave, F_SETFL, fcntl(p.slave, F_GETFL) | O_NONBLOCK);
    ComBindDevice(com, name);
    if (ComOpen(com, ComBaudIndex(115200)) != 0)
        Fail("ComOpen on a pseudo-terminal");
    return p;
}

// Closes the driver's port and the slave; a responder on the master then
// sees the hang-up and ends.
void ClosePtyPort(PtyPort& p) {
    if (ComClose(p.com) != 0)
        Fail("ComClose");
    ComBindDevice(p.com, "");
    close(p.slave);
}

// One exchange of the same request on a line, made through the engine on
// the driver's handle or as a bare ping-pong on rawFd.
class CExchangeLine {
  public:
    CExchangeLine(int handle, int channel, int rawFd, const char* name)
        : m_handle(handle), m_channel(channel), m_rawFd(rawFd), m_name(name) {
        for (int i = 0; i < EXCHANGE_REQUEST_DATA; ++i)
            m_data[i] = static_cast<uint8_t>(0xA0 + i);
        if (BuildFrame(MACHINE, CMD_EXCHANGE, m_data, EXCHANGE_REQUEST_DATA, m_request) !=
            EXCHANGE_REQUEST_LEN)
            Fail("BuildFrame");
    }

    void Engine() const {
        uint8_t buf[EXCHANGE_BUF];
        const int sendLen = BuildFrame(MACHINE, CMD_EXCHANGE, m_data, EXCHANGE_REQUEST_DATA, buf);
        const int got = ExchangeFrame(m_handle, buf, EXCHANGE_BUF, sendLen, IO_WAIT_MS, IO_WAIT_MS,
                                      m_channel, nullptr, 0);
        if (got != EXCHANGE_REPLY_LEN)
            Fail(m_name + ": ExchangeFrame returned " + std::to_string(got));
    }

    void Baseline() const {
        uint8_t reply[EXCHANGE_REPLY_LEN];
        if (!WriteAll(m_rawFd, m_request, EXCHANGE_REQUEST_LEN) ||
            !ReadFull(m_rawFd, reply, EXCHANGE_REPLY_LEN, IO_WAIT_MS) ||
            reply[0] != FRAME_REPLY_START)
            Fail(m_name + ": ping-pong failed");
    }

    // The ping-pong behind the two calls the serial driver makes before each
    // request: raise DTR (which a pty refuses) and purge both queues.
    void BaselineWithLineCalls() const {
        int dtr = TIOCM_DTR;
        ioctl(m_rawFd, TIOCMBIS, &dtr);
        tcflush(m_rawFd, TCIOFLUSH);
        Baseline();
    }

  private:
    int m_handle;
    int m_channel;
    int m_rawFd;
    std::string m_name;
    uint8_t m_data[EXCHANGE_REQUEST_DATA];
    uint8_t m_request[EXCHANGE_REQUEST_LEN];
};

// Medians of one exchange through the engine, of the bare ping-pong and,
// on a serial line, of the ping-pong with the driver's line calls, in µs.
struct ExchangeFigures {
    double engine;
    double baseline;
    double lineBaseline;
};

ExchangeFigures MeasureExchange(const CExchangeLine& line, bool bSerial) {
    for (int i = 0; i < WARMUP; ++i) {
        line.Engine();
        line.Baseline();
    }
    // Alternating the sides shares out whatever else the machine is doing.
    std::vector<double> engine, baseline, lineBaseline;
    engine.reserve(SAMPLES);
    baseline.reserve(SAMPLES);
    for (int i = 0; i < SAMPLES; ++i) {
        auto t0 = Clock::now();
        line.Baseline();
        baseline.push_back(UsSince(t0));
        t0 = Clock::now();
        line.Engine();
        engine.push_back(UsSince(t0));
        if (bSerial) {
            t0 = Clock::now();
            line.BaselineWithLineCalls();
            lineBaseline.push_back(UsSince(t0));
        }
    }
    return {Median(engine), Median(baseline), bSerial ? Median(lineBaseline) : 0.0};
}

// Makes count exchanges of one side on loopback TCP ("tcp") or a
// pseudo-terminal ("pty"): the whole of the bench's --exchanges mode.
void RunExchanges(const std::string& line, bool engine, int count) {
    auto run = [&](const CExchangeLine& x) {
        for (int i = 0; i < count; ++i) {
            if (engine)
                x.Engine();
            else
                x.Baseline();
        }
    };
    if (line == "tcp") {
        CTcpLine tcp;
        run(CExchangeLine(tcp.Client(), CH_TCP, tcp.Client(), "TCP"));
        tcp.Close();
    } else {
        PtyPort pty = OpenPtyPort(COM_EXCHANGE);
        Responder responder(pty.master);
        run(CExchangeLine(COM_EXCHANGE, CH_SERIAL, pty.slave, "pty"));
        ClosePtyPort(pty);
        responder.Join();
        close(pty.master);
    }
}

// System calls of one exchange by name, and their sum; empty when strace
// could not count them.
struct CallFigures {
    std::map<std::string, double> byName;
    double total = 0;
    bool bCounted = false;
};

// The calls of a run of count exchanges by name, from strace -c's table.
// False when strace or the run failed.
bool TraceRun(const std::string& line, const char* side, int count,
              std::map<std::string, long>& calls) {
    char path[] = "/tmp/quillmark-bench-calls-XXXXXX";
    const int fd = mkstemp(path);
    if (fd < 0)
        Fail("mkstemp");
    close(fd);
    const std::string command = "strace -c -o " + std::string(path) + " '" +
                                (ProgramDir() / "quillmark-bench").string() + "' --exchanges " +
                                line + " " + side + " " + std::to_string(count) + " 2>/dev/null";
    const bool ran = std::system(command.c_str()) == 0;
    // Rows: % time, seconds, usecs/call, calls, [errors,] syscall.
    std::ifstream table(path);
    std::string row;
    while (ran && std::getline(table, row)) {
        std::istringstream cells(row);
        std::vector<std::string> cell;
        for (std::string c; cells >> c;)
            cell.push_back(c);
        if (cell.size() >= 5 && cell.back() != "total" && std::isdigit(cell[0][0]) != 0)
            calls[cell.back()] = std::stol(cell[3]);
    }
    unlink(path);
    return ran && !calls.empty();
}

// Counts the calls of a few and of many exchanges; their difference per
// exchange is what one exchange costs.
CallFigures CountCalls(const std::string& line, const char* side) {
    std::map<std::string, long> few, many;
    CallFigures f;
    if (!TraceRun(line, side, CALLS_FEW, few) || !TraceRun(line, side, CALLS_MANY, many))
        return f;
    for (const auto& [name, n] : many) {
        const double per = static_cast<double>(n - few[name]) / (CALLS_MANY - CALLS_FEW);
        if (per >= 0.005)
            f.byName[name] = per;
        f.total += per;
    }
    f.bCounted = true;
    return f;
}

std::string CallNames(const CallFigures& f) {
    if (!f.bCounted)
        return "not counted (is strace installed?)";
    std::string text;
    for (const auto& [name, per] : f.byName) {
        char cell[64];
        std::snprintf(cell, sizeof cell, "%s%s %.2f", text.empty() ? "" : ", ", name.c_str(), per);
        text += cell;
    }
    return text;
}

double ThreadCpuMs() {
    timespec ts{};
    clock_gettime(CLOCK_THREAD_CPUTIME_ID, &ts);
    return static_cast<double>(ts.tv_sec) * 1e3 + static_cast<double>(ts.tv_nsec) / 1e6;
}

struct IdleFigures {
    double wallMs;
    double cpuMs;
    double Percent() const { return wallMs > 0 ? cpuMs / wallMs * 100.0 : 0.0; }
};

// Times a reader that waits F = 2 s for a reply nobody sends.
template <class Read> IdleFigures MeasureIdle(Read read, const char* name) {
    const double cpu0 = ThreadCpuMs();
    const auto t0 = Clock::now();
    const int rc = read();
    const double wall = UsSince(t0) / 1e3;
    const double cpu = ThreadCpuMs() - cpu0;
    if (rc != RES_NO_START)
        Fail(std::string(name) + ": silent reader returned " + std::to_string(rc));
    return {wall, cpu};
}

// A 61,440-byte image in a temporary file. Returns its path.
std::string WriteImage() {
    char path[] = "/tmp/quillmark-bench-XXXXXX";
    const int fd = mkstemp(path);
    if (fd < 0)
        Fail("mkstemp");
    uint8_t image[DOWNLOAD_IMAGE_MAX];
    for (int i = 0; i < DOWNLOAD_IMAGE_MAX; ++i)
        image[i] = static_cast<uint8_t>(i * 7 + 3);
    const bool ok = WriteAll(fd, image, sizeof image);
    close(fd);
    if (!ok)
        Fail("writing the image");
    return path;
}

// The request frames of a download of the image, in order: start, size,
// 480 blocks, checksum. Only their sizes matter to the baseline.
std::vector<std::vector<uint8_t>> DownloadRequests() {
    std::vector<std::vector<uint8_t>> frames;
    auto add = [&](uint8_t command, int len) {
        uint8_t data[FRAME_MAX_DATA] = {};
        std::vector<uint8_t> f(static_cast<size_t>(len) + FRAME_OVERHEAD);
        if (BuildFrame(MACHINE, command, data, len, f.data()) != static_cast<int>(f.size()))
            Fail("BuildFrame");
        frames.push_back(std::move(f));
    };
    add(0xE7, 5);
    add(0x01, 1);
    for (int i = 0; i < DOWNLOAD_IMAGE_MAX / DOWNLOAD_BLOCK; ++i)
        add(0x03, DOWNLOAD_BLOCK + 3);
    add(0x04, 2);
    return frames;
}

struct DownloadFigures {
    double downloadMs;
    double baselineMs;
};

DownloadFigures MeasureDownload(int sock, const Responder& responder) {
    const std::string path = WriteImage();
    const auto requests = DownloadRequests();
    if (static_cast<int>(requests.size()) != DOWNLOAD_STEPS)
        Fail("download step count");

    std::vector<double> download, baseline;
    for (int run = 0; run < DOWNLOAD_RUNS; ++run) {
        auto t0 = Clock::now();
        for (const auto& f : requests) {
            uint8_t reply[EMPTY_REPLY_LEN];
            if (!WriteAll(sock, f.data(), f.size()) ||
                !ReadFull(sock, reply, EMPTY_REPLY_LEN, IO_WAIT_MS))
                Fail("download baseline: ping-pong failed");
        }
        baseline.push_back(UsSince(t0) / 1e3);

        const int frames0 = responder.Frames();
        t0 = Clock::now();
        const int rc =
            DownloadProgram(sock, MACHINE, path.c_str(), CH_TCP, BENCH_WINDOW, nullptr, 0);
        download.push_back(UsSince(t0) / 1e3);
        if (rc != 0)
            Fail("DownloadProgram returned " + std::to_string(rc));
        if (responder.Frames() - frames0 != DOWNLOAD_STEPS)
            Fail("DownloadProgram sent " + std::to_string(responder.Frames() - frames0) +
                 " frames, not " + std::to_string(DOWNLOAD_STEPS));
    }
    unlink(path.c_str());
    return {Median(download), Median(baseline)};
}

// The engine's calls per exchange against the ping-pong's, which the line
// may exceed by allowed calls.
void PrintCallsRow(const char* figure, const CallFigures& engine, const CallFigures& baseline,
                   int allowed) {
    const std::string goal =
        allowed > 0 ? "<= baseline + " + std::to_string(allowed) + " (DTR, purge)" : "<= baseline";
    if (!engine.bCounted || !baseline.bCounted) {
        PrintRow(figure, "-", "-", "-", goal, false);
        return;
    }
    PrintRow(figure, Fixed(engine.total, 2), Fixed(baseline.total, 2),
             Fixed(engine.total / baseline.total, 2), goal,
             engine.total <= baseline.total + allowed + 0.005);
}

// One exchange, engine against ping-pong, on loopback TCP and a pty.
class CExchangePart : public CBenchPart {
  public:
    explicit CExchangePart(const CTcpLine& tcp) : m_tcpLine(tcp) {}

    void Measure() override {
        m_tcp = MeasureExchange(
            CExchangeLine(m_tcpLine.Client(), CH_TCP, m_tcpLine.Client(), "TCP"), false);
        PtyPort pty = OpenPtyPort(COM_EXCHANGE);
        {
            Responder ptyResponder(pty.master);
            m_pty = MeasureExchange(CExchangeLine(COM_EXCHANGE, CH_SERIAL, pty.slave, "pty"), true);
            ClosePtyPort(pty);
            ptyResponder.Join();
            if (ptyResponder.Broken())
                Fail("pty responder saw a malformed request");
        }
        close(pty.master);
    }

    void PrintMethod() const override {
        std::printf(
            "exchange: request %d B, reply %d B; nearest-rank median of %d after %d warm-up\n",
            EXCHANGE_REQUEST_LEN, EXCHANGE_REPLY_LEN, SAMPLES, WARMUP);
    }

    void PrintRows() const override {
        const std::string goal = "<= " + Fixed(EXCHANGE_GOAL, 2) + " x baseline";
        const double tcpRatio = m_tcp.engine / m_tcp.baseline;
        const double ptyRatio = m_pty.engine / m_pty.baseline;
        const double ptyLineRatio = m_pty.engine / m_pty.lineBaseline;
        PrintRow("exchange, loopback TCP (us)", Fixed(m_tcp.engine, 1), Fixed(m_tcp.baseline, 1),
                 Fixed(tcpRatio, 2), goal, tcpRatio <= EXCHANGE_GOAL);
        PrintRow("exchange, pseudo-terminal (us)", Fixed(m_pty.engine, 1), Fixed(m_pty.baseline, 1),
                 Fixed(ptyRatio, 2), goal, ptyRatio <= EXCHANGE_GOAL);
        PrintRow("  the same, base + DTR and purge", Fixed(m_pty.engine, 1),
                 Fixed(m_pty.lineBaseline, 1), Fixed(ptyLineRatio, 2), goal,
                 ptyLineRatio <= EXCHANGE_GOAL);
    }

  private:
    const CTcpLine& m_tcpLine;
    ExchangeFigures m_tcp{};
    ExchangeFigures m_pty{};
};

// A reader waiting for a reply that never comes.
class CIdlePart : public CBenchPart {
  public:
    void Measure() override {
        TcpPair silentTcp = ConnectLoopback();
        uint8_t buf[EXCHANGE_BUF];
        m_tcp = MeasureIdle(
            [&] {
                return TcpRecvFrame(silentTcp.client, IDLE_WAIT_MS, IDLE_WAIT_MS, buf, sizeof buf);
            },
            "TCP");
        TcpClose(silentTcp.client);
        close(silentTcp.peer);

        PtyPort silentPty = OpenPtyPort(COM_SILENT);
        m_pty = MeasureIdle(
            [&] { return ComReadFrame(COM_SILENT, IDLE_WAIT_MS, IDLE_WAIT_MS, buf, sizeof buf); },
            "pty");
        ClosePtyPort(silentPty);
        close(silentPty.master);
    }

    void PrintMethod() const override {
        std::printf("idle wait: F = %d ms on a silent peer, CPU of the waiting thread\n",
                    IDLE_WAIT_MS);
    }

    void PrintRows() const override {
        const std::string goal = "<= " + Fixed(IDLE_GOAL_PERCENT, 0) + " % of wall";
        PrintRow("idle wait, TCP, CPU/wall (%)", Fixed(m_tcp.Percent(), 3), "-", "-", goal,
                 m_tcp.Percent() <= IDLE_GOAL_PERCENT);
        PrintRow("idle wait, pty, CPU/wall (%)", Fixed(m_pty.Percent(), 3), "-", "-", goal,
                 m_pty.Percent() <= IDLE_GOAL_PERCENT);
    }

    void PrintDetail() const override {
        std::printf("idle wait detail: TCP %.1f ms CPU in %.1f ms; pty %.1f ms CPU in %.1f ms\n",
                    m_tcp.cpuMs, m_tcp.wallMs, m_pty.cpuMs, m_pty.wallMs);
    }

  private:
    IdleFigures m_tcp{};
    IdleFigures m_pty{};
};

// A whole download over the same TCP connection as the exchanges, the last
// part to use it: it closes the connection.
class CDownloadPart : public CBenchPart {
  public:
    explicit CDownloadPart(CTcpLine& tcp) : m_tcpLine(tcp) {}

    void Measure() override {
        m_figures = MeasureDownload(m_tcpLine.Client(), m_tcpLine.Peer());
        m_tcpLine.Close();
        if (m_tcpLine.Peer().Broken())
            Fail("TCP responder saw a malformed request");
    }

    void PrintMethod() const override {
        std::printf("download: %d-byte image, %d steps; nearest-rank median of %d runs\n",
                    DOWNLOAD_IMAGE_MAX, DOWNLOAD_STEPS, DOWNLOAD_RUNS);
    }

    void PrintRows() const override {
        const double goal = START_PAUSE_MS + DOWNLOAD_GOAL * m_figures.baselineMs;
        PrintRow("download 61,440 B, TCP (ms)", Fixed(m_figures.downloadMs, 1),
                 Fixed(m_figures.baselineMs, 1),
                 Fixed(m_figures.downloadMs / m_figures.baselineMs, 2),
                 "<= " + std::to_string(DOWNLOAD_START_PAUSE_MS) + " + " + Fixed(DOWNLOAD_GOAL, 1) +
                     " x base = " + Fixed(goal, 1),
                 m_figures.downloadMs <= goal);
    }

    void PrintDetail() const override {
        std::printf("download detail: %.1f ms beside the %.0f ms start pause, %.2f x baseline\n",
                    m_figures.downloadMs - START_PAUSE_MS, START_PAUSE_MS,
                    (m_figures.downloadMs - START_PAUSE_MS) / m_figures.baselineMs);
    }

  private:
    CTcpLine& m_tcpLine;
    DownloadFigures m_figures{};
};

// A 1,000-exchange script through quillmark-cli run against the simulator,
// and the same frame through ExchangeFrame.
class CScriptPart : public CBenchPart {
  public:
    void Measure() override {
        std::string error;
        if (!MeasureScriptReplyTimes(SCRIPT_EXCHANGES, m_figures, error))
            Fail("script run: " + error);
    }

    void PrintMethod() const override {
        std::printf("script: %d exchanges through quillmark-cli run against quillmark-sim, median "
                    "reply time; baseline ExchangeFrame on the same frame; both nearest-rank "
                    "medians of %d\n",
                    SCRIPT_EXCHANGES, SCRIPT_EXCHANGES);
    }

    void PrintRows() const override {
        const double ratio = m_figures.dScriptMedianUs / m_figures.dExchangeMedianUs;
        PrintRow("script reply time, sim TCP (us)", Fixed(m_figures.dScriptMedianUs, 1),
                 Fixed(m_figures.dExchangeMedianUs, 1), Fixed(ratio, 2),
                 "<= " + Fixed(SCRIPT_GOAL, 2) + " x ExchangeFrame", ratio <= SCRIPT_GOAL);
    }

  private:
    ScriptFigures m_figures;
};

// The system calls of one exchange, each side on each line.
class CCallsPart : public CBenchPart {
  public:
    void Measure() override {
        m_tcp = CountCalls("tcp", "engine");
        m_tcpBase = CountCalls("tcp", "baseline");
        m_pty = CountCalls("pty", "engine");
        m_ptyBase = CountCalls("pty", "baseline");
    }

    void PrintRows() const override {
        PrintCallsRow("system calls/exchange, TCP", m_tcp, m_tcpBase, 0);
        PrintCallsRow("system calls/exchange, pty", m_pty, m_ptyBase, SERIAL_EXTRA_CALLS);
    }

    void PrintDetail() const override {
        std::printf("system calls detail (strace -c of the exchanging thread, %d exchanges less "
                    "%d):\n  TCP engine: %s\n  TCP baseline: %s\n  pty engine: %s\n"
                    "  pty baseline: %s\n",
                    CALLS_MANY, CALLS_FEW, CallNames(m_tcp).c_str(), CallNames(m_tcpBase).c_str(),
                    CallNames(m_pty).c_str(), CallNames(m_ptyBase).c_str());
    }

  private:
    CallFigures m_tcp;
    CallFigures m_tcpBase;
    CallFigures m_pty;
    CallFigures m_ptyBase;
};

} // namespace

int main(int argc, char** argv) {
    std::signal(SIGPIPE, SIG_IGN);
    SetCommResultPoster(&NoPost);
    if (argc == 5 && std::string(argv[1]) == "--exchanges") {
        RunExchanges(argv[2], std::string(argv[3]) == "engine", std::atoi(argv[4]));
        return 0;
    }

    CTcpLine tcp;
    CExchangePart exchange(tcp);
    CIdlePart idle;
    CDownloadPart download(tcp);
    CScriptPart script;
    CCallsPart calls;
    RunParts({&exchange, &idle, &download, &script, &calls});
    return 0;
}
