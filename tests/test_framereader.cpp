#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "FrameUtil.h"
#include "ScriptedSource.h"
#include "protocol/FrameReader.h"

namespace {

using Steps = std::vector<ScriptedSource::Step>;

const std::vector<uint8_t> REPLY = MakeReply(1, 0, {0x11, 0xC2, 0x33});

struct Case {
    std::string name;
    Steps steps;
    int serial; // result with the serial rules
    int tcp;    // result with the TCP rules
};

// F = 1000, I = 100 throughout.
std::vector<Case> Cases() {
    const auto& r = REPLY; // 11 bytes
    const auto ack = AckBytes();
    return {
        {"whole reply at once", {{0, r}}, 11, 11},
        {"garbage before start byte", {{0, {0x00, 0xC3, 0x55}}, {5, r}}, 11, 11},
        {"bytes split across reads",
         {{0, Head(r, 3)}, {50, {r[3], r[4], r[5]}}, {120, Tail(r, 6)}},
         11,
         -4},
        {"start byte exactly at F", {{1000, r}}, 11, 11},
        {"start byte just after F", {{1001, r}}, -6, -6},
        {"nothing at all", {}, -6, -6},
        {"late start byte within F", {{700, r}}, 11, 11},
        {"header late", {{0, {0xC2, 0x01}}, {101, Tail(r, 2)}}, -4, -4},
        {"header completes at I", {{0, {0xC2}}, {100, Tail(r, 1)}}, 11, 11},
        {"body byte late", {{0, Head(r, 5)}, {101, Tail(r, 5)}}, -4, -4},
        {"body within I of its own phase",
         {{0, Head(r, 2)}, {60, {r[2], r[3], r[4]}}, {140, Tail(r, 5)}},
         11,
         -4},
        {"bad checksum low byte", {{0, WithByte(r, 9, r[9] ^ 1)}}, -9, -9},
        {"bad checksum high byte", {{0, WithByte(r, 8, r[8] ^ 0x80)}}, -9, -9},
        {"bad end byte", {{0, WithByte(r, 10, 0xC1)}}, -2, -10},
        {"empty reply", {{0, MakeReply(3, 0, {})}}, 8, 8},
        {"read failure", {{0, Head(r, 4)}, {10, {}, -2}}, -2, -2},
        {"peer closed", {{10, {}, -15}}, -15, -15},
        {"acknowledgement then reply", {{0, ack}, {30, r}}, 20, 11},
        {"acknowledgement in the same read as the reply", {{0, Concat(ack, r)}}, 20, 11},
        {"acknowledgement alone", {{0, ack}}, -6, -6},
        // Serial counts F from the acknowledgement's body phase (0 ms), TCP
        // restarts it once the acknowledgement is complete (99 ms).
        {"reply late behind acknowledgement",
         {{0, Head(ack, 5)}, {99, Tail(ack, 5)}, {1050, r}},
         -6,
         11},
        {"acknowledgement then bad reply", {{0, ack}, {5, WithByte(r, 9, 0)}}, -9, -9},
    };
}

TEST(AcceptReply, CasesForSerialAndTcp) {
    for (const auto& c : Cases()) {
        for (bool serial : {true, false}) {
            ScriptedSource src(c.steps);
            uint8_t buf[600];
            const int rc =
                AcceptReply(src, serial ? SERIAL_RULES : TCP_RULES, 1000, 100, buf, sizeof buf);
            EXPECT_EQ(rc, serial ? c.serial : c.tcp) << c.name << (serial ? " (serial)" : " (tcp)");
        }
    }
}

// Records the pieces a reader cuts.
class PieceTap : public ReadTap {
  public:
    struct Piece {
        std::vector<uint8_t> bytes;
        int result;
        bool operator==(const Piece&) const = default;
    };
    void Took(const uint8_t* data, int count) override {
        m_taken.insert(m_taken.end(), data, data + count);
    }
    void Cut(int result) override {
        if (!m_taken.empty())
            pieces.push_back({std::move(m_taken), result});
        m_taken.clear();
    }
    std::vector<Piece> pieces;

