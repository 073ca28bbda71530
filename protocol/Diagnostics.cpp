#include "protocol/Diagnostics.h"

#include "protocol/Frame.h"

namespace {

struct DiagInfo {
    const char* caption;
    uint8_t command;
    int dataLen;
    uint8_t data;
    bool DiagPending::*flag;
};

constexpr DiagInfo DIAG[DIAG_COMMAND_COUNT] = {
    {"程序版本", 0xE4, 0, 0x00, &DiagPending::bWaitVersion},
    {"读写器ID", 0xE1, 0, 0x00, &DiagPending::bWaitReaderId},
    {"卡片上电", 0x03, 0, 0x00, &DiagPending::bWaitPowerOn},
    {"卡片下电", 0x07, 0, 0x00, &DiagPending::bWaitPowerOff},
    {"设置PC/SC", 0x24, 1, 0x00, &DiagPending::bWaitVersion},
    {"取消PC/SC", 0x24, 1, 0xFF, &DiagPending::bWaitVersion},
};

const DiagInfo* Find(int cmd) {
    return (cmd >= 0 && cmd < DIAG_COMMAND_COUNT) ? &DIAG[cmd] : nullptr;
}

} // namespace

const char* DiagCaption(int cmd) {
    const DiagInfo* d = Find(cmd);
    return d ? d->caption : nullptr;
}

int DiagCommandByte(int cmd) {
    const DiagInfo* d = Find(cmd);
    return d ? d->command : -1;
}

int BuildDiagFrame(int cmd, uint8_t* out) {
    const DiagInfo* d = Find(cmd);
    if (!d)
        return -1;
    return BuildFrame(DIAG_MACHINE, d->command, &d->data, d->dataLen, out);
}

bool SetDiagPending(int cmd, DiagPending& pending) {
    const DiagInfo* d = Find(cmd);
    if (!d)
        return false;
    pending.*(d->flag) = true;
    return true;
}

bool AnyDiagPending(const DiagPending& pending) {
    return pending.bWaitVersion || pending.bWaitReaderId || pending.bWaitPowerOn ||
           pending.bWaitPowerOff;
}

std::string DiagVerdictText(const DiagPending& pending, uint8_t lengthLow) {
    std::string text;
    if (pending.bWaitVersion)
        text += "成功获取读写器固件版本，读写器与PC直接连接正常！\r\n\r\n";
    if (pending.bWaitReaderId)
        text += "成功获取读写器终端ID，读写器与PC直接连接正常！\r\n\r\n";
    if (pending.bWaitPowerOn) {
        // Only the low byte counts: a card answers with an ATR of two or more bytes.
        if (lengthLow >= 2)
            text += "卡片上电成功，读写器与探针板连接正常！\r\n\r\n";
        else
            text += "未发现卡片或不可识别卡，请检查读写器与探针板连接！\r\n\r\n";
    }
    if (pending.bWaitPowerOff)
        text += "卡片下电成功！\r\n\r\n";
    return text;
}
