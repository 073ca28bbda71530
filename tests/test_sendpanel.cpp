// The send panel's checks and the bytes of protocol and direct sends.
#include <gtest/gtest.h>

#include <cstdio>
#include <cstring>
#include <string>
#include <vector>

#include "protocol/Frame.h"
#include "protocol/Limits.h"
#include "protocol/SendPanel.h"

namespace {

std::string Hex(int bytes) {
    std::string s;
    for (int i = 0; i < bytes; ++i) {
        char cell[3];
        std::snprintf(cell, sizeof cell, "%02X", i & 0xFF);
        s += cell;
    }
    return s;
}

TEST(SendPanel, ProtocolChecksInOrder) {
    struct Case {
        const char* name;
        std::string command;
        std::string data;
        bool confirm;
        uint8_t cmdSeq; // expected seqNo afterwards (starting from 7)
        int result;
        int badPos;
    } cases[] = {
        {"empty command", "", "0011", false, 7, SEND_BAD_COMMAND, 0},
        {"one digit", "D", "0011", false, 7, SEND_BAD_COMMAND, 0},
        {"lower-case digit", "dd", "0011", false, 7, SEND_BAD_COMMAND, 0},
        {"command before data", "G0", "001", false, 7, SEND_BAD_COMMAND, 0},
        {"odd before characters", "10", "0G1", false, 7, SEND_ODD_LENGTH, 0},
        {"bad character position", "10", "00a1", false, 7, SEND_BAD_CHAR, 3},
        {"empty data", "10", "", false, 7, 8, 0},
        {"288 bytes", "10", Hex(288), false, 7, 296, 0},
        {"289 bytes", "10", Hex(289), false, 7, SEND_TOO_LONG, 0},
        {"287 bytes and the sequence byte", "04", Hex(287), true, 8, 296, 0},
        {"288 bytes and the sequence byte", "04", Hex(288), true, 7, SEND_TOO_LONG, 0},
        {"288 bytes, no acknowledgement", "04", Hex(288), false, 7, 296, 0},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        uint8_t out[FRAME_BUF_SIZE];
        std::memset(out, 0xAA, sizeof out);
        uint8_t seq = 7;
        int badPos = 0;
        const int rc =
            BuildProtocolSend(1, c.command, c.data, c.confirm, seq, out, sizeof out, badPos);
        EXPECT_EQ(rc, c.result);
        EXPECT_EQ(seq, c.cmdSeq);
        EXPECT_EQ(badPos, c.badPos);
        if (rc < 0) {
            EXPECT_EQ(out[0], 0xAA) << "a refused send leaves the buffer";
        }
    }
}

TEST(SendPanel, DefaultFieldsBuildTheDdFrame) {
    uint8_t out[FRAME_BUF_SIZE];
    uint8_t seq = 1;
    int badPos = 0;
    ASSERT_EQ(BuildProtocolSend(255, "DD", Hex(261), false, seq, out, sizeof out, badPos), 269);
    const uint8_t head[] = {0xC0, 0xFF, 0xDD, 0x01, 0x05, 0x00, 0x01};
    EXPECT_EQ(0, std::memcmp(out, head, sizeof head));
    EXPECT_EQ(out[268], 0xC1);
}

TEST(SendPanel, SequencePrefixOnlyForItsCommandsAndWraps) {
    for (int cmd : {0x04, 0x54, 0x64, 0x10, 0xDD}) {
        SCOPED_TRACE(cmd);
        uint8_t out[FRAME_BUF_SIZE];
        uint8_t seq = 5;
        int badPos = 0;
        char command[3];
        std::snprintf(command, sizeof command, "%02X", cmd);
        const int len = BuildProtocolSend(1, command, "AB", true, seq, out, sizeof out, badPos);
        const bool prefixed = TakesSeqNo(static_cast<uint8_t>(cmd));
        EXPECT_EQ(len, prefixed ? 10 : 9);
        EXPECT_EQ(out[5], prefixed ? 5 : 0xAB);
        EXPECT_EQ(seq, prefixed ? 6 : 5);
    }
    std::vector<int> run;
    uint8_t seq = 250;
    for (int i = 0; i < 5; ++i) {
        run.push_back(seq);
        seq = NextSeqNo(seq);
    }
    EXPECT_EQ(run, (std::vector<int>{250, 251, 252, 0, 1}));
}

std::string Repeat(const std::string& s, int n) {
    std::string out;
    for (int i = 0; i < n; ++i)
        out += s;
    return out;
}

TEST(SendPanel, DirectSendBytes) {
    struct Case {
        const char* name;
        std::string text;
        bool hex;
        bool newLine;
        int result;
        std::vector<uint8_t> bytes;
        int badPos;
    } cases[] = {
        {"text mode sends the characters", "1A", false, false, 2, {0x31, 0x41}, 0},
        {"text mode with a carriage return", "1A", false, true, 3, {0x31, 0x41, 0x0D}, 0},
        {"hex", "1A0d", true, false, SEND_BAD_CHAR, {}, 4},
        {"hex odd", "1A0", true, false, SEND_ODD_LENGTH, {}, 0},
        {"hex converted", "1A0D", true, true, 3, {0x1A, 0x0D, 0x0D}, 0},
        {"empty hex", "", true, false, 0, {}, 0},
        {"empty hex and a carriage return", "", true, true, 1, {0x0D}, 0},
        {"599 characters", std::string(599, '3'), false, true, 600, {}, 0},
        {"600 characters", std::string(600, '3'), false, false, SEND_TOO_LONG, {}, 0},
        {"600 hex characters", std::string(600, '3'), true, false, SEND_TOO_LONG, {}, 0},
        // Characters, not bytes: "é" is one character of two bytes.
        {"a two-byte character in hex", "1\xC3\xA9", true, false, SEND_BAD_CHAR, {}, 2},
        {"a two-byte character makes hex odd", "1A\xC3\xA9", true, false, SEND_ODD_LENGTH, {}, 0},
        {"300 two-byte characters fill the buffer",
         Repeat("\xC3\xA9", 300),
         false,
         false,
         600,
         {},
         0},
        {"and a carriage return no longer fits",
         Repeat("\xC3\xA9", 300),
         false,
         true,
         SEND_TOO_MANY_BYTES,
         {},
         0},
        {"599 two-byte characters",
         Repeat("\xC3\xA9", 599),
         false,
         false,
         SEND_TOO_MANY_BYTES,
         {},
         0},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        uint8_t out[FRAME_BUF_SIZE];
        std::memset(out, 0xAA, sizeof out);
        int badPos = 0;
        const int n = BuildDirectSend(c.text, c.hex, c.newLine, out, sizeof out, badPos);
        EXPECT_EQ(n, c.result);
        EXPECT_EQ(badPos, c.badPos);
        if (!c.bytes.empty()) {
            EXPECT_EQ(std::vector<uint8_t>(out, out + n), c.bytes);
        }
        if (n < 0) {
            EXPECT_EQ(out[0], 0xAA);
        }
    }
}

TEST(SendPanel, FilterScansAndKeys) {
    EXPECT_EQ(FirstNonHexChar("09afAF"), -1);
    EXPECT_EQ(FirstNonHexChar(""), -1);
    EXPECT_EQ(FirstNonHexChar("12G4"), 2);
    EXPECT_EQ(FirstNonHexChar("12 4"), 2);
    for (char32_t ok : {U'\b', U'0', U'9', U'a', U'f', U'A', U'F'})
        EXPECT_TRUE(HexKeyAllowed(ok)) << static_cast<int>(ok);
    for (char32_t bad : {U'g', U'G', U' ', U'\r', U'-', U'\u00E9'})
        EXPECT_FALSE(HexKeyAllowed(bad)) << static_cast<int>(bad);
}

} // namespace
