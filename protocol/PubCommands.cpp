#include "protocol/PubCommands.h"

#include <cstdio>

#include "protocol/Frame.h"
#include "protocol/ResultCodes.h"
#include "protocol/StatusText.h"

namespace {

constexpr const char* COMMAND_NAMES[PUB_COMMAND_COUNT] = {
    "设置设备ID号(只允许接一台设备)", "读取设备ID号(只允许接一台设备)",
    "通过ID号最低字节查询终端参数",   "通过ID号设置终端机号",
    "读取终端设备类型代码",           "读取终端设备程序版本",
    "更改终端设备通信速率",
};

constexpr const char* RATE_NAMES[PUB_RATE_COUNT] = {"19200", "9600",  "4800",  "2400",
                                                    "1200",  "28800", "57600", "115200"};

constexpr uint8_t FIRST_COMMAND = 0xE0;
// The dialog's own text for a reply that is no frame; the console says it otherwise.
constexpr char MALFORMED_TEXT[] = "接收数据数据包格式错!";

bool IsUpperHex(char c) {
    return (c >= '0' && c <= '9') || (c >= 'A' && c <= 'F');
}

PubMessage Warning(std::string text, const char* caption, int focus = PUB_FIELD_NONE) {
    return PubMessage{std::move(text), caption, false, focus};
}

PubMessage Success(const char* text) {
    return PubMessage{text, "成功", true, PUB_FIELD_NONE};
}

std::string TypeText(uint8_t a, uint8_t b) {
    char buf[16];
    std::snprintf(buf, sizeof buf, "%d,%d", a, b);
    return buf;
}

std::string IdText(const uint8_t* d) {
    char hex[8];
    BytesToHex(d, hex, 4);
    return std::string(hex, 8);
}

PubReply Malformed() {
    PubReply r;
    r.code = PUB_REPLY_MALFORMED;
    r.message = Warning(MALFORMED_TEXT, "失败");
    return r;
}

// Data bytes each reply must carry for its fields.
int NeededData(int command) {
    switch (command) {
    case 0xE1:
        return 5;
    case 0xE2:
        return 11;
    case 0xE4:
        return 6;
    case 0xE5:
        return 4;
    default:
        return 0;
    }
}

} // namespace

const char* PubCommandName(int index) {
    return (index >= 0 && index < PUB_COMMAND_COUNT) ? COMMAND_NAMES[index] : nullptr;
}

const char* PubRateName(int index) {
    return (index >= 0 && index < PUB_RATE_COUNT) ? RATE_NAMES[index] : nullptr;
}

int PubCommandByte(int index) {
    return (index >= 0 && index < PUB_COMMAND_COUNT) ? FIRST_COMMAND + index : -1;
}

bool PubCommandAddressesAll(int index) {
    return index >= 0 && index <= PUB_SET_MACHINE_BY_ID;
}

bool PubIdKeyAllowed(int ch) {
    return ch == 8 || (ch >= '0' && ch <= '9') || (ch >= 'a' && ch <= 'f') ||
           (ch >= 'A' && ch <= 'F');
}

bool PubMachineNoKeyAllowed(int ch) {
    return ch == 8 || (ch >= '0' && ch <= '9');
}

int CheckPubId(std::string_view id) {
    if (id.size() != 8)
        return PUB_BAD_ID_LENGTH;
    for (size_t i = 0; i < id.size(); ++i)
        if (!IsUpperHex(id[i]))
            return static_cast<int>(i) + 1;
    return PUB_INPUT_OK;
}

int CheckPubLowId(std::string_view lowId) {
    if (lowId.size() != 2 || !IsUpperHex(lowId[0]) || !IsUpperHex(lowId[1]))
        return PUB_BAD_LOW_ID;
    return PUB_INPUT_OK;
}

int CheckPubMachineNo(int machineNo) {
    return (machineNo >= 1 && machineNo <= 255) ? PUB_INPUT_OK : PUB_BAD_MACHINE_NO;
}

