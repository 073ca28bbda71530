// Capture files: what the writer records reads back, damaged or foreign
// files are refused or read up to their fault, and the engine's hook records
// every byte of an exchange once, cut as the reader cut it.
#include <gtest/gtest.h>

#include <signal.h>
#include <sys/resource.h>
#include <sys/socket.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <string>
#include <thread>
#include <vector>

#include "FdIo.h"
#include "FrameUtil.h"
#include "LoopbackPeer.h"
#include "TempDir.h"
#include "comm/CaptureReader.h"
#include "comm/CaptureTap.h"
#include "comm/CaptureWriter.h"
#include "comm/Clock.h"
#include "comm/CommThread.h"
#include "comm/NetDriver.h"
#include "protocol/Channel.h"

namespace {

using Bytes = std::vector<uint8_t>;

const Bytes REQUEST = {0xC0, 0xFF, 0xE4, 0x00, 0x00, 0xC2, 0x8C, 0xC1};
const Bytes REPLY = MakeReply(0xFF, 0, {0x03, 0x01, 0x24});

Bytes Load(const std::filesystem::path& path) {
    const std::string s = ReadFile(path);
    return Bytes(s.begin(), s.end());
}

int Parse(const Bytes& file, Capture& cap, std::string& error) {
    return ParseCapture(file.data(), file.size(), cap, error);
}

// A capture of one interface and three packets, and the offsets at which
// each of its blocks begins (section header, interface, packets).
struct Sample {
    Bytes file;
    std::vector<size_t> blocks;
};

Sample MakeSample(const TempDir& dir) {
    const auto path = dir.path / "sample.pcapng";
    CCaptureWriter w;
    Sample s;
    s.blocks.push_back(0);
    const auto mark = [&] { s.blocks.push_back(Load(path).size()); };
    EXPECT_EQ(w.Open(path, CAPTURE_SIDE_HOST, "test"), 0);
    mark();
    EXPECT_EQ(w.AddInterface("TCP 127.0.0.1:6688", "terminal"), 0);
    mark();
    EXPECT_EQ(w.Packet(0, CAPTURE_OUT, 1000, REQUEST.data(), 8), 0);
    mark();
    EXPECT_EQ(w.Packet(0, CAPTURE_IN, 2000, REPLY.data(), 11, "a note"), 0);
    mark();
    EXPECT_EQ(w.Packet(0, CAPTURE_IN, 3000, REPLY.data(), 3), 0);
    EXPECT_EQ(w.Close(), 0);
    s.file = Load(path);
    return s;
}

void SetU32(Bytes& f, size_t at, uint32_t v) {
    std::memcpy(f.data() + at, &v, 4);
}

TEST(CaptureFile, WrittenPacketsReadBack) {
    TempDir dir;
    const auto path = dir.path / "c.pcapng";
    CCaptureWriter w;
    ASSERT_EQ(w.Open(path, CAPTURE_SIDE_TERMINAL, "quillmark-sim"), 0);
    ASSERT_EQ(w.AddInterface("TCP 127.0.0.1:6688", "client 127.0.0.1:5000"), 0);
    ASSERT_EQ(w.AddInterface("UDP 127.0.0.1:6689", ""), 1);
    // Lengths that need no padding, and some that do; the last time needs
    // both halves of the stamp.
    ASSERT_EQ(w.Packet(0, CAPTURE_IN, 1700000000123456, REQUEST.data(), 8), 0);
    ASSERT_EQ(w.Packet(1, CAPTURE_OUT, 1700000000123999, REPLY.data(), 11, "校验: -9"), 0);
    ASSERT_EQ(w.Packet(0, CAPTURE_OUT, 1, REPLY.data(), 1, "x"), 0);
    ASSERT_EQ(w.Close(), 0);

    Capture cap;
    std::string error;
    ASSERT_EQ(LoadCapture(path, cap, error), CAPTURE_READ_OK) << error;
    ASSERT_EQ(cap.interfaces.size(), 2u);
    EXPECT_EQ(cap.interfaces[0].nLinkType, 147);
    EXPECT_EQ(cap.interfaces[0].nSide, CAPTURE_SIDE_TERMINAL);
    EXPECT_EQ(cap.interfaces[0].strProgram, "quillmark-sim");
    EXPECT_EQ(cap.interfaces[0].strName, "TCP 127.0.0.1:6688");
    EXPECT_EQ(cap.interfaces[0].strDescription, "client 127.0.0.1:5000");
    EXPECT_EQ(cap.interfaces[1].strDescription, "");
    ASSERT_EQ(cap.packets.size(), 3u);
    const CapturePacket& a = cap.packets[0];
    EXPECT_EQ(a.nInterface, 0);
    EXPECT_EQ(a.nTimeUs, 1700000000123456);
    EXPECT_EQ(a.nDirection, CAPTURE_IN);
    EXPECT_EQ(a.bytes, REQUEST);
    EXPECT_EQ(a.strComment, "");
    const CapturePacket& b = cap.packets[1];
    EXPECT_EQ(b.nInterface, 1);
    EXPECT_EQ(b.nDirection, CAPTURE_OUT);
    EXPECT_EQ(b.bytes, REPLY);
    EXPECT_EQ(b.strComment, "校验: -9");
    EXPECT_EQ(cap.packets[2].bytes, Head(REPLY, 1));
    EXPECT_EQ(cap.packets[2].nTimeUs, 1);
    EXPECT_EQ(cap.nSkippedBlocks, 0);
}

TEST(CaptureFile, WriterRefusesWhatItCannotRecord) {
    TempDir dir;
    CCaptureWriter w;
    EXPECT_EQ(w.Packet(0, CAPTURE_IN, 0, REQUEST.data(), 8), -EBADF);
    EXPECT_EQ(w.AddInterface("x", "y"), -EBADF);
    EXPECT_EQ(w.Open(dir.path / "no-folder" / "c.pcapng", CAPTURE_SIDE_HOST, "t"), -ENOENT);
    EXPECT_EQ(w.Open(dir.path, CAPTURE_SIDE_HOST, "t"), -EISDIR);
    EXPECT_EQ(w.Open(dir.path / "c", 7, "t"), -EINVAL);
    ASSERT_EQ(w.Open(dir.path / "c", CAPTURE_SIDE_HOST, "t"), 0);
    ASSERT_EQ(w.AddInterface("x", "y"), 0);
    const Bytes big(CAPTURE_PACKET_MAX + 1);
    EXPECT_EQ(w.Packet(1, CAPTURE_IN, 0, REQUEST.data(), 8), -EINVAL);
    EXPECT_EQ(w.Packet(0, 3, 0, REQUEST.data(), 8), -EINVAL);
    EXPECT_EQ(w.Packet(0, CAPTURE_IN, 0, big.data(), CAPTURE_PACKET_MAX + 1), -EMSGSIZE);
    EXPECT_EQ(w.Packet(0, CAPTURE_IN, 0, big.data(), CAPTURE_PACKET_MAX), 0);
    EXPECT_EQ(w.Close(), 0);
    EXPECT_EQ(w.Close(), 0);
}

TEST(CaptureFile, FailedWriteLeavesTheFileAtItsLastWholeBlock) {
    TempDir dir;
    const auto path = dir.path / "full.pcapng";
    // A file size limit stands for a full disk: the write that crosses it
    // is cut short, the next fails with EFBIG.
    rlimit old{};
    getrlimit(RLIMIT_FSIZE, &old);
    const auto oldHandler = signal(SIGXFSZ, SIG_IGN);
    rlimit small = old;
    small.rlim_cur = 500;
    ASSERT_EQ(setrlimit(RLIMIT_FSIZE, &small), 0);
    CCaptureWriter w;
    int rc = w.Open(path, CAPTURE_SIDE_HOST, "t");
    if (rc == 0)
        rc = w.AddInterface("x", "y") < 0 ? -1 : 0;
    int written = 0;
    while (rc == 0 && written < 100) {
        rc = w.Packet(0, CAPTURE_OUT, written, REPLY.data(), 11);
        written += rc == 0 ? 1 : 0;
    }
    const int closed = w.Close();
    setrlimit(RLIMIT_FSIZE, &old);
    signal(SIGXFSZ, oldHandler);

    // The write that crosses the limit is cut short, as on a full disk.
    EXPECT_EQ(rc, -ENOSPC);
    EXPECT_EQ(closed, rc);
    EXPECT_EQ(w.Packet(0, CAPTURE_OUT, 0, REPLY.data(), 11), -EBADF);
    Capture cap;
    std::string error;
    EXPECT_EQ(LoadCapture(path, cap, error), CAPTURE_READ_OK) << error;
    EXPECT_GT(written, 0);
    EXPECT_EQ(static_cast<int>(cap.packets.size()), written);
}

TEST(CaptureReader, RefusesWhatIsNoCapture) {
    TempDir dir;
    const Sample s = MakeSample(dir);
    Bytes badMagic = s.file;
    SetU32(badMagic, 8, 0x11223344);
    const Bytes idbFirst = Tail(s.file, s.blocks[1]);
    struct Case {
        std::string name;
        Bytes bytes;
        std::string says;
    };
    const Case cases[] = {
        {"empty", {}, "empty"},
        {"pcap", {0xD4, 0xC3, 0xB2, 0xA1, 2, 0, 4, 0}, "pcap file"},
        {"pcap, big-endian", {0xA1, 0xB2, 0xC3, 0xD4, 0, 2, 0, 4}, "pcap file"},
        {"pcap, nanoseconds", {0x4D, 0x3C, 0xB2, 0xA1, 2, 0, 4, 0}, "pcap file"},
        {"text", {'h', 'e', 'l', 'l', 'o', '\n'}, "not a capture"},
        {"three bytes", {0x0A, 0x0D, 0x0D}, "not a capture"},
        {"bad byte-order magic", badMagic, "byte-order magic"},
        {"no section header first", idbFirst, "not a capture"},
    };
    for (const Case& c : cases) {
        Capture cap;
        std::string error;
        EXPECT_EQ(Parse(c.bytes, cap, error), CAPTURE_NOT_PCAPNG) << c.name;
        EXPECT_NE(error.find(c.says), std::string::npos) << c.name << ": " << error;
        EXPECT_TRUE(cap.packets.empty()) << c.name;
    }
    Capture cap;
    std::string error;
    EXPECT_EQ(LoadCapture((dir.path / "missing").string(), cap, error), CAPTURE_NOT_PCAPNG);
    EXPECT_NE(error.find("missing: cannot read"), std::string::npos) << error;
}

TEST(CaptureReader, KeepsWhatPrecedesAFault) {
    TempDir dir;
    const Sample s = MakeSample(dir);
    const size_t second = s.blocks[3]; // the second packet's block
    struct Case {
        std::string name;
        size_t at;      // offset of the field changed
        uint32_t value; // its new value
        std::string says;
    };
    const Case cases[] = {
        {"length past the end", second + 4, 0x1000, "runs past the end"},
        {"huge length", second + 4, 0xFFFFFFF0, "runs past the end"},
        {"length not a multiple of 4", second + 4, 45, "bad block length"},
        {"length under a block header", second + 4, 8, "bad block length"},
        {"packet on an undescribed interface", second + 8, 1, "interface 1"},
        {"packet larger than Wireshark reads", second + 20, CAPTURE_PACKET_MAX + 4, "more than"},
        {"packet data past its block", second + 20, 200, "runs past the end of its block"},
    };
    for (const Case& c : cases) {
        Bytes f = s.file;
        SetU32(f, c.at, c.value);
        Capture cap;
        std::string error;
        EXPECT_EQ(Parse(f, cap, error), CAPTURE_DAMAGED) << c.name;
        EXPECT_NE(error.find("offset " + std::to_string(second)), std::string::npos) << error;
        EXPECT_NE(error.find(c.says), std::string::npos) << c.name << ": " << error;
        ASSERT_EQ(cap.packets.size(), 1u) << c.name;
        EXPECT_EQ(cap.packets[0].bytes, REQUEST) << c.name;
    }
    // Cut anywhere: the whole blocks before the cut are read; a cut inside
    // the section header leaves no capture, one further in a damaged one.
    std::vector<size_t> ends(s.blocks.begin() + 1, s.blocks.end());
    ends.push_back(s.file.size());
    for (size_t cut = 1; cut < s.file.size(); ++cut) {
        Capture cap;
        std::string error;
        const int rc = Parse(Head(s.file, cut), cap, error);
        const size_t whole = static_cast<size_t>(
            std::count_if(ends.begin(), ends.end(), [&](size_t e) { return e <= cut; }));
        const bool bBoundary = std::find(ends.begin(), ends.end(), cut) != ends.end();
        EXPECT_EQ(rc,
                  whole == 0 ? CAPTURE_NOT_PCAPNG : (bBoundary ? CAPTURE_READ_OK : CAPTURE_DAMAGED))
            << cut;
        EXPECT_EQ(cap.packets.size(), whole > 2 ? whole - 2 : 0) << cut;
    }
}

TEST(CaptureReader, SkipsBlocksOfOtherKinds) {
    TempDir dir;
    const Sample s = MakeSample(dir);
    // An interface statistics block and one of a type pcapng does not know,
    // between the first and the second packet.
    Bytes other = {5, 0, 0, 0, 16, 0, 0, 0, 0, 0, 0, 0, 16, 0, 0, 0};
    Bytes unknown = other;
    SetU32(unknown, 0, 0x7EADBEEF);
    Bytes f = Head(s.file, s.blocks[3]);
    f = Concat(Concat(Concat(f, other), unknown), Tail(s.file, s.blocks[3]));
    Capture cap;
    std::string error;
    EXPECT_EQ(Parse(f, cap, error), CAPTURE_READ_OK) << error;
    EXPECT_EQ(cap.packets.size(), 3u);
    EXPECT_EQ(cap.nSkippedBlocks, 2);
}

// Blocks in big-endian order, as a capture written on such a machine holds.
class BigEndian {
  public:
    BigEndian& U16(uint16_t v) { return Put(v, 2); }
    BigEndian& U32(uint32_t v) { return Put(v, 4); }
    BigEndian& Raw(const std::vector<uint8_t>& b) {
        m_b.insert(m_b.end(), b.begin(), b.end());
        return *this;
    }
    // Puts a block of type around body.
    void Block(uint32_t type, const std::vector<uint8_t>& body) {
        const uint32_t total = static_cast<uint32_t>(body.size() + 12);
        U32(type).U32(total).Raw(body).U32(total);
    }
    std::vector<uint8_t> Take() { return std::move(m_b); }

