#pragma once

#include "protocol/PubCommands.h"

// The public commands dialog's template identifiers and its own texts.

enum : int {
    IDD_PUBFUNS_DIALOG = 135,
    IDC_PUB_COMMAND = 1002,    // 选择命令
    IDC_PUB_RATE = 1003,       // 通信波特率
    IDC_PUB_EXECUTE = 1005,    // 执行
    IDC_PUB_DONE_TIME = 1009,  // 程序完成时间
    IDC_PUB_LOW_ID = 1010,     // 低位ID号
    IDC_PUB_TYPE = 1012,       // 机器类型
    IDC_PUB_ID = 1014,         // ID号(HEX)
    IDC_PUB_MACHINE_NO = 1015, // 设备机号
    IDC_PUB_VERSION = 1016,    // 程序版本
};

inline constexpr char PUB_DIALOG_TITLE[] = "公用命令";

// The machine number field's key filter message; the ID field's is HEX_KEY_TEXT.
inline constexpr char PUB_DEC_KEY_TEXT[] = "请输入十进制字符 '0'~'9'!";

// The control a message's focus field names; 0 for PUB_FIELD_NONE.
constexpr int PubFieldControl(int field) {
    switch (field) {
    case PUB_FIELD_ID:
        return IDC_PUB_ID;
    case PUB_FIELD_MACHINE_NO:
        return IDC_PUB_MACHINE_NO;
    case PUB_FIELD_LOW_ID:
        return IDC_PUB_LOW_ID;
    case PUB_FIELD_RATE:
        return IDC_PUB_RATE;
    default:
        return 0;
    }
}
