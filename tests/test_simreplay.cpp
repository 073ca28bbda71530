// The replay table: which recorded reply answers which request, in what
// order, with which delays, from captures of either side.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "FrameUtil.h"
#include "protocol/Limits.h"
#include "sim/SimReplay.h"

namespace {

using Bytes = std::vector<uint8_t>;

Bytes Request(uint8_t command, const Bytes& data = {}) {
    Bytes f(data.size() + FRAME_OVERHEAD);
    const int len = static_cast<int>(data.size());
    BuildFrame(1, command, data.data(), len, f.data());
    return f;
}

const Bytes REQ_A = Request(0xE4);
const Bytes REQ_B = Request(0xE1);
const Bytes REPLY_1 = MakeReply(1, 0, {0x01});
const Bytes REPLY_2 = MakeReply(1, 0, {0x02});

// A capture built packet by packet; interfaces get the side given.
class CaptureBuilder {
  public:
    CaptureBuilder& Interface(int side) {
        CaptureInterface i;
        i.nSide = side;
        m_cap.interfaces.push_back(i);
        return *this;
    }
    CaptureBuilder& Packet(int iface, int direction, int64_t ms, const Bytes& bytes) {
        CapturePacket p;
        p.nInterface = iface;
        p.nDirection = direction;
        p.nTimeUs = ms * 1000;
        p.bytes = bytes;
        m_cap.packets.push_back(p);
        return *this;
    }
    const Capture& Get() const { return m_cap; }

  private:
    Capture m_cap;
};

std::vector<Bytes> Writes(const SimReply& r) {
    std::vector<Bytes> out;
    for (const SimWrite& w : r.writes)
        out.push_back(w.bytes);
    return out;
}

std::vector<int> Delays(const SimReply& r) {
    std::vector<int> out;
    for (const SimWrite& w : r.writes)
        out.push_back(w.nDelayMs);
    return out;
}

SimReply Ask(SimReplay& replay, const Bytes& request) {
    return replay.Handle(request.data(), static_cast<int>(request.size()));
}

TEST(SimReplay, RepliesInRecordedOrderFromEitherSide) {
    for (int side : {CAPTURE_SIDE_HOST, CAPTURE_SIDE_TERMINAL}) {
        // The host's requests go out in its own capture, come in in the terminal's.
        const int fromHost = side == CAPTURE_SIDE_HOST ? CAPTURE_OUT : CAPTURE_IN;
        const int fromTerminal = side == CAPTURE_SIDE_HOST ? CAPTURE_IN : CAPTURE_OUT;
        CaptureBuilder b;
        b.Interface(side)
            .Packet(0, fromHost, 0, REQ_A)
            .Packet(0, fromTerminal, 1, {0x55, 0xAA})
            .Packet(0, fromTerminal, 2, AckBytes())
            .Packet(0, fromTerminal, 3, REPLY_1)
            .Packet(0, fromHost, 10, REQ_B) // never answered
            .Packet(0, fromHost, 20, REQ_A)
            .Packet(0, fromTerminal, 21, REPLY_2);
        SimReplay replay(b.Get(), false);
        const std::string where = side == CAPTURE_SIDE_HOST ? "host" : "terminal";
        EXPECT_EQ(replay.Requests(), 3) << where;

        const SimReply first = Ask(replay, REQ_A);
        EXPECT_EQ(Writes(first), (std::vector<Bytes>{{0x55, 0xAA}, AckBytes(), REPLY_1})) << where;
        EXPECT_EQ(Delays(first), (std::vector<int>{0, 0, 0})) << where;
        EXPECT_EQ(Writes(Ask(replay, REQ_A)), std::vector<Bytes>{REPLY_2}) << where;
        const SimReply spent = Ask(replay, REQ_A);
        EXPECT_TRUE(spent.writes.empty()) << where;
        EXPECT_EQ(spent.notes.back(),
                  "replay: all 2 recorded replies to this request given, no reply");
        const SimReply silent = Ask(replay, REQ_B);
        EXPECT_TRUE(silent.writes.empty()) << where;
        EXPECT_EQ(silent.notes.back(), "replay: recorded reply 1 of 1, silence");
        const SimReply unknown = Ask(replay, Request(0x07));
        EXPECT_TRUE(unknown.writes.empty());
        EXPECT_EQ(unknown.notes.back(), "replay: request not in the capture, no reply");
    }
}

TEST(SimReplay, TimingKeepsTheDelayBeforeEachPacket) {
    CaptureBuilder b;
    b.Interface(CAPTURE_SIDE_HOST)
        .Packet(0, CAPTURE_OUT, 1000, REQ_A)
        .Packet(0, CAPTURE_IN, 1300, AckBytes())
        .Packet(0, CAPTURE_IN, 1400, REPLY_1)
        .Packet(0, CAPTURE_OUT, 2000, REQ_B)
        .Packet(0, CAPTURE_IN, 3000000, REPLY_2); // an hour late
    SimReplay timed(b.Get(), true);
    EXPECT_EQ(Delays(Ask(timed, REQ_A)), (std::vector<int>{300, 100}));
    EXPECT_EQ(Delays(Ask(timed, REQ_B)), std::vector<int>{FIRST_CHAR_MAX_MS});
    SimReplay untimed(b.Get(), false);
    EXPECT_EQ(Delays(Ask(untimed, REQ_A)), (std::vector<int>{0, 0}));
}

TEST(SimReplay, EachLineGathersItsOwnReplies) {
    // Two clients ask the same thing at once; each reply belongs to the
    // request on its own line, in the order the requests were recorded.
    CaptureBuilder b;
    b.Interface(CAPTURE_SIDE_TERMINAL)
        .Interface(CAPTURE_SIDE_TERMINAL)
        .Interface(CAPTURE_SIDE_UNKNOWN)
        .Packet(0, CAPTURE_IN, 0, REQ_A)
        .Packet(1, CAPTURE_IN, 1, REQ_A)
        .Packet(1, CAPTURE_OUT, 2, REPLY_2)
        .Packet(2, CAPTURE_IN, 3, REQ_B)
        .Packet(0, CAPTURE_OUT, 4, REPLY_1)
        .Packet(0, CAPTURE_DIR_UNKNOWN, 5, REQ_B);
    SimReplay replay(b.Get(), false);
    EXPECT_EQ(replay.UnknownSides(), 1);
    EXPECT_EQ(replay.Requests(), 2);
    EXPECT_EQ(Writes(Ask(replay, REQ_A)), std::vector<Bytes>{REPLY_1});
    EXPECT_EQ(Writes(Ask(replay, REQ_A)), std::vector<Bytes>{REPLY_2});
    EXPECT_TRUE(Ask(replay, REQ_B).writes.empty());
}

TEST(SimReplay, RequestsAreCutAsTheLinesCutThem) {
    // A raw send with junk around a frame: the frame alone is the request;
    // a host packet with no whole frame starts none.
    CaptureBuilder b;
    b.Interface(CAPTURE_SIDE_HOST)
        .Packet(0, CAPTURE_OUT, 0, Concat(Concat({0x0D, 0x0A}, REQ_A), {0xFF}))
        .Packet(0, CAPTURE_IN, 1, REPLY_1)
        .Packet(0, CAPTURE_OUT, 2, Head(REQ_B, 4))
        .Packet(0, CAPTURE_IN, 3, REPLY_2);
    SimReplay replay(b.Get(), false);
    EXPECT_EQ(replay.Requests(), 1);
    EXPECT_EQ(Writes(Ask(replay, REQ_A)), (std::vector<Bytes>{REPLY_1, REPLY_2}));
}

} // namespace