int BuildPubRequest(const PubInput& in, PubRequest& req) {
    const int index = in.nCommand;
    if (index < 0 || index >= PUB_COMMAND_COUNT)
        return PUB_NO_COMMAND;

    PubRequest r;
    r.command = static_cast<uint8_t>(FIRST_COMMAND + index);
    r.machine = PUB_BROADCAST_MACHINE;
    if (index == PUB_SET_ID || index == PUB_SET_MACHINE_BY_ID) {
        if (int rc = CheckPubId(in.strId); rc != PUB_INPUT_OK)
            return rc;
        HexToBytes(in.strId.data(), r.data, 4);
        r.len = 4;
    }
    if (index == PUB_QUERY_BY_LOW_ID) {
        if (int rc = CheckPubLowId(in.strLowId); rc != PUB_INPUT_OK)
            return rc;
        HexToBytes(in.strLowId.data(), r.data, 1);
        r.len = 1;
    }
    // Only the low byte reaches the frame: refuse what it would turn into another terminal.
    if (index >= PUB_SET_MACHINE_BY_ID) {
        if (int rc = CheckPubMachineNo(in.nMachineNo); rc != PUB_INPUT_OK)
            return rc;
    }
    if (index == PUB_SET_MACHINE_BY_ID)
        r.data[r.len++] = static_cast<uint8_t>(in.nMachineNo);
    if (index >= PUB_READ_TYPE)
        r.machine = static_cast<uint8_t>(in.nMachineNo);
    if (index == PUB_SET_RATE) {
        if (in.nRate < 0 || in.nRate >= PUB_RATE_COUNT)
            return PUB_NO_RATE;
        r.data[0] = static_cast<uint8_t>(in.nRate);
        r.len = 1;
    }
    req = r;
    return PUB_INPUT_OK;
}

PubMessage PubInputMessage(int code) {
    if (code > 0) {
        char buf[128];
        std::snprintf(buf, sizeof buf, "ID号(HEX):第%d个字符不是合法的16进制字符，请重新输入",
                      code);
        return Warning(buf, "警告", PUB_FIELD_ID);
    }
    switch (code) {
    case PUB_NO_COMMAND:
        return Warning("请选择待执行的命令!", "警告");
    case PUB_BAD_ID_LENGTH:
        return Warning("请输入合法的4字节ID号(十六进制表示)!", "警告", PUB_FIELD_ID);
    case PUB_BAD_LOW_ID:
        return Warning("低位ID号:请输入2位合法的16进制字符!", "警告", PUB_FIELD_LOW_ID);
    case PUB_BAD_MACHINE_NO:
        return Warning("机号: 请填入一个1和255之间的整数", "提示", PUB_FIELD_MACHINE_NO);
    case PUB_NO_RATE:
        return Warning("请指定待设置的新波特率!", "警告", PUB_FIELD_RATE);
    default:
        return {};
    }
}

PubMessage PubSendResultMessage(int value) {
    return value == 0 ? PubMessage{} : Warning("发送命令失败!", "失败");
}

PubMessage PubRecvErrorMessage(int value) {
    return Warning(value == RES_NOT_FRAME ? MALFORMED_TEXT : ReplyReadText(value), "失败");
}

std::string PubDateText(const uint8_t* d) {
    char buf[64];
    std::snprintf(buf, sizeof buf, "20%.2X年%.2X月%.2X日%.2X时", d[0], d[1], d[2], d[3]);
    return buf;
}

PubReply DecodePubReply(int command, const uint8_t* frame, int n) {
    // The serial and UDP readers leave an acknowledgement in front of the reply.
    const int ackLen = LeadingAckLength(frame, n, FRAME_OVERHEAD);
    frame += ackLen;
    n -= ackLen;
    if (n < FRAME_OVERHEAD)
        return Malformed();
    const int m = (frame[3] << 8) | frame[4];
    if (m + FRAME_OVERHEAD > n)
        return Malformed();

    PubReply r;
    if (frame[2] != 0) {
        r.code = PUB_REPLY_STATUS_ERROR;
        r.message = Warning("接收数据出错!", "失败");
        return r;
    }
    if (command < FIRST_COMMAND || command >= FIRST_COMMAND + PUB_COMMAND_COUNT) {
        r.code = PUB_REPLY_UNKNOWN_COMMAND;
        return r;
    }
    if (m < NeededData(command))
        return Malformed();

    const uint8_t* d = frame + 5;
    switch (command) {
    case 0xE0:
        r.message = Success("设置设备ID号成功!");
        break;
    case 0xE1:
        r.strId = IdText(d);
        r.strLowId = r.strId->substr(6, 2);
        r.nMachineNo = d[4];
        break;
    case 0xE2:
        r.strId = IdText(d);
        r.nMachineNo = d[4];
        r.strVersion = PubDateText(d + 5);
        r.strType = TypeText(d[9], d[10]);
        break;
    case 0xE3:
        r.message = Success("设置机号成功!");
        break;
    case 0xE4:
        r.strType = TypeText(d[0], d[1]);
        r.strVersion = PubDateText(d + 2);
        break;
    case 0xE5:
        r.strDoneTime = PubDateText(d);
        break;
    case 0xE6:
        r.message = Success("修改终端设备通信波特率成功!");
        break;
    }
    return r;
}
