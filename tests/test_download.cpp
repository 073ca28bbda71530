#include <gtest/gtest.h>

#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <termios.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdio>
#include <functional>
#include <memory>
#include <mutex>
#include <numeric>
#include <optional>
#include <ostream>
#include <string>
#include <thread>
#include <vector>

#include "CommTestUtil.h"
#include "FrameUtil.h"
#include "PtyUtil.h"
#include "comm/CommJob.h"
#include "comm/DownloadRunner.h"
#include "comm/NetDriver.h"
#include "comm/SerialPort.h"
#include "protocol/Frame.h"
#include "sim/RequestAssembler.h"
#include "sim/SimTerminal.h"

namespace {

using Bytes = std::vector<uint8_t>;
using Clock = std::chrono::steady_clock;

constexpr uint8_t MACHINE = 7;
constexpr WindowHandle WND = 0x5150;
constexpr int COM_NO = 220;
constexpr int ASSEMBLER_IDLE_MS = 1000;

// One request frame as the terminal received it.
struct Request {
    uint8_t machine = 0;
    uint8_t command = 0;
    Bytes data;
    bool bWellFormed = false; // start, length, checksum and end byte right
};

// Replaces the terminal's answer to request number i; nullopt keeps it.
using Override = std::function<std::optional<Bytes>(size_t i, const Request&)>;

SimIdentity Identity(uint8_t machine) {
    SimIdentity me;
    me.nMachine = machine;
    return me;
}

// The simulated terminal on a connected descriptor (an accepted TCP
// connection or a pseudo-terminal master): cuts the request frames out of
// the stream, records them, and writes what the terminal answers. It ends
// when the other side closes or when stopped with nothing left to read.
class SimLine {
  public:
    SimLine(const SimIdentity& me, const SimFaultSettings& faults, Override override = {})
        : m_terminal(me, faults), m_override(std::move(override)) {}

    void Serve(int fd) {
        RequestAssembler assembler(ASSEMBLER_IDLE_MS);
        const auto began = Clock::now();
        const auto deadline = began + std::chrono::seconds(40);
        while (Clock::now() < deadline) {
            pollfd p{fd, POLLIN, 0};
            const int ready = poll(&p, 1, 50);
            if (ready == 0) {
                if (m_bStop)
                    return;
                continue;
            }
            uint8_t chunk[4096];
            const ssize_t got = read(fd, chunk, sizeof chunk);
            if (got <= 0)
                return;
            std::vector<RequestAssembler::Piece> pieces;
            assembler.Feed(chunk, static_cast<int>(got), static_cast<uint64_t>(MsSince(began)),
                           pieces);
            for (const RequestAssembler::Piece& piece : pieces)
                if (piece.kind == RequestAssembler::FRAME && !Answer(fd, piece.bytes))
                    return;
        }
    }

    void Stop() { m_bStop = true; }
    const std::vector<Request>& Requests() const { return m_requests; }
    const SimTerminal& Terminal() const { return m_terminal; }

  private:
    // Returns false when the terminal closes the line.
    bool Answer(int fd, const Bytes& frame) {
        Request r;
        const int n = static_cast<int>(frame.size()) - FRAME_OVERHEAD;
        r.machine = frame[1];
        r.command = frame[2];
        r.data.assign(frame.begin() + 5, frame.end() - 3);
        Bytes rebuilt(frame.size());
        r.bWellFormed = BuildFrame(r.machine, r.command, r.data.data(), n, rebuilt.data()) ==
                            static_cast<int>(frame.size()) &&
                        rebuilt == frame;
        m_requests.push_back(r);

        if (m_override) {
            if (const std::optional<Bytes> answer = m_override(m_requests.size() - 1, r)) {
                WriteBytes(fd, *answer);
                return true;
            }
        }
        const SimReply reply = m_terminal.Handle(frame.data(), static_cast<int>(frame.size()));
        for (const SimWrite& w : reply.writes) {
            std::this_thread::sleep_for(std::chrono::milliseconds(w.nDelayMs));
            WriteBytes(fd, w.bytes);
        }
        return !reply.bClose;
    }

