#include "protocol/Frame.h"

#include <array>
#include <cstring>

const uint8_t AckFrame[9] = {0xC2, 0xFF, 0xAC, 0x00, 0x01, 0x54, 0x3C, 0x51, 0xC3};
const uint8_t TransferErrorFrame[9] = {0xC2, 0xFF, 0xCE, 0x00, 0x01, 0xE6, 0x0F, 0x72, 0xC3};

namespace {

constexpr std::array<uint16_t, 256> MakeCrcTable() {
    std::array<uint16_t, 256> t{};
    for (int i = 0; i < 256; ++i) {
        uint16_t r = static_cast<uint16_t>(i << 8);
        for (int bit = 0; bit < 8; ++bit)
            r = static_cast<uint16_t>((r & 0x8000) ? (r << 1) ^ 0x1021 : r << 1);
        t[i] = r;
    }
    return t;
}

constexpr std::array<uint16_t, 256> CRC_TABLE = MakeCrcTable();
static_assert(CRC_TABLE[1] == 0x1021 && CRC_TABLE[255] == 0x1EF0);

uint8_t HexNibble(char c) {
    int code = static_cast<unsigned char>(c);
    if (code >= 'a')
        code -= 0x20;
    return static_cast<uint8_t>(code <= '9' ? code - 0x30 : code - 0x37);
}

} // namespace

void Crc16Update(uint8_t b, uint16_t& crc) {
    crc = static_cast<uint16_t>((crc << 8) ^ CRC_TABLE[((crc >> 8) ^ b) & 0xFF]);
}

uint16_t Crc16(int count, const uint8_t* data) {
    uint16_t crc = CRC16_INIT;
    const int n = count & 0xFFFF;
    for (int i = 0; i < n; ++i)
        Crc16Update(data[i], crc);
    return crc;
}

namespace {

int WriteFrame(uint8_t start, uint8_t end, uint8_t machine, uint8_t code, const uint8_t* data,
               int len, uint8_t* out) {
    out[0] = start;
    out[1] = machine;
    out[2] = code;
    out[3] = static_cast<uint8_t>(len >> 8);
    out[4] = static_cast<uint8_t>(len & 0xFF);
    if (len > 0)
        std::memcpy(out + 5, data, len);
    const uint16_t crc = Crc16(len + 5, out);
    out[5 + len] = static_cast<uint8_t>(crc >> 8);
    out[6 + len] = static_cast<uint8_t>(crc & 0xFF);
    out[7 + len] = end;
    return len + FRAME_OVERHEAD;
}

} // namespace

int BuildFrame(uint8_t machine, uint8_t command, const uint8_t* data, const int& len,
               uint8_t* out) {
    if (len < 0 || len > FRAME_MAX_DATA)
        return RES_BAD_LENGTH;
    return WriteFrame(FRAME_REQUEST_START, FRAME_REQUEST_END, machine, command, data, len, out);
}

int BuildReplyFrame(uint8_t machine, uint8_t status, const uint8_t* data, int len, uint8_t* out) {
    if (len < 0 || len > 0xFFFF)
        return RES_BAD_LENGTH;
    return WriteFrame(FRAME_REPLY_START, FRAME_REPLY_END, machine, status, data, len, out);
}

int LeadingAckLength(const uint8_t* bytes, int n, int minReply) {
    constexpr int ackLen = static_cast<int>(sizeof AckFrame);
    return n >= ackLen && n - ackLen >= minReply && std::memcmp(bytes, AckFrame, ackLen) == 0
               ? ackLen
               : 0;
}

int CheckReplyFrame(const uint8_t* frame, int len, int endByteError) {
    if (len < FRAME_OVERHEAD || frame[0] != FRAME_REPLY_START ||
        frame[3] * 256 + frame[4] + FRAME_OVERHEAD != len)
        return RES_NOT_FRAME;
    if (frame[len - 1] != FRAME_REPLY_END)
        return endByteError;
    const uint16_t crc = Crc16(len - 3, frame);
    if (frame[len - 3] != (crc >> 8) || frame[len - 2] != (crc & 0xFF))
        return RES_CHECKSUM;
    return len;
}

void HexToBytes(const char* text, uint8_t* out, int count) {
    for (int i = 0; i < count; ++i) {
        const uint8_t high = static_cast<uint8_t>(HexNibble(text[2 * i]) << 4);
        out[i] = static_cast<uint8_t>(high + (HexNibble(text[2 * i + 1]) & 0x0F));
    }
}

void BytesToHex(const uint8_t* data, char* out, int count) {
    static const char DIGITS[] = "0123456789ABCDEF";
    for (int i = 0; i < count; ++i) {
        out[2 * i] = DIGITS[data[i] >> 4];
        out[2 * i + 1] = DIGITS[data[i] & 0x0F];
    }
}

std::string HexCells(const uint8_t* data, int count) {
    std::string out;
    out.reserve(count > 0 ? static_cast<size_t>(count) * 3 : 0);
    for (int i = 0; i < count; ++i) {
        char cell[2];
        BytesToHex(data + i, cell, 1);
        if (i > 0)
            out += ' ';
        out.append(cell, 2);
    }
    return out;
}

namespace {
bool ContinuesCharacter(unsigned char c) {
    return (c & 0xC0) == 0x80;
}
} // namespace

int TextLength(const char* text, int len) {
    int chars = 0;
    for (int i = 0; i < len; ++i)
        chars += ContinuesCharacter(static_cast<unsigned char>(text[i])) ? 0 : 1;
    return chars;
}

int CheckHexText(const char* text, int len) {
    if (TextLength(text, len) % 2 != 0)
        return HEX_ODD_LENGTH;
    int position = 0;
    for (int i = 0; i < len; ++i) {
        const unsigned char c = static_cast<unsigned char>(text[i]);
        if (!ContinuesCharacter(c))
            ++position;
        if (!((c >= '0' && c <= '9') || (c >= 'A' && c <= 'F')))
            return position > 0 ? position : 1; // a stray continuation byte first
    }
    return 0;
}
