#include <gtest/gtest.h>

#include <algorithm>
#include <cstdio>
#include <fstream>
#include <iterator>
#include <string>
#include <unistd.h>
#include <vector>

#include "FrameUtil.h"
#include "protocol/Frame.h"
#include "sim/RequestAssembler.h"
#include "sim/SimTerminal.h"

namespace {

using Bytes = std::vector<uint8_t>;

Bytes Concat(Bytes a, const Bytes& b) {
    a.reserve(a.size() + b.size());
    for (uint8_t x : b)
        a.push_back(x);
    return a;
}

Bytes Request(uint8_t machine, uint8_t command, const Bytes& data = {}) {
    Bytes out(data.size() + FRAME_OVERHEAD);
    const int len = static_cast<int>(data.size());
    out.resize(static_cast<size_t>(BuildFrame(machine, command, data.data(), len, out.data())));
    return out;
}

SimReply Send(SimTerminal& t, const Bytes& frame) {
    return t.Handle(frame.data(), static_cast<int>(frame.size()));
}

// The reply's bytes when the terminal answers in one plain write.
Bytes Answer(SimTerminal& t, uint8_t machine, uint8_t command, const Bytes& data = {}) {
    const SimReply r = Send(t, Request(machine, command, data));
    if (r.writes.empty())
        return {};
    EXPECT_EQ(r.writes.size(), 1u);
    return r.writes[0].bytes;
}

struct LayoutCase {
    const char* name;
    uint8_t command;
    Bytes request;
    bool card;
    Bytes reply; // data of a status-0 reply
};

TEST(SimTerminal, RepliesAreLaidOutAsTheConsoleDecodesThem) {
    const LayoutCase cases[] = {
        {"version: type, firmware date", 0xE4, {}, true, {3, 1, 0x24, 0x05, 0x17, 0x10}},
        {"reader ID: ID, machine number", 0xE1, {}, true, {0x12, 0x34, 0x56, 0x78, 1}},
        {"completion date", 0xE5, {}, true, {0x24, 0x06, 0x03, 0x09}},
        {"query by ID low byte",
         0xE2,
         {0x78},
         true,
         {0x12, 0x34, 0x56, 0x78, 1, 0x24, 0x05, 0x17, 0x10, 3, 1}},
        {"power on with a card: ATR",
         0x03,
         {},
         true,
         {0x3B, 0x69, 0x00, 0x00, 0x51, 0x75, 0x69, 0x6C, 0x6C, 0x6D, 0x61, 0x72, 0x6B}},
        {"power on without a card: one byte", 0x03, {}, false, {0x01}},
        {"power off", 0x07, {}, true, {}},
        {"PC/SC mode", 0x24, {0xFF}, true, {0xFF}},
        {"set ID", 0xE0, {1, 2, 3, 4}, true, {}},
        {"set rate", 0xE6, {6}, true, {}},
        {"other command: echo", 0x55, {0xA0, 0xC1, 0x00}, true, {0xA0, 0xC1, 0x00}},
    };
    for (const LayoutCase& c : cases) {
        SimIdentity me;
        me.bCard = c.card;
        SimTerminal t(me, {});
        EXPECT_EQ(Answer(t, 1, c.command, c.request), MakeReply(1, 0, c.reply)) << c.name;
    }
}

TEST(SimTerminal, ManagementCommandsChangeTheTerminal) {
    SimTerminal t({}, {});
    EXPECT_EQ(Answer(t, 0xFF, 0xE0, {0x0A, 0x0B, 0x0C, 0x0D}), MakeReply(0xFF, 0, {}));
    EXPECT_EQ(Answer(t, 0xFF, 0xE1), MakeReply(0xFF, 0, {0x0A, 0x0B, 0x0C, 0x0D, 1}));

    // Another terminal's ID or low byte: this one stays silent.
    EXPECT_TRUE(Answer(t, 0xFF, 0xE3, {0x12, 0x34, 0x56, 0x78, 12}).empty());
    EXPECT_TRUE(Answer(t, 0xFF, 0xE2, {0x78}).empty());

    EXPECT_EQ(Answer(t, 0xFF, 0xE3, {0x0A, 0x0B, 0x0C, 0x0D, 12}), MakeReply(0xFF, 0, {}));
    EXPECT_EQ(t.Identity().nMachine, 12);
    EXPECT_TRUE(Answer(t, 1, 0xE5).empty());
    EXPECT_EQ(Answer(t, 12, 0xE5), MakeReply(12, 0, {0x24, 0x06, 0x03, 0x09}));

    EXPECT_EQ(Answer(t, 12, 0xE6, {7}), MakeReply(12, 0, {}));
    EXPECT_EQ(t.Identity().nRate, 7);

    // Refused values leave the terminal as it was.
    EXPECT_EQ(Answer(t, 12, 0xE6, {8}), MakeReply(12, SIM_ST_BAD_REQUEST, {}));
    EXPECT_EQ(Answer(t, 0xFF, 0xE3, {0x0A, 0x0B, 0x0C, 0x0D, 0}),
              MakeReply(0xFF, SIM_ST_BAD_REQUEST, {}));
    EXPECT_EQ(Answer(t, 0xFF, 0xE0, {1, 2, 3}), MakeReply(0xFF, SIM_ST_BAD_REQUEST, {}));
    EXPECT_EQ(t.Identity().nRate, 7);
    EXPECT_EQ(t.Identity().nMachine, 12);
    EXPECT_EQ(Bytes(t.Identity().id, t.Identity().id + 4), (Bytes{0x0A, 0x0B, 0x0C, 0x0D}));
}

TEST(SimTerminal, AnswersItsOwnNumberAndTheBroadcastWithTheNumberAddressed) {
    SimIdentity me;
    me.nMachine = 7;
    SimTerminal t(me, {});
    EXPECT_EQ(Answer(t, 7, 0x07), MakeReply(7, 0, {}));
    EXPECT_EQ(Answer(t, 0xFF, 0x07), MakeReply(0xFF, 0, {}));
    for (uint8_t other : {0, 1, 8, 254}) {
        const SimReply r = Send(t, Request(other, 0x07));
        EXPECT_TRUE(r.writes.empty()) << int(other);
        EXPECT_FALSE(r.bClose);
    }
}

TEST(SimTerminal, DamagedRequestGetsTheTransferErrorFrame) {
    SimTerminal t({}, {});
    const Bytes transferError(TransferErrorFrame, TransferErrorFrame + 9);
    Bytes badCrc = Request(1, 0xE0, {9, 9, 9, 9});
    badCrc[badCrc.size() - 2] ^= 0x01;
    Bytes badEnd = Request(1, 0xE0, {9, 9, 9, 9});
    badEnd.back() = 0xC3;
    for (const Bytes& f : {badCrc, badEnd}) {
        const SimReply r = Send(t, f);
        ASSERT_EQ(r.writes.size(), 1u);
        EXPECT_EQ(r.writes[0].bytes, transferError);
    }
    EXPECT_EQ(t.Identity().id[0], 0x12) << "a damaged request is not carried out";

    Bytes elsewhere = Request(2, 0xE4);
    elsewhere[6] ^= 0x01;
    EXPECT_TRUE(Send(t, elsewhere).writes.empty());
}

// Runs the console's download sequence; returns the first non-zero status
// (or 0) and the step at which it came.
struct Outcome {
    int status;
    int step;
};

Bytes Block(int offset, const Bytes& image, int count) {
    Bytes d(static_cast<size_t>(count) + 3);
    d[0] = static_cast<uint8_t>(offset >> 8);
    d[1] = static_cast<uint8_t>(offset & 0xFF);
    d[2] = static_cast<uint8_t>(count);
    std::copy(image.begin() + offset, image.begin() + offset + count, d.begin() + 3);
    return d;
}

int Status(SimTerminal& t, uint8_t command, const Bytes& data) {
    const Bytes r = Answer(t, 1, command, data);
    return r.size() >= FRAME_OVERHEAD ? r[2] : -1;
}

Outcome Download(SimTerminal& t, const Bytes& image) {
    const int size = static_cast<int>(image.size());
    std::vector<Bytes> steps;
    std::vector<uint8_t> commands;
    steps.push_back({'L', 'o', 'a', 'd', 'P'});
    commands.push_back(0xE7);
    steps.push_back({static_cast<uint8_t>(size / 512 + 1)});
    commands.push_back(0x01);
    uint32_t sum = 0;
    for (uint8_t b : image)
        sum += b;
    for (int off = 128; off < size; off += 128) {
        steps.push_back(Block(off, image, std::min(128, size - off)));
        commands.push_back(0x03);
    }
    steps.push_back(Block(0, image, std::min(128, size)));
    commands.push_back(0x03);
    steps.push_back({static_cast<uint8_t>(sum >> 8), static_cast<uint8_t>(sum)});
    commands.push_back(0x04);
    for (size_t i = 0; i < steps.size(); ++i) {
        const int st = Status(t, commands[i], steps[i]);
        if (st != 0)
            return {st, static_cast<int>(i)};
    }
    return {0, -1};
}

Bytes Pattern(int size) {
    Bytes b(static_cast<size_t>(size));
    for (int i = 0; i < size; ++i)
        b[static_cast<size_t>(i)] = static_cast<uint8_t>(i * 7 + i / 256);
    return b;
}

TEST(SimTerminal, DownloadReassemblesTheImageAndSavesIt) {
    const std::string path = ::testing::TempDir() + "sim_image_" + std::to_string(getpid());
    for (int size : {0, 1, 128, 129, 300, 512, 61440}) {
        std::remove(path.c_str());
        SimTerminal t({}, {}, path);
        const Bytes image = Pattern(size);
        const Outcome o = Download(t, image);
        EXPECT_EQ(o.status, 0) << size << " bytes, step " << o.step;
        EXPECT_EQ(t.Image(), image) << size;
        std::ifstream in(path, std::ios::binary);
        EXPECT_EQ(Bytes(std::istreambuf_iterator<char>(in), {}), image) << size;
        EXPECT_FALSE(t.InDownload());
        // Out of the download, 03 is power on again.
        EXPECT_EQ(Answer(t, 1, 0x03).size(), 21u);
    }
    std::remove(path.c_str());
}

TEST(SimTerminal, DownloadRefusesStepsOutOfOrderAndWrongSums) {
    const Bytes image = Pattern(300);
    const auto started = [](SimTerminal& t) {
        EXPECT_EQ(Status(t, 0xE7, {'L', 'o', 'a', 'd', 'P'}), 0);
        EXPECT_EQ(Status(t, 0x01, {1}), 0);
    };
    {
        SimTerminal t({}, {});
        started(t);
        EXPECT_EQ(Status(t, 0x03, Block(256, image, 44)), SIM_ST_BAD_ORDER) << "skipped 128";
        EXPECT_FALSE(t.InDownload());
        EXPECT_EQ(Answer(t, 1, 0x03).size(), 21u) << "the download is over";
    }
    {
        SimTerminal t({}, {});
        started(t);
        EXPECT_EQ(Status(t, 0x03, Block(128, image, 100)), 0);
        EXPECT_EQ(Status(t, 0x03, Block(228, image, 72)), SIM_ST_BAD_ORDER)
            << "a short block ends the run";
    }
    {
        SimTerminal t({}, {});
        started(t);
        EXPECT_EQ(Status(t, 0x03, Block(128, image, 128)), 0);
        EXPECT_EQ(Status(t, 0x03, Block(0, image, 100)), SIM_ST_BAD_ORDER)
            << "first block must be whole when others came";
    }
    {
        SimTerminal t({}, {});
        started(t);
        Bytes b = Block(0, image, 128);
        b.pop_back();
        EXPECT_EQ(Status(t, 0x03, b), SIM_ST_BAD_REQUEST) << "count disagrees with length";
    }
    {
        SimTerminal t({}, {});
        started(t);
        EXPECT_EQ(Status(t, 0x04, {0, 0}), SIM_ST_BAD_ORDER) << "sum before any block";
    }
    {
        SimTerminal t({}, {});
        started(t);
        EXPECT_EQ(Status(t, 0x03, Block(0, image, 128)), 0);
        uint32_t sum = 0;
        for (int i = 0; i < 128; ++i)
            sum += image[static_cast<size_t>(i)];
        EXPECT_EQ(Status(t, 0x04, {static_cast<uint8_t>(sum >> 8), static_cast<uint8_t>(sum + 1)}),
                  SIM_ST_BAD_SUM);
        EXPECT_TRUE(t.Image().empty());
    }
    {
        SimTerminal t({}, {});
        EXPECT_EQ(Status(t, 0xE7, {'L', 'o', 'a', 'd', 'P'}), 0);
        EXPECT_EQ(Status(t, 0x01, {2}), 0) << "size byte of a 512-byte image";
        EXPECT_EQ(Status(t, 0x03, Block(0, image, 128)), 0);
        uint32_t sum = 0;
        for (int i = 0; i < 128; ++i)
            sum += image[static_cast<size_t>(i)];
        EXPECT_EQ(Status(t, 0x04, {static_cast<uint8_t>(sum >> 8), static_cast<uint8_t>(sum)}),
                  SIM_ST_BAD_SIZE);
    }
    {
        SimTerminal t({}, {});
        EXPECT_EQ(Status(t, 0xE7, {'L', 'o', 'a', 'd'}), SIM_ST_BAD_REQUEST);
        EXPECT_FALSE(t.InDownload());
    }
    {
        SimTerminal t({}, {});
        started(t);
        EXPECT_EQ(Status(t, 0xE4, {}), 0);
        EXPECT_FALSE(t.InDownload()) << "another command abandons the download";
    }
}

TEST(SimTerminal, UnsavableImageIsReportedAsAFailure) {
    SimTerminal t({}, {}, "/nonexistent-dir/image.bin");
    EXPECT_EQ(Download(t, Pattern(10)).status, SIM_ST_SAVE_FAILED);
}

SimFaultSettings Faults(std::vector<SimFault> f) {
    SimFaultSettings s;
    s.faults = std::move(f);
    s.nAckDelayMs = 111;
    s.nFirstDelayMs = 222;
    s.nByteGapMs = 33;
    s.nStatus = 0x5A;
    return s;
}

TEST(SimTerminal, EachFaultChangesTheBytesAsNamed) {
    const Bytes reply = MakeReply(1, 0, {3, 1, 0x24, 0x05, 0x17, 0x10});
    const Bytes ack = Bytes(AckFrame, AckFrame + 9);
    const Bytes garbage(SIM_GARBAGE, SIM_GARBAGE + 3);
    Bytes badCrc = reply;
    badCrc[badCrc.size() - 2] ^= 0xFF;
    Bytes badEnd = reply;
    badEnd.back() = 0x00;

    struct Case {
        SimFaultKind kind;
        std::vector<SimWrite> writes;
        bool close;
    };
    const Case cases[] = {
        {FAULT_ACK, {{Concat(ack, reply), 0, 0}}, false},
        {FAULT_ACK_SPLIT, {{ack, 0, 0}, {reply, 111, 0}}, false},
        {FAULT_FIRST_DELAY, {{reply, 222, 0}}, false},
        {FAULT_BYTE_GAP, {{reply, 0, 33}}, false},
        {FAULT_BAD_CRC, {{badCrc, 0, 0}}, false},
        {FAULT_BAD_END, {{badEnd, 0, 0}}, false},
        {FAULT_TRANSFER_ERROR, {{Bytes(TransferErrorFrame, TransferErrorFrame + 9), 0, 0}}, false},
        {FAULT_SILENT, {}, false},
        {FAULT_CLOSE, {}, true},
        {FAULT_STATUS, {{MakeReply(1, 0x5A, {}), 0, 0}}, false},
        {FAULT_GARBAGE, {{Concat(garbage, reply), 0, 0}}, false},
    };
    for (const Case& c : cases) {
        SimTerminal t({}, Faults({{c.kind, FAULT_EVERY_COMMAND}}));
        const SimReply r = Send(t, Request(1, 0xE4));
        const char* name = FaultName(c.kind);
        EXPECT_EQ(r.bClose, c.close) << name;
        ASSERT_EQ(r.writes.size(), c.writes.size()) << name;
        for (size_t i = 0; i < c.writes.size(); ++i) {
            EXPECT_EQ(r.writes[i].bytes, c.writes[i].bytes) << name;
            EXPECT_EQ(r.writes[i].nDelayMs, c.writes[i].nDelayMs) << name;
            EXPECT_EQ(r.writes[i].nByteGapMs, c.writes[i].nByteGapMs) << name;
        }
    }
}

TEST(SimTerminal, FaultsCombineAndApplyOnlyToTheirCommand) {
    SimTerminal t({}, Faults({{FAULT_GARBAGE, 0xE4},
                              {FAULT_ACK_SPLIT, 0xE4},
                              {FAULT_FIRST_DELAY, 0xE4},
                              {FAULT_BYTE_GAP, 0xE4},
                              {FAULT_STATUS, 0xE0}}));
    const SimReply r = Send(t, Request(1, 0xE4));
    ASSERT_EQ(r.writes.size(), 2u);
    EXPECT_EQ(r.writes[0].bytes,
              Concat(Bytes(SIM_GARBAGE, SIM_GARBAGE + 3), Bytes(AckFrame, AckFrame + 9)));
    EXPECT_EQ(r.writes[0].nDelayMs, 222);
    EXPECT_EQ(r.writes[1].nDelayMs, 111);
    EXPECT_EQ(r.writes[1].nByteGapMs, 33);

    EXPECT_EQ(Answer(t, 1, 0xE1), MakeReply(1, 0, {0x12, 0x34, 0x56, 0x78, 1}));
    EXPECT_EQ(Answer(t, 1, 0xE0, {1, 2, 3, 4}), MakeReply(1, 0x5A, {}));
    EXPECT_EQ(t.Identity().id[0], 0x12) << "a refused request is not carried out";
}

TEST(SimTerminal, FaultTextsParse) {
    SimFault f{};
    ASSERT_TRUE(ParseFault("ack-split", f));
    EXPECT_EQ(f.kind, FAULT_ACK_SPLIT);
    EXPECT_EQ(f.nCommand, FAULT_EVERY_COMMAND);
    ASSERT_TRUE(ParseFault("bad-crc:e4", f));
    EXPECT_EQ(f.kind, FAULT_BAD_CRC);
    EXPECT_EQ(f.nCommand, 0xE4);
    ASSERT_TRUE(ParseFault("status:3", f));
    EXPECT_EQ(f.nCommand, 0x03);
    for (const char* bad : {"", "acks", "ack:", "ack:E4F", "ack:G1", ":E4"})
        EXPECT_FALSE(ParseFault(bad, f)) << bad;
}

std::vector<RequestAssembler::Piece> FeedAll(RequestAssembler& a, const Bytes& b, uint64_t at) {
    std::vector<RequestAssembler::Piece> out;
    a.Feed(b.data(), static_cast<int>(b.size()), at, out);
    return out;
}

TEST(RequestAssembler, CutsFramesOutOfAStream) {
    const Bytes req = Request(1, 0x55, {0xC0, 0xC1, 0x00});
    RequestAssembler a(1000);

    // Garbage first, a frame split over three reads, a second frame behind it.
    auto out = FeedAll(a, Concat({0x41, 0x54, 0x0D}, Bytes(req.begin(), req.begin() + 3)), 0);
    ASSERT_EQ(out.size(), 1u);
    EXPECT_EQ(out[0].kind, RequestAssembler::SKIPPED);
    EXPECT_EQ(out[0].bytes, (Bytes{0x41, 0x54, 0x0D}));
    EXPECT_TRUE(FeedAll(a, Bytes(req.begin() + 3, req.begin() + 7), 10).empty());
    out = FeedAll(a, Concat(Bytes(req.begin() + 7, req.end()), req), 20);
    ASSERT_EQ(out.size(), 2u);
    EXPECT_EQ(out[0].kind, RequestAssembler::FRAME);
    EXPECT_EQ(out[0].bytes, req);
    EXPECT_EQ(out[1].bytes, req);
}

TEST(RequestAssembler, OverlongLengthResynchronises) {
    const Bytes req = Request(1, 0xE4);
    RequestAssembler a(1000);
    // C0 announcing 0x0121 (289) data bytes is noise; the real frame hides behind it.
    const auto out = FeedAll(a, Concat({0xC0, 0x01, 0x02, 0x01, 0x21}, req), 0);
    ASSERT_EQ(out.size(), 2u);
    EXPECT_EQ(out[0].kind, RequestAssembler::SKIPPED);
    EXPECT_EQ(out[0].bytes, (Bytes{0xC0, 0x01, 0x02, 0x01, 0x21}));
    EXPECT_EQ(out[1].kind, RequestAssembler::FRAME);
    EXPECT_EQ(out[1].bytes, req);

    const auto hidden =
        FeedAll(a, Concat({0xC0, 0xC0, 0x01}, Bytes(req.begin() + 2, req.end())), 0);
    ASSERT_EQ(hidden.size(), 2u) << "a start byte inside the noise header starts the frame";
    EXPECT_EQ(hidden[0].bytes, (Bytes{0xC0}));
    EXPECT_EQ(hidden[1].bytes, req);
}

TEST(RequestAssembler, PartialFrameIsDroppedAfterSilence) {
    const Bytes req = Request(1, 0xE4);
    RequestAssembler a(500);
    FeedAll(a, Bytes(req.begin(), req.begin() + 4), 100);
    EXPECT_EQ(a.MsUntilExpiry(100), 501);
    std::vector<RequestAssembler::Piece> out;
    a.Expire(600, out);
    EXPECT_TRUE(out.empty());
    a.Expire(601, out);
    ASSERT_EQ(out.size(), 1u);
    EXPECT_EQ(out[0].kind, RequestAssembler::DROPPED);
    EXPECT_EQ(a.MsUntilExpiry(601), -1);

    // A late tail of the dropped frame is garbage; a whole frame after it is fine.
    out = FeedAll(a, Concat(Bytes(req.begin() + 4, req.end()), req), 2000);
    ASSERT_EQ(out.size(), 2u);
    EXPECT_EQ(out[0].kind, RequestAssembler::SKIPPED);
    EXPECT_EQ(out[1].bytes, req);
}

} // namespace
