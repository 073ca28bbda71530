#pragma once

#include <cstdint>
#include <string>
#include <string_view>

#include "protocol/Diagnostics.h"

// The text of the console's receive and send windows: hex cells "%02X ",
// line breaks "\r\n".

// The displays that append to a window, each with its line limit: a window
// holding more lines than the limit is emptied before the display.
enum DisplayKind : int { DISPLAY_RECV_FRAME = 0, DISPLAY_RECV_RAW = 1, DISPLAY_SENT = 2 };
constexpr int RECV_FRAME_LINE_LIMIT = 400;
constexpr int RECV_RAW_LINE_LIMIT = 512;
constexpr int SENT_LINE_LIMIT = 400;

// The whole text of a window that has just been emptied.
inline constexpr char WINDOW_EMPTIED_TEXT[] =
    "*The Length of the Text is too long, Emptied Automaticly!*\r\n";

// The receive status label before the first receive.
inline constexpr char RECV_STATUS_INITIAL[] = "接收状态";

// True when a window of lineCount lines must be emptied before a display of
// kind; false for an unknown kind.
bool MustEmptyWindow(int kind, int lineCount);

// The line count of a window holding text: its line feeds plus one, so an
// empty window and one ending in a line break count their last, empty line.
int WindowLineCount(std::string_view text);

struct RecvFrameText {
    std::string text;            // to append to the receive window
    bool bConfirmPacket = false; // began with the acknowledgement: the new g_bConfirmPacket
    bool bTransferError = false; // was the transfer-error frame
};

// Text of a received frame of n bytes: header line, data 16 cells a line,
// trailer line, blank line; an acknowledgement in front gets its own
// "确认包：" line. Then the transfer-error text, or else the pending
// verdicts; all pending flags are cleared. Reads no byte at or past n:
// fewer than 8 bytes (behind an acknowledgement: fewer than 8 behind it)
// are shown as one line of cells. n <= 0 gives an empty text and leaves
// pending untouched.
RecvFrameText FormatRecvFrame(const uint8_t* frame, int n, DiagPending& pending);

// Raw dump of n bytes for a receive window of lineCount lines: 16 cells a
// line, each line closed by three spaces and the four-digit offset of its
// last column counted over the window. n <= 0 gives an empty text.
std::string FormatRecvRaw(const uint8_t* bytes, int n, int lineCount);

// Text of n sent bytes: 16 cells a line, then a line break.
std::string FormatSent(const uint8_t* bytes, int n);

// Receive status for an RC_RECEIVED value: "接收成功!" above 0, else the
// reply-read text of the code. Never nullptr.
const char* RecvStatusText(int value);

// Text appended to the receive window for an RC_RECEIVED value of 0 or
// below; empty for codes that append nothing and for values above 0.
const char* RecvErrorAppendText(int value);

// True when an RC_RECEIVED value of 0 or below drops the pending verdicts
// (RES_CHECKSUM and every code without a status text of its own); false when
// they wait for the next frame shown (RES_NOT_FRAME, RES_INTER_TIMEOUT,
// RES_RECV_ERROR) and for values above 0.
bool RecvErrorClearsPending(int value);

// Receive status for an RC_RAW_RECEIVED value. Never nullptr.
const char* RawRecvStatusText(int value);