  private:
    BigEndian& Put(uint64_t v, int n) {
        for (int i = n - 1; i >= 0; --i)
            m_b.push_back(static_cast<uint8_t>(v >> (8 * i)));
        return *this;
    }
    std::vector<uint8_t> m_b;
};

TEST(CaptureReader, ReadsBigEndianSectionsAndOtherTimeResolutions) {
    BigEndian shb;
    shb.U32(PCAPNG_BYTE_ORDER_MAGIC).U16(1).U16(0).U32(0xFFFFFFFF).U32(0xFFFFFFFF);
    // Nanoseconds (if_tsresol 9) and an offset of 10 s (if_tsoffset).
    BigEndian idb;
    idb.U16(147).U16(0).U32(0).U16(PCAPNG_IF_NAME).U16(3).Raw({'t', 't', 'y', 0});
    idb.U16(PCAPNG_IF_TSRESOL).U16(1).Raw({9, 0, 0, 0});
    idb.U16(PCAPNG_IF_TSOFFSET).U16(8).U32(0).U32(10).U16(0).U16(0);
    BigEndian epb;
    const uint64_t ns = 1234567891;
    epb.U32(0).U32(static_cast<uint32_t>(ns >> 32)).U32(static_cast<uint32_t>(ns)).U32(3).U32(3);
    epb.Raw({0xC2, 0xFF, 0x00, 0x00}).U16(PCAPNG_EPB_FLAGS).U16(4).U32(CAPTURE_OUT).U32(0);
    BigEndian file;
    file.Block(PCAPNG_SHB, shb.Take());
    file.Block(PCAPNG_IDB, idb.Take());
    file.Block(PCAPNG_EPB, epb.Take());
    Capture cap;
    std::string error;
    ASSERT_EQ(Parse(file.Take(), cap, error), CAPTURE_READ_OK) << error;
    ASSERT_EQ(cap.interfaces.size(), 1u);
    EXPECT_EQ(cap.interfaces[0].strName, "tty");
    EXPECT_EQ(cap.interfaces[0].nSide, CAPTURE_SIDE_UNKNOWN);
    ASSERT_EQ(cap.packets.size(), 1u);
    EXPECT_EQ(cap.packets[0].nTimeUs, 10000000 + 1234567);
    EXPECT_EQ(cap.packets[0].nDirection, CAPTURE_OUT);
    EXPECT_EQ(cap.packets[0].bytes, Bytes({0xC2, 0xFF, 0x00}));
}

// ---- the engine's hook ----------------------------------------------------

class CaptureHook : public ::testing::Test {
  protected:
    void SetUp() override {
        ASSERT_EQ(m_writer.Open(m_path, CAPTURE_SIDE_HOST, "test"), 0);
        m_link = {&m_writer, m_writer.AddInterface("line", "")};
        m_t0 = WallUs();
    }

