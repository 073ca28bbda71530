#include "tools/Des.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <array>
#include <cstdio>
#include <string>

namespace {

using Block = std::array<unsigned char, 8>;
using Key16 = std::array<unsigned char, 16>;

// Independent of CDes::ParseHex, so a fault there cannot hide one here.
template <std::size_t N> std::array<unsigned char, N> Bytes(const char* hex) {
    std::array<unsigned char, N> out{};
    for (std::size_t i = 0; i < N; ++i) {
        unsigned v = 0;
        std::sscanf(hex + 2 * i, "%2x", &v);
        out[i] = static_cast<unsigned char>(v);
    }
    return out;
}

std::string Hex(const Block& b) {
    std::string s;
    char buf[3];
    for (unsigned char c : b) {
        std::snprintf(buf, sizeof buf, "%02X", c);
        s += buf;
    }
    return s;
}

struct Vector {
    const char* key;
    const char* plain;
    const char* cipher;
};

// Published known answers: the classic worked example, "Now is t", and
// entries of the NBS validation set (variable plaintext, variable key,
// permutation and substitution tables).
constexpr Vector DES_VECTORS[] = {
    {"133457799BBCDFF1", "0123456789ABCDEF", "85E813540F0AB405"},
    {"0123456789ABCDEF", "4E6F772069732074", "3FA40E8A984D4815"},
    {"0101010101010101", "8000000000000000", "95F8A5E5DD31D900"},
    {"0101010101010101", "4000000000000000", "DD7F121CA5015619"},
    {"0101010101010101", "0000000000000001", "166B40B44ABA4BD6"},
    {"8001010101010101", "0000000000000000", "95A8D72813DAA94D"},
    {"1046913489980131", "0000000000000000", "88D55E54F54C97B4"},
    {"7CA110454A1A6E57", "01A1D6D039776742", "690F5B0D9A26939B"},
    {"0131D9619DC1376E", "5CD54CA83DEF57DA", "7A389D10354BD271"},
};

TEST(Des, KnownAnswersBothWays) {
    CDes des;
    for (const Vector& v : DES_VECTORS) {
        SCOPED_TRACE(v.key + std::string(" ") + v.plain);
        const Block key = Bytes<8>(v.key);
        const Block plain = Bytes<8>(v.plain);
        const Block before = plain;
        Block out{};
        EXPECT_EQ(des.RunDes(key.data(), plain.data(), out.data(), '0'), out.data());
        EXPECT_EQ(Hex(out), v.cipher);
        EXPECT_EQ(plain, before);

        const Block cipher = Bytes<8>(v.cipher);
        EXPECT_EQ(des.RunDes(key.data(), cipher.data(), out.data(), '1'), out.data());
        EXPECT_EQ(Hex(out), v.plain);
    }
}

TEST(Des, ParityBitsAreIgnored) {
    CDes des;
    const Block plain = Bytes<8>("0123456789ABCDEF");
    for (const Vector& v : DES_VECTORS) {
        Block key = Bytes<8>(v.key);
        for (unsigned char& b : key)
            b ^= 0x01;
        Block out{};
        des.RunDes(key.data(), Bytes<8>(v.plain).data(), out.data(), '0');
        EXPECT_EQ(Hex(out), v.cipher) << v.key;
    }
    // A non-parity bit does change the result.
    Block a{}, b{};
    Block key = Bytes<8>("133457799BBCDFF1");
    des.RunDes(key.data(), plain.data(), a.data(), '0');
    key[0] ^= 0x02;
    des.RunDes(key.data(), plain.data(), b.data(), '0');
    EXPECT_NE(a, b);
}

TEST(Des, OutputMayBeTheInput) {
    CDes des;
    const Block key = Bytes<8>("133457799BBCDFF1");
    Block buf = Bytes<8>("0123456789ABCDEF");
    des.RunDes(key.data(), buf.data(), buf.data(), '0');
    EXPECT_EQ(Hex(buf), "85E813540F0AB405");
    des.RunDes(key.data(), buf.data(), buf.data(), '1');
    EXPECT_EQ(Hex(buf), "0123456789ABCDEF");

    // Key, input and output all in one buffer.
    Block same = Bytes<8>("0123456789ABCDEF");
    des.RunDes(same.data(), same.data(), same.data(), '0');
    Block expected{};
    const Block k = Bytes<8>("0123456789ABCDEF");
    des.RunDes(k.data(), k.data(), expected.data(), '0');
    EXPECT_EQ(same, expected);
}

TEST(Des, UnknownModeWritesNothing) {
    CDes des;
    const Key16 key = Bytes<16>("0123456789ABCDEFFEDCBA9876543210");
    const Block in = Bytes<8>("0123456789ABCDEF");
    for (char mode : {'\0', '2', 'e', '\xB0'}) {
        Block out{};
        EXPECT_EQ(des.RunDes(key.data(), in.data(), out.data(), mode), nullptr);
        EXPECT_EQ(des.RunTripleDes(key.data(), in.data(), out.data(), mode), nullptr);
        EXPECT_EQ(out, Block{});
    }
}

TEST(TripleDes, TwoKeyKnownAnswer) {
    // Checked against an independent implementation (two-key EDE, ECB).
    CDes des;
    const Key16 key = Bytes<16>("0123456789ABCDEFFEDCBA9876543210");
    const Block plain = Bytes<8>("0123456789ABCDEF");
    Block out{};
    EXPECT_EQ(des.RunTripleDes(key.data(), plain.data(), out.data(), '0'), out.data());
    EXPECT_EQ(Hex(out), "1A4D672DCA6CB335");
    EXPECT_EQ(des.RunTripleDes(key.data(), out.data(), out.data(), '1'), out.data());
    EXPECT_EQ(out, plain);
}

TEST(TripleDes, IsSingleDesComposedAsEdeAndDed) {
    CDes des;
    const Key16 key = Bytes<16>("133457799BBCDFF10E329232EA6D0D73");
    const Block in = Bytes<8>("4E6F772069732074");
    const unsigned char* k1 = key.data();
    const unsigned char* k2 = key.data() + 8;

    Block expected = in;
    des.RunDes(k1, expected.data(), expected.data(), '0');
    des.RunDes(k2, expected.data(), expected.data(), '1');
    des.RunDes(k1, expected.data(), expected.data(), '0');
    Block out{};
    des.RunTripleDes(key.data(), in.data(), out.data(), '0');
    EXPECT_EQ(out, expected);

    expected = in;
    des.RunDes(k1, expected.data(), expected.data(), '1');
    des.RunDes(k2, expected.data(), expected.data(), '0');
    des.RunDes(k1, expected.data(), expected.data(), '1');
    des.RunTripleDes(key.data(), in.data(), out.data(), '1');
    EXPECT_EQ(out, expected);
}

TEST(TripleDes, EqualHalvesGiveSingleDes) {
    CDes des;
    for (const Vector& v : DES_VECTORS) {
        Key16 key{};
        const Block k = Bytes<8>(v.key);
        std::copy(k.begin(), k.end(), key.begin());
        std::copy(k.begin(), k.end(), key.begin() + 8);
        Block out{};
        des.RunTripleDes(key.data(), Bytes<8>(v.plain).data(), out.data(), '0');
        EXPECT_EQ(Hex(out), v.cipher) << v.key;
        des.RunTripleDes(key.data(), Bytes<8>(v.cipher).data(), out.data(), '1');
        EXPECT_EQ(Hex(out), v.plain) << v.key;
    }
}

TEST(TripleDes, RoundTripInPlace) {
    CDes des;
    const Key16 key = Bytes<16>("0123456789ABCDEFFEDCBA9876543210");
    for (const char* hex : {"0000000000000000", "FFFFFFFFFFFFFFFF", "4E6F772069732074"}) {
        const Block plain = Bytes<8>(hex);
        Block buf = plain;
        des.RunTripleDes(key.data(), buf.data(), buf.data(), '0');
        EXPECT_NE(buf, plain);
        des.RunTripleDes(key.data(), buf.data(), buf.data(), '1');
        EXPECT_EQ(buf, plain) << hex;
    }
}

TEST(ParseHex, EitherCaseGivesTheSameBytes) {
    CDes des;
    struct Case {
        const char* text;
        const char* bytes;
    } cases[] = {
        {"0123456789ABCDEF", "0123456789ABCDEF"},
        {"0123456789abcdef", "0123456789ABCDEF"},
        {"aBcDeF0f9A0000Ff", "ABCDEF0F9A0000FF"},
    };
    for (const Case& c : cases) {
        Block out{};
        EXPECT_EQ(des.ParseHex(c.text, out.data(), 8), out.data());
        EXPECT_EQ(Hex(out), c.bytes) << c.text;
    }
}

TEST(ParseHex, ConvertsOnlyTheFirstNBytes) {
    CDes des;
    unsigned char out[4] = {0xEE, 0xEE, 0xEE, 0xEE};
    EXPECT_EQ(des.ParseHex("12345678", out, 2), out);
    EXPECT_EQ(out[0], 0x12);
    EXPECT_EQ(out[1], 0x34);
    EXPECT_EQ(out[2], 0xEE);
    EXPECT_EQ(des.ParseHex("", out, 0), out);
}

TEST(ParseHex, TextShorterThanNBytesIsRefused) {
    CDes des;
    unsigned char out[4] = {0xEE, 0xEE, 0xEE, 0xEE};
    EXPECT_EQ(des.ParseHex("123", out, 2), nullptr);
    EXPECT_EQ(des.ParseHex("", out, 1), nullptr);
    EXPECT_EQ(des.ParseHex("1234", out, -1), nullptr);
    for (unsigned char b : out)
        EXPECT_EQ(b, 0xEE);
}

} // namespace