    SimTerminal m_terminal;
    Override m_override;
    std::atomic<bool> m_bStop{false};
    std::vector<Request> m_requests;
};

// The simulated terminal on 127.0.0.1 and the console's TCP connection to it.
struct TcpLink {
    SimLine line;
    TcpPeer peer;
    int sock = NO_SOCKET;

    explicit TcpLink(Override override = {}, SimFaultSettings faults = {})
        : line(Identity(MACHINE), faults, std::move(override)) {
        peer.Serve([this](int fd) { line.Serve(fd); });
        EXPECT_EQ(TcpConnect("127.0.0.1", peer.Port(), 2000, sock), 0);
    }
    // Hangs up, then hands over what the terminal saw.
    const std::vector<Request>& Requests() {
        if (sock != NO_SOCKET)
            TcpClose(sock);
        sock = NO_SOCKET;
        line.Stop();
        peer.Join();
        return line.Requests();
    }
    ~TcpLink() { Requests(); }
};

int Count(const std::vector<Posted>& posts, int code) {
    int n = 0;
    for (const Posted& p : posts)
        n += p.code == code && p.wnd == WND;
    return n;
}

class Download : public ::testing::Test {
  protected:
    void SetUp() override {
        m_path = ::testing::TempDir() + "quillmark_download_" + std::to_string(getpid()) + ".bin";
    }
    void TearDown() override { std::remove(m_path.c_str()); }

    // Writes an image of size bytes with a pattern that has no period of 128.
    Bytes WriteImage(size_t size) {
        Bytes image(size);
        for (size_t i = 0; i < size; ++i)
            image[i] = static_cast<uint8_t>(i * 7 + i / 251 + 3);
        FILE* f = std::fopen(m_path.c_str(), "wb");
        EXPECT_NE(f, nullptr);
        if (!image.empty()) {
            EXPECT_EQ(std::fwrite(image.data(), 1, size, f), size);
        }
        std::fclose(f);
        return image;
    }

    int Run(TcpLink& link, const char* path = nullptr) {
        return DownloadProgram(link.sock, MACHINE, path ? path : m_path.c_str(), CH_TCP, WND,
                               "127.0.0.1", 0);
    }

    std::vector<Posted> Posts() { return m_posts.Posts(); }

