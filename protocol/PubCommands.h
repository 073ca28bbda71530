#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

// The public commands dialog ("公用命令"): the terminal's management
// commands 0xE0-0xE6, their request data from the dialog's inputs, the
// fields and messages of their replies. The dialog's own texts and control
// identifiers live with the dialog.

enum PubCommand : int {
    PUB_SET_ID = 0,            // 0xE0 "设置设备ID号(只允许接一台设备)"
    PUB_READ_ID = 1,           // 0xE1 "读取设备ID号(只允许接一台设备)"
    PUB_QUERY_BY_LOW_ID = 2,   // 0xE2 "通过ID号最低字节查询终端参数"
    PUB_SET_MACHINE_BY_ID = 3, // 0xE3 "通过ID号设置终端机号"
    PUB_READ_TYPE = 4,         // 0xE4 "读取终端设备类型代码"
    PUB_READ_VERSION = 5,      // 0xE5 "读取终端设备程序版本"
    PUB_SET_RATE = 6,          // 0xE6 "更改终端设备通信速率"
    PUB_COMMAND_COUNT = 7
};

constexpr int PUB_DEFAULT_COMMAND = PUB_READ_ID; // selected when the dialog shows
inline constexpr char PUB_DEFAULT_MACHINE_NO[] = "255";
constexpr uint8_t PUB_BROADCAST_MACHINE = 255;
constexpr int PUB_RATE_COUNT = 8;
constexpr int PUB_TIMEOUT_MS = 3000; // first-character and inter-character
constexpr int PUB_BUFFER_SIZE = 388; // the dialog's send and receive buffers

// The command list's item text; nullptr outside 0..6.
const char* PubCommandName(int index);

// The rate list's item text, "19200" ... "115200"; nullptr outside 0..7.
const char* PubRateName(int index);

// The command byte 0xE0 + index; -1 outside 0..6.
int PubCommandByte(int index);

// True for commands 0..3: sent to machine 255, and choosing one resets
// 设备机号 to "255".
bool PubCommandAddressesAll(int index);

// True when ch may be typed into ID号(HEX): backspace, '0'-'9', 'a'-'f', 'A'-'F'.
bool PubIdKeyAllowed(int ch);

// True when ch may be typed into 设备机号: backspace, '0'-'9'.
bool PubMachineNoKeyAllowed(int ch);

// The input an input message sends the focus to (text selected); the dialog
// maps each to its control.
enum PubField : int {
    PUB_FIELD_NONE = 0,
    PUB_FIELD_ID = 1,
    PUB_FIELD_MACHINE_NO = 2,
    PUB_FIELD_LOW_ID = 3,
    PUB_FIELD_RATE = 4
};

// One message box of the dialog; an empty text means none.
struct PubMessage {
    std::string text;
    const char* caption = "";  // "成功", "失败", "警告" or "提示"
    bool bInformation = false; // information icon, else warning icon
    int nFocus = PUB_FIELD_NONE;
};

// Input check results: 0 passes, a negative code below, or a positive
// 1-based position of the first bad character of ID号(HEX).
enum PubInputCode : int {
    PUB_INPUT_OK = 0,
    PUB_NO_COMMAND = -1,
    PUB_BAD_ID_LENGTH = -2,
    PUB_BAD_LOW_ID = -3,
    PUB_BAD_MACHINE_NO = -4,
    PUB_NO_RATE = -5
};

// What the dialog holds when 执行 is pressed.
struct PubInput {
    int nCommand = PUB_DEFAULT_COMMAND; // -1: nothing selected
    std::string strId;                  // ID号(HEX)
    int nMachineNo = 255;               // 设备机号
    std::string strLowId;               // 低位ID号
    int nRate = -1;                     // 通信波特率 index; -1: nothing selected
};

// A request ready for BuildFrame.
struct PubRequest {
    uint8_t machine = 0;
    uint8_t command = 0;
    uint8_t data[5] = {};
    int len = 0;
};

// Checks ID号(HEX): 0, PUB_BAD_ID_LENGTH unless it holds exactly 8
// characters, else the position of the first one not '0'-'9' or 'A'-'F'.
int CheckPubId(std::string_view id);

// Checks 低位ID号: 0, or PUB_BAD_LOW_ID unless it is exactly two characters
// '0'-'9' or 'A'-'F'.
int CheckPubLowId(std::string_view lowId);

// Checks 设备机号: 0, or PUB_BAD_MACHINE_NO outside 1..255.
int CheckPubMachineNo(int machineNo);

// Checks the inputs the selected command needs, in the dialog's order, and
// builds its request. Returns 0 with req filled, else the first failed
// check's result with req untouched.
int BuildPubRequest(const PubInput& in, PubRequest& req);

// The message and focus for an input check result other than 0.
PubMessage PubInputMessage(int code);

// The message for RC_SENT: empty for 0, "发送命令失败!" otherwise.
PubMessage PubSendResultMessage(int value);

// The message for RC_RECEIVED with a value of 0 or below (a reply-read code).
PubMessage PubRecvErrorMessage(int value);

// "20%.2X年%.2X月%.2X日%.2X时" of four BCD bytes (year, month, day, hour).
std::string PubDateText(const uint8_t* d);

enum PubReplyCode : int {
    PUB_REPLY_OK = 0,              // fields and/or a success message
    PUB_REPLY_STATUS_ERROR = -1,   // status byte not 0; 设备机号 is not rewritten
    PUB_REPLY_MALFORMED = -2,      // not a whole frame, or too few data bytes for the command
    PUB_REPLY_UNKNOWN_COMMAND = -3 // command is not 0xE0-0xE6: nothing to show
};

// A decoded reply: the fields to write into the controls (absent ones stay
// as they are) and the message to show.
struct PubReply {
    int code = PUB_REPLY_OK;
    PubMessage message;
    std::optional<std::string> strId;       // ID号(HEX)
    std::optional<std::string> strLowId;    // 低位ID号
    std::optional<int> nMachineNo;          // 设备机号
    std::optional<std::string> strType;     // 机器类型
    std::optional<std::string> strVersion;  // 程序版本
    std::optional<std::string> strDoneTime; // 程序完成时间
};

// Decodes a reply frame of n bytes to command (the last command byte sent,
// 0xE0-0xE6). A reply behind the acknowledgement frame is the one decoded.
// Reads no byte at or past n: a reply that is not a whole frame by its
// length field, or holds fewer data bytes than the command's fields, gives
// PUB_REPLY_MALFORMED with "接收数据数据包格式错!".
PubReply DecodePubReply(int command, const uint8_t* frame, int n);
