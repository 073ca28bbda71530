#include "protocol/SendPanel.h"

#include <cstring>

#include "protocol/Frame.h"

namespace {

bool IsUpperHex(char c) {
    return (c >= '0' && c <= '9') || (c >= 'A' && c <= 'F');
}

bool IsAnyHex(char32_t c) {
    return (c >= '0' && c <= '9') || (c >= 'A' && c <= 'F') || (c >= 'a' && c <= 'f');
}

// Checks hex text; returns 0, SEND_ODD_LENGTH, or SEND_BAD_CHAR with badPos.
int CheckHex(std::string_view text, int& badPos) {
    const int rc = CheckHexText(text.data(), static_cast<int>(text.size()));
    if (rc == HEX_ODD_LENGTH)
        return SEND_ODD_LENGTH;
    if (rc > 0) {
        badPos = rc;
        return SEND_BAD_CHAR;
    }
    return 0;
}

} // namespace

bool ParseCommandByte(std::string_view text, uint8_t& cmd) {
    if (text.size() < 2 || !IsUpperHex(text[0]) || !IsUpperHex(text[1]))
        return false;
    HexToBytes(text.data(), &cmd, 1);
    return true;
}

bool TakesSeqNo(uint8_t cmd) {
    return cmd == 0x04 || cmd == 0x54 || cmd == 0x64;
}

uint8_t NextSeqNo(uint8_t seq) {
    const int next = seq + 1;
    return next >= SEQ_NO_WRAP ? 0 : static_cast<uint8_t>(next);
}

int BuildProtocolSend(uint8_t machine, std::string_view command, std::string_view data,
                      bool confirmPacket, uint8_t& seqNo, uint8_t* out, int outSize, int& badPos) {
    uint8_t cmd = 0;
    if (!ParseCommandByte(command, cmd))
        return SEND_BAD_COMMAND;
    if (const int rc = CheckHex(data, badPos); rc != 0)
        return rc;

    const bool prefixed = confirmPacket && TakesSeqNo(cmd);
    const size_t bytes = data.size() / 2 + (prefixed ? 1 : 0);
    if (bytes > static_cast<size_t>(FRAME_MAX_DATA) ||
        static_cast<int>(bytes) + FRAME_OVERHEAD > outSize)
        return SEND_TOO_LONG;

    uint8_t body[FRAME_MAX_DATA];
    int n = 0;
    if (prefixed)
        body[n++] = seqNo;
    HexToBytes(data.data(), body + n, static_cast<int>(data.size() / 2));
    n += static_cast<int>(data.size() / 2);
    const int len = BuildFrame(machine, cmd, body, n, out);
    if (len > 0 && prefixed)
        seqNo = NextSeqNo(seqNo);
    return len;
}

int BuildDirectSend(std::string_view text, bool hex, bool newLine, uint8_t* out, int outSize,
                    int& badPos) {
    if (hex) {
        if (const int rc = CheckHex(text, badPos); rc != 0)
            return rc;
    }
    if (TextLength(text.data(), static_cast<int>(text.size())) > DIRECT_TEXT_MAX)
        return SEND_TOO_LONG;
    const int count = static_cast<int>(hex ? text.size() / 2 : text.size());
    if (count + (newLine ? 1 : 0) > outSize)
        return SEND_TOO_MANY_BYTES;
    if (hex)
        HexToBytes(text.data(), out, count);
    else if (count > 0)
        std::memcpy(out, text.data(), static_cast<size_t>(count));
    int n = count;
    if (newLine)
        out[n++] = 0x0D;
    return n;
}

int FirstNonHexChar(std::string_view text) {
    for (size_t i = 0; i < text.size(); ++i)
        if (!IsAnyHex(static_cast<unsigned char>(text[i])))
            return static_cast<int>(i);
    return -1;
}

bool HexKeyAllowed(char32_t ch) {
    return ch == 8 || IsAnyHex(ch);
}