  private:
    std::vector<uint8_t> m_taken;
};

TEST(AcceptReply, TapSeesEveryByteTakenOnceInOrder) {
    for (const auto& c : Cases()) {
        std::vector<uint8_t> input;
        for (const auto& step : c.steps)
            input = Concat(input, step.bytes);
        for (bool serial : {true, false}) {
            ScriptedSource src(c.steps);
            PieceTap tap;
            uint8_t buf[600];
            const int rc = AcceptReply(src, serial ? SERIAL_RULES : TCP_RULES, 1000, 100, buf,
                                       sizeof buf, &tap);
            const std::string where = c.name + (serial ? " (serial)" : " (tcp)");
            std::vector<uint8_t> joined;
            for (const auto& p : tap.pieces)
                joined = Concat(joined, p.bytes);
            ASSERT_LE(joined.size(), input.size()) << where;
            EXPECT_EQ(joined, Head(input, joined.size())) << where;
            if (rc > 0) {
                EXPECT_GT(tap.pieces.back().result, 0) << where;
            }
        }
    }
}

TEST(AcceptReply, TapCutsFramesAcknowledgementsAndSkippedBytes) {
    const auto ack = AckBytes();
    const auto bad = WithByte(REPLY, 9, REPLY[9] ^ 1);
    using P = PieceTap::Piece;
    struct TapCase {
        std::string name;
        Steps steps;
        std::vector<P> pieces;
    };
    const TapCase cases[] = {
        {"garbage then reply", {{0, {0x55, 0xAA}}, {5, REPLY}}, {{{0x55, 0xAA}, 0}, {REPLY, 11}}},
        {"acknowledgement, garbage, reply",
         {{0, Concat(ack, {0x77})}, {30, REPLY}},
         {{ack, 9}, {{0x77}, 0}, {REPLY, 11}}},
        {"bad checksum", {{0, bad}}, {{bad, -9}}},
        {"header late", {{0, {0xC2, 0x01}}, {101, Tail(REPLY, 2)}}, {{Head(REPLY, 5), -4}}},
        {"garbage, then silence", {{0, {0x55}}}, {{{0x55}, -6}}},
        {"start byte after F", {{1001, REPLY}}, {{{0xC2}, -6}}},
        {"nothing", {}, {}},
    };
    for (const TapCase& c : cases) {
        ScriptedSource src(c.steps);
        PieceTap tap;
        uint8_t buf[600];
        AcceptReply(src, SERIAL_RULES, 1000, 100, buf, sizeof buf, &tap);
        EXPECT_EQ(tap.pieces, c.pieces) << c.name;
    }
}

TEST(AcceptReply, SerialKeepsAcknowledgementInFront) {
    ScriptedSource src({{0, AckBytes()}, {20, {0x77}}, {30, REPLY}});
    uint8_t buf[600];
    ASSERT_EQ(AcceptReply(src, SERIAL_RULES, 1000, 100, buf, sizeof buf), 20);
    EXPECT_EQ(std::vector<uint8_t>(buf, buf + 9), AckBytes());
    EXPECT_EQ(std::vector<uint8_t>(buf + 9, buf + 20), REPLY);
    EXPECT_EQ(buf[20], 0);
}

TEST(AcceptReply, TcpReadsReplyOverAcknowledgement) {
    ScriptedSource src({{0, AckBytes()}, {900, REPLY}});
    uint8_t buf[600];
    ASSERT_EQ(AcceptReply(src, TCP_RULES, 1000, 100, buf, sizeof buf), 11);
    EXPECT_EQ(std::vector<uint8_t>(buf, buf + 11), REPLY);
    EXPECT_EQ(buf[11], 0);
}

TEST(AcceptReply, SerialAckWaitCountsFromAcknowledgementBody) {
    // The acknowledgement's body phase begins at 300 ms; F runs from there,
    // not from the call's start nor from the acknowledgement's end.
    const auto ack = AckBytes();
    for (auto [at, expected] : {std::pair{1300u, 20}, std::pair{1301u, -6}}) {
        ScriptedSource src({{300, Head(ack, 5)}, {350, Tail(ack, 5)}, {at, REPLY}});
        uint8_t buf[600];
        EXPECT_EQ(AcceptReply(src, SERIAL_RULES, 1000, 100, buf, sizeof buf), expected) << at;
    }
}

TEST(AcceptReply, AnnouncedLengthMustFitTheBuffer) {
    // 600-byte buffer: 591 data bytes need 599 + the spare zero byte.
    for (auto [m, expected] : {std::pair{591, 599}, std::pair{592, -2}, std::pair{65535, -2}}) {
        auto reply = MakeReply(1, 0, std::vector<uint8_t>(m, 0x5A));
        for (bool serial : {true, false}) {
            ScriptedSource src({{0, reply}});
            std::vector<uint8_t> buf(600 + 64, 0xEE);
            const int rc =
                AcceptReply(src, serial ? SERIAL_RULES : TCP_RULES, 1000, 100, buf.data(), 600);
            EXPECT_EQ(rc, expected) << m;
            EXPECT_EQ(buf[600], 0xEE) << "wrote past the buffer";
        }
    }
    // Serial keeps the acknowledgement in front, so it takes 9 more bytes.
    auto reply = MakeReply(1, 0, std::vector<uint8_t>(583, 0x5A));
    ScriptedSource src({{0, Concat(AckBytes(), reply)}});
    std::vector<uint8_t> buf(600);
    EXPECT_EQ(AcceptReply(src, SERIAL_RULES, 1000, 100, buf.data(), 599), -2);
}

TEST(AcceptReply, BufferTooSmallForAHeaderIsNeverWrittenPast) {
    // Behind a kept acknowledgement the reply's header needs 5 more bytes
    // than are left; nothing may land past the buffer's end either way.
    const auto input = Concat(AckBytes(), REPLY);
    for (int size = 0; size <= 16; ++size) {
        for (bool serial : {true, false}) {
            ScriptedSource src({{0, input}});
            std::vector<uint8_t> buf(static_cast<size_t>(size) + 16, 0xEE);
            const int rc =
                AcceptReply(src, serial ? SERIAL_RULES : TCP_RULES, 1000, 100, buf.data(), size);
            // TCP reads the reply over the acknowledgement: 11 bytes and the zero fit in 12.
            EXPECT_EQ(rc, !serial && size >= 12 ? 11 : -2) << size << (serial ? " serial" : " tcp");
            for (size_t i = static_cast<size_t>(size); i < buf.size(); ++i)
                ASSERT_EQ(buf[i], 0xEE) << "wrote past a buffer of " << size;
        }
    }
}

} // namespace