    std::string m_path;
    PostRecorder m_posts;
};

struct SizeCase {
    size_t size;
    uint8_t sizeByte;
    long blockTotal;
};

void PrintTo(const SizeCase& c, std::ostream* os) {
    *os << c.size << " bytes";
}

class DownloadSizes : public Download, public ::testing::WithParamInterface<SizeCase> {};

TEST_P(DownloadSizes, SendsEveryBlockHeadLastThenTheByteSum) {
    const SizeCase c = GetParam();
    const Bytes image = WriteImage(c.size);
    TcpLink link;

    ASSERT_EQ(Run(link), 0);
    const std::vector<Request>& seen = link.Requests();
    EXPECT_EQ(link.line.Terminal().Image(), image) << "the terminal took the image";

    const size_t blocks = c.size <= 128 ? 1 : (c.size + 127) / 128;
    ASSERT_EQ(seen.size(), 2 + blocks + 1);
    for (const Request& r : seen) {
        EXPECT_TRUE(r.bWellFormed);
        EXPECT_EQ(r.machine, MACHINE);
    }
    EXPECT_EQ(seen[0].command, 0xE7);
    EXPECT_EQ(seen[0].data, (Bytes{'L', 'o', 'a', 'd', 'P'}));
    EXPECT_EQ(seen[1].command, 0x01);
    EXPECT_EQ(seen[1].data, Bytes{c.sizeByte});

    Bytes rebuilt(c.size, 0xEE);
    for (size_t b = 0; b < blocks; ++b) {
        const Request& r = seen[2 + b];
        const size_t offset = b + 1 < blocks ? (b + 1) * 128 : 0;
        const size_t n = std::min<size_t>(128, c.size - offset);
        ASSERT_EQ(r.command, 0x03) << "block " << b;
        ASSERT_EQ(r.data.size(), n + 3) << "block " << b;
        EXPECT_EQ(r.data[0], offset >> 8);
        EXPECT_EQ(r.data[1], offset & 0xFF);
        EXPECT_EQ(r.data[2], n);
        std::copy(r.data.begin() + 3, r.data.end(), rebuilt.begin() + offset);
    }
    EXPECT_EQ(rebuilt, image);

    const unsigned sum = std::accumulate(image.begin(), image.end(), 0u) & 0xFFFF;
    EXPECT_EQ(seen.back().command, 0x04);
    EXPECT_EQ(seen.back().data, (Bytes{static_cast<uint8_t>(sum >> 8), static_cast<uint8_t>(sum)}));

    const std::vector<Posted> posts = Posts();
    ASSERT_EQ(posts.size(), blocks + 2);
    EXPECT_EQ(posts[0].code, RC_DOWNLOAD_START);
    EXPECT_EQ(posts[0].value, c.blockTotal);
    EXPECT_EQ(Count(posts, RC_DOWNLOAD_STEP), static_cast<int>(blocks + 1));
}

INSTANTIATE_TEST_SUITE_P(Files, DownloadSizes,
                         ::testing::Values(SizeCase{0, 1, 0}, SizeCase{128, 1, 1},
                                           SizeCase{300, 1, 2}, SizeCase{512, 2, 4},
                                           SizeCase{61440, 121, 480}),
                         [](const auto& info) { return std::to_string(info.param.size); });

TEST_F(Download, RefusesAnImageLargerThanTheBufferBeforeSendingAnything) {
    WriteImage(DOWNLOAD_IMAGE_MAX + 1);
    TcpLink link;

    EXPECT_EQ(Run(link), RES_IMAGE_TOO_LARGE);
    EXPECT_TRUE(link.Requests().empty());
    EXPECT_TRUE(Posts().empty());
}

TEST_F(Download, FileThatCannotBeReadFailsAfterTheStartStep) {
    const std::string missing = m_path + ".missing";
    const std::string folder = ::testing::TempDir();
    for (const std::string& path : {missing, folder}) {
        SCOPED_TRACE(path);
        TcpLink link;
        EXPECT_EQ(Run(link, path.c_str()), RES_FILE_UNREADABLE);
        const std::vector<Request>& seen = link.Requests();
        ASSERT_EQ(seen.size(), 1u);
        EXPECT_EQ(seen[0].command, 0xE7);
    }
    EXPECT_TRUE(Posts().empty());
}

struct FailCase {
    const char* name;
    size_t failAt;     // request that gets the bad answer: 0 start, 1 size, 2.. blocks, 5 sum
    uint8_t status;    // status of the bad answer
    uint8_t machine;   // machine number of the bad answer
    int result;        // what the download returns
    int stepsPosted;   // RC_DOWNLOAD_STEP posts before it ended
    bool bStartPosted; // RC_DOWNLOAD_START posted
};

void PrintTo(const FailCase& c, std::ostream* os) {
    *os << c.name;
}

class DownloadFails : public Download, public ::testing::WithParamInterface<FailCase> {};

// A 300-byte image: start, size, blocks at 128, 256 and 0, then the sum.
TEST_P(DownloadFails, EndsAtTheFailingStepWithItsResult) {
    const FailCase c = GetParam();
    WriteImage(300);
    TcpLink link([c](size_t i, const Request&) -> std::optional<Bytes> {
        if (i != c.failAt)
            return std::nullopt;
        return MakeReply(c.machine, c.status, {});
    });

    const auto began = Clock::now();
    EXPECT_EQ(Run(link), c.result);
    EXPECT_GE(Clock::now() - began, std::chrono::milliseconds(125));
    EXPECT_EQ(link.Requests().size(), c.failAt + 1);
    const std::vector<Posted> posts = Posts();
    EXPECT_EQ(Count(posts, RC_DOWNLOAD_START), c.bStartPosted ? 1 : 0);
    EXPECT_EQ(Count(posts, RC_DOWNLOAD_STEP), c.stepsPosted);
}

INSTANTIATE_TEST_SUITE_P(Steps, DownloadFails,
                         ::testing::Values(FailCase{"start", 0, 0xAC, MACHINE, 0xAC, 0, false},
                                           FailCase{"size", 1, 0x01, MACHINE, 1, 0, false},
                                           FailCase{"first_block", 2, 0x03, MACHINE, 3, 0, true},
                                           FailCase{"last_block", 3, 0xFF, MACHINE, 255, 1, true},
                                           FailCase{"head_block", 4, 0x10, MACHINE, 0x10, 2, true},
                                           FailCase{"checksum", 5, 0x04, MACHINE, 4, 3, true},
                                           FailCase{"start_wrong_machine", 0, 0, MACHINE + 1,
                                                    RES_WRONG_MACHINE, 0, false},
                                           FailCase{"block_wrong_machine", 2, 0, 0xFF,
                                                    RES_WRONG_MACHINE, 0, true}),
                         [](const auto& info) { return std::string(info.param.name); });

TEST_F(Download, SilentTerminalGivesNoStartByteAfterSixSeconds) {
    WriteImage(300);
    TcpLink link({}, SimFaultSettings{{{FAULT_SILENT, 0xE7}}});

    const auto began = Clock::now();
    EXPECT_EQ(Run(link), RES_NO_START);
    EXPECT_GE(Clock::now() - began, std::chrono::milliseconds(DOWNLOAD_TIMEOUT_MS));
    EXPECT_EQ(link.Requests().size(), 1u);
    EXPECT_TRUE(Posts().empty());
}

TEST(Transact, RefusesBadLengthsWithoutSending) {
    TcpLink link;
    uint8_t data[400] = {};
    for (int bad : {-1, 289, 300, 301}) {
        int len = bad;
        EXPECT_EQ(
            Transact(link.sock, 1, 0x10, 500, 500, len, data, sizeof data, CH_TCP, nullptr, 0),
            RES_BAD_LENGTH)
            << bad;
        EXPECT_EQ(len, bad);
    }
    EXPECT_TRUE(link.Requests().empty());
}

TEST(Transact, CopiesNoMoreThanTheCallersBuffer) {
    TcpLink link;
    // Query by ID (0xE2) answers ID, machine number, firmware date and type:
    // 11 bytes for the 8 handed over, with room behind them so that an
    // overrun shows.
    const SimIdentity me = Identity(MACHINE);
    Bytes reply(me.id, me.id + 4);
    reply.push_back(me.nMachine);
    reply.insert(reply.end(), me.firmwareDate, me.firmwareDate + 4);
    uint8_t data[64];
    std::fill(std::begin(data), std::end(data), 0xEE);
    data[0] = me.id[3];
    int len = 1;
    EXPECT_EQ(Transact(link.sock, MACHINE, 0xE2, 1000, 1000, len, data, 8, CH_TCP, nullptr, 0), 0);
    EXPECT_EQ(len, 11);
    EXPECT_EQ(Bytes(data, data + 8), Bytes(reply.begin(), reply.begin() + 8));
    EXPECT_EQ(Bytes(data + 8, data + 64), Bytes(56, 0xEE));
    const std::vector<Request>& seen = link.Requests();
    ASSERT_EQ(seen.size(), 1u);
    EXPECT_EQ(seen[0].data, Bytes{me.id[3]});
}

// A reply behind an acknowledgement, as the serial reader leaves it: the
// acknowledgement is not the reply.
TEST(Transact, UnpacksTheReplyBehindAnAcknowledgementOnSerial) {
    PtyPair pty;
    ASSERT_TRUE(pty.Open());
    termios raw{};
    tcgetattr(pty.slave, &raw);
    cfmakeraw(&raw);
    tcsetattr(pty.slave, TCSANOW, &raw);
    ASSERT_EQ(ComBindDevice(COM_NO, pty.path.c_str()), 0);

    for (const int channel : {CH_SERIAL, CH_MODEM}) {
        for (const uint8_t machine : {uint8_t{1}, uint8_t{0xFF}}) {
            SCOPED_TRACE(std::to_string(channel) + "/" + std::to_string(machine));
            ASSERT_EQ(ComOpen(COM_NO, 7), 0);
            // The build-date command (0xE5) answers four bytes.
            SimLine line(Identity(1), SimFaultSettings{{{FAULT_ACK, 0xE5}}});
            std::thread terminal([&] { line.Serve(pty.master); });
            uint8_t data[8] = {0x42};
            int len = 1;
            EXPECT_EQ(Transact(COM_NO, machine, 0xE5, 1000, 1000, len, data, sizeof data, channel,
                               nullptr, 0),
                      0);
            line.Stop();
            terminal.join();
            const uint8_t* date = line.Terminal().Identity().buildDate;
            EXPECT_EQ(len, 4);
            EXPECT_EQ(Bytes(data, data + 4), Bytes(date, date + 4));
            EXPECT_EQ(line.Requests().size(), 1u);
            ComClose(COM_NO);
        }
    }
    ComBindDevice(COM_NO, "");
}

struct UdpCase {
    const char* name;
    std::vector<Bytes> datagrams;
    int result;
    int len;
    Bytes copied; // the first bytes of the data buffer afterwards
};

// UDP replies come unchecked: an acknowledgement may lead, the length field
// may claim more than arrived, and a reply may be shorter than a header.
// The answers wait in the socket before the request goes out.
TEST(Transact, UdpReplyIsBoundedByWhatArrived) {
    const std::vector<UdpCase> cases = {
        {"acknowledgement then reply",
         {Concat(AckBytes(), MakeReply(1, 0x02, {0x11, 0x22}))},
         2,
         2,
         {0x11, 0x22, 0xEE}},
        {"length field beyond the datagram",
         {{0xC2, 0x01, 0x00, 0x00, 0x20, 0xAA, 0xBB, 0xCC}},
         0,
         32,
         {0xAA, 0xBB, 0xCC, 0xEE}},
        {"shorter than a header", {{0xC2, 0x01}, {0x00, 0x00}}, RES_RECV_ERROR, 0, {0xEE}},
    };
    for (const UdpCase& c : cases) {
        SCOPED_TRACE(c.name);
        const int peer = BoundSocket(SOCK_DGRAM, 0);
        ASSERT_GE(peer, 0);
        int sock = NO_SOCKET;
        ASSERT_EQ(UdpBind("127.0.0.1", 0, sock), 0);
        const sockaddr_in self = Loopback(LocalPort(sock));
        for (const Bytes& d : c.datagrams)
            ASSERT_EQ(sendto(peer, d.data(), d.size(), 0, reinterpret_cast<const sockaddr*>(&self),
                             sizeof self),
                      static_cast<ssize_t>(d.size()));

        uint8_t data[16];
        std::fill(std::begin(data), std::end(data), 0xEE);
        int len = 0;
        EXPECT_EQ(Transact(sock, 1, 0x10, 1000, 1000, len, data, sizeof data, CH_UDP, "127.0.0.1",
                           LocalPort(peer)),
                  c.result);
        EXPECT_EQ(len, c.len);
        EXPECT_EQ(Bytes(data, data + c.copied.size()), c.copied);
        uint8_t request[64];
        EXPECT_EQ(recv(peer, request, sizeof request, MSG_DONTWAIT), 8) << "the request went out";
        UdpClose(sock);
        close(peer);
    }
}

} // namespace
