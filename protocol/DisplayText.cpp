#include "protocol/DisplayText.h"

#include <cstdio>
#include <cstring>

#include "protocol/Frame.h"
#include "protocol/ResultCodes.h"
#include "protocol/StatusText.h"

namespace {

constexpr int ERROR_LEN = static_cast<int>(sizeof TransferErrorFrame);

constexpr char RECV_OK_TEXT[] = "接收成功!";

constexpr char NO_RESPONSE_TEXT[] =
    "\r\n读写器终端机无反应，请检查\r\n1、PC和读写器之间的物理连接；\r\n2、端口选择是否正确!\r\n";

void AppendCell(std::string& s, uint8_t b) {
    static const char DIGITS[] = "0123456789ABCDEF";
    s += DIGITS[b >> 4];
    s += DIGITS[b & 0x0F];
    s += ' ';
}

void AppendCells(std::string& s, const uint8_t* b, int n) {
    for (int i = 0; i < n; ++i)
        AppendCell(s, b[i]);
}

bool IsTransferError(const uint8_t* b, int n) {
    return n >= ERROR_LEN && std::memcmp(b, TransferErrorFrame, ERROR_LEN) == 0;
}

// One frame: header line, data lines of 16, trailer line, blank line. A
// piece too short to be a frame is shown as one line, so nothing past n is
// read.
void AppendFrame(std::string& s, const uint8_t* b, int n) {
    if (n < FRAME_OVERHEAD) {
        AppendCells(s, b, n);
        s += n > 0 ? "\r\n\r\n" : "\r\n";
        return;
    }
    AppendCells(s, b, 5);
    for (int i = 5; i <= n - 4; ++i) {
        if ((i - 5) % 16 == 0)
            s += "\r\n";
        AppendCell(s, b[i]);
    }
    s += "\r\n";
    AppendCells(s, b + n - 3, 3);
    s += "\r\n\r\n";
}

} // namespace

bool MustEmptyWindow(int kind, int lineCount) {
    switch (kind) {
    case DISPLAY_RECV_FRAME:
        return lineCount > RECV_FRAME_LINE_LIMIT;
    case DISPLAY_RECV_RAW:
        return lineCount > RECV_RAW_LINE_LIMIT;
    case DISPLAY_SENT:
        return lineCount > SENT_LINE_LIMIT;
    default:
        return false;
    }
}

int WindowLineCount(std::string_view text) {
    int lines = 1;
    for (char c : text)
        if (c == '\n')
            ++lines;
    return lines;
}

RecvFrameText FormatRecvFrame(const uint8_t* frame, int n, DiagPending& pending) {
    RecvFrameText out;
    if (n <= 0)
        return out;
    // An acknowledgement alone still gets its own line, over an empty reply.
    const int ackLen = LeadingAckLength(frame, n, 0);
    out.bConfirmPacket = ackLen > 0;
    out.bTransferError = IsTransferError(frame, n);

    const uint8_t* reply = frame + ackLen;
    const int replyLen = n - ackLen;
    out.text.reserve(static_cast<size_t>(n) * 3 + 256);
    if (out.bConfirmPacket) {
        out.text += "确认包：";
        AppendCells(out.text, frame, ackLen);
        out.text += "\r\n";
    }
    AppendFrame(out.text, reply, replyLen);

    if (out.bTransferError) {
        out.text += "通信线路异常，PC数据发送传输错误！\r\n\r\n";
    } else {
        // A piece without a length field counts as length 0.
        const uint8_t lengthLow = replyLen >= 5 ? reply[4] : 0;
        out.text += DiagVerdictText(pending, lengthLow);
    }
    pending = DiagPending{};
    return out;
}

std::string FormatRecvRaw(const uint8_t* bytes, int n, int lineCount) {
    std::string s;
    if (n <= 0)
        return s;
    // Unsigned arithmetic: the offset wraps at 16 bits whatever the count.
    uint16_t address = lineCount <= 0
                           ? 0x000F
                           : static_cast<uint16_t>((static_cast<unsigned>(lineCount) << 4) - 1u);
    char tail[16];
    s.reserve(static_cast<size_t>(n) * 3 + (n / 16 + 1) * 9);
    for (int i = 0; i < n; ++i) {
        if (i % 16 == 0 && i != 0) {
            std::snprintf(tail, sizeof tail, "   %04X\r\n", address);
            s += tail;
            address = static_cast<uint16_t>(address + 16);
        }
        AppendCell(s, bytes[i]);
    }
    std::snprintf(tail, sizeof tail, "   %04X\r\n", address);
    s += tail;
    return s;
}

std::string FormatSent(const uint8_t* bytes, int n) {
    std::string s;
    const int count = n > 0 ? n : 0;
    s.reserve(static_cast<size_t>(count) * 3 + (count / 16 + 1) * 2);
    for (int i = 0; i < count; ++i) {
        if (i % 16 == 0 && i != 0)
            s += "\r\n";
        AppendCell(s, bytes[i]);
    }
    s += "\r\n";
    return s;
}

const char* RecvStatusText(int value) {
    return value > 0 ? RECV_OK_TEXT : ReplyReadText(value);
}

const char* RecvErrorAppendText(int value) {
    switch (value) {
    case RES_NOT_FRAME:
    case RES_INTER_TIMEOUT:
    case RES_RECV_ERROR:
        return "";
    case RES_CHECKSUM:
        return "通信线路异常，PC数据接收传输错误！\r\n\r\n";
    default:
        return value > 0 ? "" : NO_RESPONSE_TEXT;
    }
}

bool RecvErrorClearsPending(int value) {
    switch (value) {
    case RES_NOT_FRAME:
    case RES_INTER_TIMEOUT:
    case RES_RECV_ERROR:
        return false;
    default:
        return value <= 0;
    }
}

const char* RawRecvStatusText(int value) {
    if (value > 0)
        return RECV_OK_TEXT;
    switch (value) {
    case 0:
        return "没有数据!";
    case RES_UDP_RECV_FAILED:
    case RES_RECV_ERROR:
        return ReplyReadText(value);
    default:
        return GENERAL_RECV_FAILED_TEXT;
    }
}
