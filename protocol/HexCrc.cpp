#include "protocol/HexCrc.h"

#include <algorithm>
#include <cstdio>

int HexCrc(const char* text, int len, uint16_t& crc) {
    if (len % 2 != 0)
        return HEX_ODD_LENGTH;
    const int taken = std::min(len, HEX_CRC_MAX_CHARS);
    for (int i = 0; i < len; ++i) {
        const char c = i < taken ? text[i] : '\0';
        if (!((c >= '0' && c <= '9') || (c >= 'A' && c <= 'F')))
            return i + 1;
    }
    uint8_t bytes[HEX_CRC_MAX_CHARS / 2];
    HexToBytes(text, bytes, len / 2);
    crc = Crc16(len / 2, bytes);
    return 0;
}

std::string HexCrcText(uint16_t crc) {
    char buf[16];
    std::snprintf(buf, sizeof buf, "0x%x,0x%x", crc >> 8, crc & 0xFF);
    return buf;
}
