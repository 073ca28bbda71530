#include <gtest/gtest.h>

#include <cstring>
#include <string>
#include <vector>

#include "protocol/Frame.h"

namespace {

std::vector<uint8_t> Bytes(const std::string& s) {
    return {s.begin(), s.end()};
}

TEST(Crc16, WorkedValues) {
    struct Case {
        std::vector<uint8_t> data;
        uint16_t crc;
    } cases[] = {
        {Bytes("123456789"), 0x8C35},
        {Bytes("abc"), 0x6044},
        {std::vector<uint8_t>(AckFrame, AckFrame + 6), 0x3C51},
        {std::vector<uint8_t>(TransferErrorFrame, TransferErrorFrame + 6), 0x0F72},
        {{}, 0xC78C},
    };
    for (const auto& c : cases)
        EXPECT_EQ(Crc16(static_cast<int>(c.data.size()), c.data.data()), c.crc);
}

TEST(Crc16, UpdateUsesThePolynomialTable) {
    // From a zero register one update yields the table entry itself.
    uint16_t crc = 0;
    Crc16Update(1, crc);
    EXPECT_EQ(crc, 0x1021);
    crc = 0;
    Crc16Update(255, crc);
    EXPECT_EQ(crc, 0x1EF0);
}

TEST(Crc16, CountIsTakenModulo65536) {
    std::vector<uint8_t> data(65536 + 3, 0x5A);
    EXPECT_EQ(Crc16(65536 + 3, data.data()), Crc16(3, data.data()));
    EXPECT_EQ(Crc16(65536, data.data()), CRC16_INIT);
}

TEST(BuildFrame, NoData) {
    uint8_t out[8];
    const int len = 0;
    ASSERT_EQ(BuildFrame(1, 0x10, nullptr, len, out), 8);
    const uint8_t expected[] = {0xC0, 0x01, 0x10, 0x00, 0x00, 0xC0, 0x09, 0xC1};
    EXPECT_EQ(0, std::memcmp(out, expected, 8));
}

TEST(BuildFrame, LengthLimits) {
    std::vector<uint8_t> data(300, 0xAB);
    std::vector<uint8_t> out(400, 0xEE);
    int len = 288;
    ASSERT_EQ(BuildFrame(7, 0x33, data.data(), len, out.data()), 296);
    EXPECT_EQ(len, 288);
    EXPECT_EQ(out[3], 0x01);
    EXPECT_EQ(out[4], 0x20);
    EXPECT_EQ(out[295], FRAME_REQUEST_END);
    const uint16_t crc = Crc16(293, out.data());
    EXPECT_EQ(out[293], crc >> 8);
    EXPECT_EQ(out[294], crc & 0xFF);

    for (int bad : {289, -1}) {
        std::vector<uint8_t> untouched(400, 0xEE);
        EXPECT_EQ(BuildFrame(7, 0x33, data.data(), bad, untouched.data()), RES_BAD_LENGTH);
        EXPECT_EQ(untouched, std::vector<uint8_t>(400, 0xEE));
    }
}

TEST(BuildReplyFrame, BuildsTheFixedReplies) {
    uint8_t out[9];
    const uint8_t ackData = 0x54, errorData = 0xE6;
    ASSERT_EQ(BuildReplyFrame(0xFF, 0xAC, &ackData, 1, out), 9);
    EXPECT_EQ(0, std::memcmp(out, AckFrame, 9));
    ASSERT_EQ(BuildReplyFrame(0xFF, 0xCE, &errorData, 1, out), 9);
    EXPECT_EQ(0, std::memcmp(out, TransferErrorFrame, 9));
    EXPECT_EQ(BuildReplyFrame(1, 0, nullptr, 65536, out), RES_BAD_LENGTH);
}

TEST(Hex, RoundTripAndCase) {
    uint8_t b[3];
    HexToBytes("0a0AfF", b, 3);
    EXPECT_EQ(b[0], 0x0A);
    EXPECT_EQ(b[1], 0x0A);
    EXPECT_EQ(b[2], 0xFF);
    char text[6];
    BytesToHex(b, text, 3);
    EXPECT_EQ(std::string(text, 6), "0A0AFF");
}

TEST(Hex, CheckNamesFirstBadCharacter) {
    struct Case {
        const char* text;
        int result;
    } cases[] = {
        {"", 0},   {"00FF", 0}, {"ABC", HEX_ODD_LENGTH}, {"0G", 2},
        {"a0", 1}, {"12 4", 3}, {"1234XZ", 5},
        // Characters, not bytes: "é" is two bytes, one character.
        {"AB\xC3\xA9", HEX_ODD_LENGTH}, {"\xC3\xA9" "A", 1}, {"A\xE4\xB8\xAD" "B1", 2},
        {"\xA9" "AB", 1}, // a stray continuation byte is refused as the first character
    };
    for (const auto& c : cases)
        EXPECT_EQ(CheckHexText(c.text, static_cast<int>(std::strlen(c.text))), c.result) << c.text;
}

} // namespace