    // The packets recorded so far, each stamped within the test's span.
    std::vector<CapturePacket> Packets() {
        m_writer.Close();
        Capture cap;
        std::string error;
        EXPECT_EQ(LoadCapture(m_path, cap, error), CAPTURE_READ_OK) << error;
        int64_t last = m_t0;
        for (const CapturePacket& p : cap.packets) {
            EXPECT_GE(p.nTimeUs, last);
            last = p.nTimeUs;
        }
        EXPECT_LE(last, WallUs());
        return cap.packets;
    }

    TempDir m_dir;
    std::string m_path = (m_dir.path / "hook.pcapng").string();
    CCaptureWriter m_writer;
    CaptureLink m_link;
    int64_t m_t0 = 0;
};

TEST_F(CaptureHook, TcpExchangeRecordsRequestSkippedBytesAndRefusedReply) {
    const Bytes bad = WithByte(REPLY, 9, REPLY[9] ^ 1);
    TcpPeer peer;
    peer.Serve([&](int fd) {
        ReadBytes(fd, REQUEST.size(), 5000);
        WriteBytes(fd, Concat({0x55, 0xAA, 0x00}, bad));
        PeerCloses(fd, 5000);
    });
    int sock = NO_SOCKET;
    ASSERT_EQ(TcpConnect("127.0.0.1", peer.Port(), 2000, sock), 0);
    uint8_t buf[600];
    std::copy(REQUEST.begin(), REQUEST.end(), buf);
    EXPECT_EQ(ExchangeFrame(sock, buf, sizeof buf, 8, 2000, 1000, CH_TCP, "", 0, m_link),
              RES_CHECKSUM);
    TcpClose(sock);
    peer.Join();

    const auto packets = Packets();
    ASSERT_EQ(packets.size(), 3u);
    EXPECT_EQ(packets[0].nDirection, CAPTURE_OUT);
    EXPECT_EQ(packets[0].bytes, REQUEST);
    EXPECT_EQ(packets[0].strComment, "");
    EXPECT_EQ(packets[1].nDirection, CAPTURE_IN);
    EXPECT_EQ(packets[1].bytes, Bytes({0x55, 0xAA, 0x00}));
    EXPECT_EQ(packets[1].strComment, CapturePieceComment(PIECE_SKIPPED));
    EXPECT_EQ(packets[2].bytes, bad);
    EXPECT_EQ(packets[2].strComment, "-9 数据校验错误!");
}

// Bytes read ahead behind the reply are recorded when they are taken, by
// the raw receive, and only then.
TEST_F(CaptureHook, BytesReadAheadAreRecordedOnceWhenTaken) {
    const Bytes tail = {0x41, 0x42};
    TcpPeer peer;
    peer.Serve([&](int fd) {
        ReadBytes(fd, REQUEST.size(), 5000);
        WriteBytes(fd, Concat(REPLY, tail));
        PeerCloses(fd, 5000);
    });
    int sock = NO_SOCKET;
    ASSERT_EQ(TcpConnect("127.0.0.1", peer.Port(), 2000, sock), 0);
    uint8_t buf[600];
    std::copy(REQUEST.begin(), REQUEST.end(), buf);
    EXPECT_EQ(ExchangeFrame(sock, buf, sizeof buf, 8, 2000, 1000, CH_TCP, "", 0, m_link), 11);
    EXPECT_EQ(RecvRaw(sock, buf, CH_TCP, m_link), 2);
    TcpClose(sock);
    peer.Join();

    const auto packets = Packets();
    ASSERT_EQ(packets.size(), 3u);
    EXPECT_EQ(packets[0].bytes, REQUEST);
    EXPECT_EQ(packets[1].bytes, REPLY);
    EXPECT_EQ(packets[1].strComment, "");
    EXPECT_EQ(packets[2].bytes, tail);
    EXPECT_EQ(packets[2].nDirection, CAPTURE_IN);
}

TEST_F(CaptureHook, UdpDatagramsAndRawReceivesArePacketsOfTheirOwn) {
    int sock = NO_SOCKET;
    ASSERT_EQ(UdpBind("127.0.0.1", 0, sock), 0);
    const int peerFd = BoundSocket(SOCK_DGRAM, 0);
    const sockaddr_in to = Loopback(LocalPort(sock));
    const Bytes ackReply = Concat(AckBytes(), REPLY);
    std::thread peer([&] {
        uint8_t req[64];
        if (!WaitReadable(peerFd, 5000) || recv(peerFd, req, sizeof req, 0) <= 0)
            return;
        for (const Bytes& d : {ackReply, Bytes{0x01, 0x02}})
            sendto(peerFd, d.data(), d.size(), 0, reinterpret_cast<const sockaddr*>(&to),
                   sizeof to);
    });
    uint8_t buf[600];
    std::copy(REQUEST.begin(), REQUEST.end(), buf);
    EXPECT_EQ(ExchangeFrame(sock, buf, sizeof buf, 8, 2000, 1000, CH_UDP, "127.0.0.1",
                            LocalPort(peerFd), m_link),
              20);
    peer.join();
    EXPECT_EQ(RecvRaw(sock, buf, CH_UDP, m_link), 2);
    UdpClose(sock);
    close(peerFd);

    const auto packets = Packets();
    ASSERT_EQ(packets.size(), 3u);
    EXPECT_EQ(packets[0].bytes, REQUEST);
    EXPECT_EQ(packets[1].bytes, ackReply);
    EXPECT_EQ(packets[1].nDirection, CAPTURE_IN);
    EXPECT_EQ(packets[2].bytes, Bytes({0x01, 0x02}));
    EXPECT_EQ(packets[2].nDirection, CAPTURE_IN);
}

TEST(CaptureChannelName, SaysWhichLine) {
    EXPECT_EQ(CaptureChannelName(CH_TCP, 6688, "127.0.0.1", 0), "TCP 127.0.0.1:6688");
    EXPECT_EQ(CaptureChannelName(CH_UDP, 6689, "10.0.0.2", 0), "UDP 10.0.0.2:6689");
    EXPECT_EQ(CaptureChannelName(CH_SERIAL, 33, "", 19200), "COM33 /dev/ttyUSB0 19200 8N1");
    EXPECT_EQ(CaptureChannelName(CH_MODEM, 1, "", 9600), "COM1 /dev/ttyS0 9600 8N1 modem");
}

} // namespace
