// The calculator's pure operations: checks in order, DES and triple-DES
// through hex text, XOR, inversion and the CRC-CCITT of hex input.
#include <gtest/gtest.h>

#include <string>

#include "protocol/HexCrc.h"
#include "tools/AssistCalc.h"

namespace {

const std::string UNCHANGED = "unchanged";

TEST(AssistCalc, BlockOperationsCheckInOrder) {
    struct Case {
        const char* name;
        int (*op)(const std::string&, const std::string&, std::string&);
        std::string input, key;
        int expected;
    } cases[] = {
        {"des short key", [](auto& i, auto& k, auto& o) { return AssistDes(i, k, '0', o); },
         "0123456789ABCDEF", "0123456789ABCDE", ASSIST_BOTH_NOT_8_BYTES},
        {"des long input", [](auto& i, auto& k, auto& o) { return AssistDes(i, k, '1', o); },
         "0123456789ABCDEF0", "0123456789ABCDEF", ASSIST_BOTH_NOT_8_BYTES},
        // Length is checked before characters, input before key.
        {"des bad input and short key",
         [](auto& i, auto& k, auto& o) { return AssistDes(i, k, '0', o); }, "G123456789ABCDEF", "0",
         ASSIST_BOTH_NOT_8_BYTES},
        {"des bad input and key", [](auto& i, auto& k, auto& o) { return AssistDes(i, k, '0', o); },
         "0123456789ABCDEZ", "Z123456789ABCDEF", ASSIST_INPUT_NOT_HEX},
        {"des bad key", [](auto& i, auto& k, auto& o) { return AssistDes(i, k, '0', o); },
         "0123456789abcdef", "0123456789ABCDE-", ASSIST_KEY_NOT_HEX},
        {"3des short input",
         [](auto& i, auto& k, auto& o) { return AssistTripleDes(i, k, '0', o); }, "01234567", "0",
         ASSIST_INPUT_NOT_8_BYTES},
        {"3des 16-digit key",
         [](auto& i, auto& k, auto& o) { return AssistTripleDes(i, k, '1', o); },
         "0123456789ABCDEF", "0123456789ABCDEF", ASSIST_KEY_NOT_16_BYTES},
        {"3des bad input", [](auto& i, auto& k, auto& o) { return AssistTripleDes(i, k, '0', o); },
         "0123456789ABCDEX", "0123456789ABCDEF0123456789ABCDEF", ASSIST_INPUT_NOT_HEX},
        {"3des bad digit in K2",
         [](auto& i, auto& k, auto& o) { return AssistTripleDes(i, k, '0', o); },
         "0123456789ABCDEF", "0123456789ABCDEF0123456789ABCDEG", ASSIST_KEY_NOT_HEX},
        {"xor short key", [](auto& i, auto& k, auto& o) { return AssistXor(i, k, o); },
         "0123456789ABCDEF", "FF", ASSIST_BOTH_NOT_8_BYTES},
        {"invert 17 digits", [](auto& i, auto&, auto& o) { return AssistInvert(i, o); },
         "0123456789ABCDEF0", "", ASSIST_INPUT_NOT_8_BYTES},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        std::string out = UNCHANGED;
        EXPECT_EQ(c.op(c.input, c.key, out), c.expected);
        EXPECT_EQ(out, UNCHANGED);
    }
}

TEST(AssistCalc, DesAndTripleDesKnownAnswersAndRoundTrips) {
    struct Case {
        const char* name;
        bool triple;
        std::string key, plain, cipher;
    } cases[] = {
        {"des", false, "133457799BBCDFF1", "0123456789ABCDEF", "85E813540F0AB405"},
        // Parity bits do not count: the same key with every parity bit flipped.
        {"des parity", false, "123556789ABDDEF0", "0123456789ABCDEF", "85E813540F0AB405"},
        {"3des", true, "0123456789ABCDEFFEDCBA9876543210", "0123456789ABCDEF", "1A4D672DCA6CB335"},
        {"3des K1 = K2 is des", true, "133457799BBCDFF1133457799BBCDFF1", "0123456789ABCDEF",
         "85E813540F0AB405"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        auto run = [&](const std::string& in, char mode) {
            std::string out;
            const int rc =
                c.triple ? AssistTripleDes(in, c.key, mode, out) : AssistDes(in, c.key, mode, out);
            EXPECT_EQ(rc, ASSIST_OK);
            return out;
        };
        EXPECT_EQ(run(c.plain, '0'), c.cipher);
        EXPECT_EQ(run(c.cipher, '1'), c.plain);
    }
    // Lower-case digits give the same block.
    std::string lower;
    ASSERT_EQ(AssistDes("0123456789abcdef", "133457799bbcdff1", '0', lower), ASSIST_OK);
    EXPECT_EQ(lower, "85E813540F0AB405");
}

TEST(AssistCalc, XorAndInvert) {
    const std::string value = "0123456789ABCDEF";
    std::string x, inv;
    ASSERT_EQ(AssistXor(value, "FFFFFFFFFFFFFFFF", x), ASSIST_OK);
    ASSERT_EQ(AssistInvert(value, inv), ASSIST_OK);
    EXPECT_EQ(x, "FEDCBA9876543210");
    EXPECT_EQ(inv, x);
    ASSERT_EQ(AssistXor(value, value, x), ASSIST_OK);
    EXPECT_EQ(x, "0000000000000000");
    // No character check: each "GG" folds to the byte 00.
    ASSERT_EQ(AssistInvert("GGGGGGGGGGGGGGGG", inv), ASSIST_OK);
    EXPECT_EQ(inv, "FFFFFFFFFFFFFFFF");
    // A zero inside the text converts nothing rather than reading past it.
    ASSERT_EQ(AssistInvert(std::string("01\0"
                                       "3456789ABCDEF",
                                       16),
                           inv),
              ASSIST_OK);
    EXPECT_EQ(inv, "FFFFFFFFFFFFFFFF");
}

TEST(AssistCalc, HasNonHex) {
    EXPECT_FALSE(HasNonHex(nullptr, 16));
    EXPECT_FALSE(HasNonHex("09afAF", 6));
    EXPECT_TRUE(HasNonHex("09afAG", 6));
    EXPECT_FALSE(HasNonHex("09afAG", 5)); // only the first count characters
    EXPECT_TRUE(HasNonHex(":", 1));
    EXPECT_TRUE(HasNonHex("@", 1));
}

TEST(HexCrc, ChecksAndChecksums) {
    struct Case {
        const char* name;
        std::string text;
        int expected;
        uint16_t crc;
    } cases[] = {
        {"acknowledgement", "C2FFAC000154", 0, 0x3C51},
        {"empty", "", 0, 0xC78C},
        {"space in the data", "C0011000 000", 9, 0},
        {"request", "C001100000", 0, 0xC009},
        {"odd", "C2FFA", HEX_ODD_LENGTH, 0},
        {"lower case is not taken", "c2", 1, 0},
        {"bad second digit", "0G", 2, 0},
        {"longest taken", std::string(558, 'A'), 0, 0},
        {"600 digits meet the end at 560", std::string(600, '0'), 560, 0},
        {"bad digit before 560 is named", std::string(100, '0') + "X" + std::string(499, '0'), 101,
         0},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        uint16_t crc = 0x1234;
        EXPECT_EQ(HexCrc(c.text.c_str(), static_cast<int>(c.text.size()), crc), c.expected);
        if (c.expected != 0) {
            EXPECT_EQ(crc, 0x1234);
        } else if (c.crc != 0) {
            EXPECT_EQ(crc, c.crc);
        }
    }
    EXPECT_EQ(HexCrcText(0x3C51), "0x3c,0x51");
    EXPECT_EQ(HexCrcText(0xC78C), "0xc7,0x8c");
    EXPECT_EQ(HexCrcText(0x0A05), "0xa,0x5");
}

} // namespace
