#pragma once

#include <cstdint>
#include <string_view>

// The send panel's input checks and the bytes it sends, without widgets.

// Why a send was refused. SEND_BAD_CHAR comes with the 1-based position of
// the first character that is not '0'-'9' or 'A'-'F'.
enum SendRefusal : int {
    SEND_BAD_COMMAND = -1,   // command field: not two hex digits
    SEND_ODD_LENGTH = -2,    // data: odd number of hex digits
    SEND_BAD_CHAR = -3,      // data: a character that is not a hex digit
    SEND_TOO_LONG = -4,      // data does not fit the frame, or a direct text over DIRECT_TEXT_MAX
    SEND_TOO_MANY_BYTES = -5 // a direct text within DIRECT_TEXT_MAX whose bytes do not fit
};

// What a command field refused as SEND_BAD_COMMAND asks for; the console
// puts its field's label in front.
inline constexpr char SEND_BAD_COMMAND_TEXT[] = "请输入2位合法的16进制字符!!!";

// The first sequence byte; the counter runs 1 ... 252, 0, 1 ...
constexpr uint8_t SEQ_NO_FIRST = 1;
constexpr uint8_t SEQ_NO_WRAP = 253;

// Largest direct-send text, in characters, so that it and a carriage return
// fit the send buffer when every character is one byte.
constexpr int DIRECT_TEXT_MAX = 599;

// True when the first two characters of text are '0'-'9' or 'A'-'F'; cmd
// then holds their value. Fewer than two characters fail.
bool ParseCommandByte(std::string_view text, uint8_t& cmd);

// True for the commands that get the sequence byte in front of their data
// after an acknowledgement (0x04, 0x54, 0x64).
bool TakesSeqNo(uint8_t cmd);

// The sequence byte after seq: 252 is followed by 0.
uint8_t NextSeqNo(uint8_t seq);

// Builds the protocol send's request frame into out (outSize bytes): the
// command field checked first (positions and lengths count characters),
// then the data's length and characters, then, after an acknowledgement
// (confirmPacket) for a command that takes it, the sequence byte seqNo in
// front of the data (seqNo then advances). Returns the frame length, or a
// SendRefusal (badPos set for SEND_BAD_CHAR) with out and seqNo untouched.
// More than 288 data bytes, sequence byte included, or a frame larger than
// outSize give SEND_TOO_LONG.
int BuildProtocolSend(uint8_t machine, std::string_view command, std::string_view data,
                      bool confirmPacket, uint8_t& seqNo, uint8_t* out, int outSize, int& badPos);

// The bytes of a direct send into out (outSize bytes): hex digits converted
// (hex), or the UTF-8 bytes of the text as they are; a carriage return
// behind them when newLine. Returns the byte count, or a SendRefusal (badPos
// set for SEND_BAD_CHAR) with out untouched. A text of more than
// DIRECT_TEXT_MAX characters gives SEND_TOO_LONG; bytes that do not fit
// outSize give SEND_TOO_MANY_BYTES. Positions and lengths count characters.
int BuildDirectSend(std::string_view text, bool hex, bool newLine, uint8_t* out, int outSize,
                    int& badPos);

// The content filter's scan: the 0-based index of the first character that
// is not '0'-'9', 'a'-'f' or 'A'-'F', or -1 when there is none.
int FirstNonHexChar(std::string_view text);

// True for a character the hex fields' key filter lets through: backspace
// or a hex digit of either case.
bool HexKeyAllowed(char32_t ch);
