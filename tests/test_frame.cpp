#include <gtest/gtest.h>

#include <cstring>
#include <string>
#include <vector>

#include "FrameUtil.h"
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
        {"", 0},
        {"00FF", 0},
        {"ABC", HEX_ODD_LENGTH},
        {"0G", 2},
        {"a0", 1},
        {"12 4", 3},
        {"1234XZ", 5},
        // Characters, not bytes: "é" is two bytes, one character.
        {"AB\xC3\xA9", HEX_ODD_LENGTH},
        {"\xC3\xA9"
         "A",
         1},
        {"A\xE4\xB8\xAD"
         "B1",
         2},
        {"\xA9"
         "AB",
         1}, // a stray continuation byte is refused as the first character
    };
    for (const auto& c : cases)
        EXPECT_EQ(CheckHexText(c.text, static_cast<int>(std::strlen(c.text))), c.result) << c.text;
}

// Each reader asks for its own least reply behind an acknowledgement: the
// receive window any (0), the download one byte, the public commands and the
// script runner a whole frame's overhead. Exactly that much is skipped over,
// one byte less is not.
TEST(LeadingAckLength, KeepsEachReadersBound) {
    struct Case {
        const char* name;
        int minReply;
        int behind; // bytes after the acknowledgement
        int result;
    } cases[] = {
        {"window: acknowledgement alone", 0, 0, 9},
        {"download: acknowledgement alone", 1, 0, 0},
        {"download: one byte behind", 1, 1, 9},
        {"pub and script: seven behind", FRAME_OVERHEAD, 7, 0},
        {"pub and script: a frame's overhead behind", FRAME_OVERHEAD, 8, 9},
    };
    const std::vector<uint8_t> behind(FRAME_OVERHEAD, 0x5A);
    for (const auto& c : cases) {
        const std::vector<uint8_t> bytes = Concat(AckBytes(), Head(behind, c.behind));
        EXPECT_EQ(LeadingAckLength(bytes.data(), static_cast<int>(bytes.size()), c.minReply),
                  c.result)
            << c.name;
    }
    // Eight bytes of an acknowledgement, or nine that differ in the last, lead nothing.
    const std::vector<uint8_t> ack = AckBytes();
    EXPECT_EQ(LeadingAckLength(ack.data(), 8, 0), 0);
    const std::vector<uint8_t> spoiled = WithByte(ack, 8, 0x00);
    EXPECT_EQ(LeadingAckLength(spoiled.data(), 9, 0), 0);
}

TEST(CheckReplyFrame, NamesWhatIsWrong) {
    const std::vector<uint8_t> reply = MakeReply(1, 0, {0x11, 0x22});
    constexpr int END_BYTE = -77;
    struct Case {
        const char* name;
        std::vector<uint8_t> bytes;
        int result;
    } cases[] = {
        {"whole frame", reply, 10},
        {"shorter than a frame", Head(reply, 7), RES_NOT_FRAME},
        {"request start byte", WithByte(reply, 0, FRAME_REQUEST_START), RES_NOT_FRAME},
        {"length field one short", WithByte(reply, 4, 1), RES_NOT_FRAME},
        {"one byte past the frame", Concat(reply, {0xC3}), RES_NOT_FRAME},
        {"end byte", WithByte(reply, 9, 0x00), END_BYTE},
        {"checksum", WithByte(reply, 8, static_cast<uint8_t>(reply[8] ^ 1)), RES_CHECKSUM},
    };
    for (const auto& c : cases)
        EXPECT_EQ(CheckReplyFrame(c.bytes.data(), static_cast<int>(c.bytes.size()), END_BYTE),
                  c.result)
            << c.name;
}

} // namespace
