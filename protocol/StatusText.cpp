#include "protocol/StatusText.h"

#include <cstdio>

#include "protocol/Channel.h"
#include "protocol/ResultCodes.h"

namespace {

struct CodeText {
    int code;
    const char* text;
};

constexpr CodeText REPLY_READ[] = {
    {RES_RECV_ERROR, "接收数据错!"},
    {RES_INTER_TIMEOUT, "接收数据超时!"},
    {RES_CHECKSUM, "数据校验错误!"},
    {RES_NOT_FRAME, "非Tavoframe88格式数据包!"},
};

std::string Format(const char* format, int value) {
    char buf[128];
    std::snprintf(buf, sizeof buf, format, value);
    return buf;
}

} // namespace

const char* ReplyReadText(int code) {
    for (const CodeText& c : REPLY_READ)
        if (c.code == code)
            return c.text;
    return GENERAL_RECV_FAILED_TEXT;
}

std::string ConnectFailedText(int channel, int reason) {
    switch (channel) {
    case CH_TCP:
        if (reason == RES_BAD_ADDRESS || reason == RES_SOCKET_FAILED)
            return "建立连接不成功,错误的IP地址";
        if (reason == RES_CONNECT_TIMEOUT)
            return "建立连接不成功,超时退出";
        return Format("连接终端错误，返回代码%d", reason);
    case CH_UDP:
        if (reason == UDP_NO_ADAPTER)
            return "系统中不存在网络连接,绑定失败!";
        if (reason == UDP_NO_PORT)
            return "调用绑定函数失败,请检查GPRS连接是否可用!";
        if (reason == UDP_NO_ETHERNET)
            return "GPRS连接不存在,绑定失败!";
        return {};
    case CH_MODEM:
        if (reason == RES_NO_CARRIER)
            return "拨号失败,终端无反应!";
        if (reason == RES_RECV_ERROR)
            return "拨号失败,接收数据错!";
        return {};
    default:
        return {};
    }
}

const char* ConnectStatusText(int channel, bool connected) {
    switch (channel) {
    case CH_SERIAL:
        return connected ? "已打开!" : nullptr;
    case CH_MODEM:
        return connected ? "已连线!" : "拨号失败!";
    case CH_TCP:
        return connected ? "已连接!" : "连接失败!";
    case CH_UDP:
        return connected ? "已绑定!" : "绑定失败!";
    default:
        return nullptr;
    }
}

const char* ChannelIdleText(int channel) {
    switch (channel) {
    case CH_SERIAL:
        return "未打开";
    case CH_MODEM:
        return "未连线";
    case CH_TCP:
        return "未连接";
    case CH_UDP:
        return "未绑定";
    default:
        return nullptr;
    }
}

const char* ChannelClosedText(int channel) {
    switch (channel) {
    case CH_SERIAL:
        return "已关闭!";
    case CH_MODEM:
        return "已挂断!";
    case CH_TCP:
        return "未连接!";
    case CH_UDP:
        return "未绑定!";
    default:
        return nullptr;
    }
}

std::string OpenPortFailedText(int port) {
    return Format("打开串口COM%d失败,请检查该串口是否已被占用!", port);
}

const char* NotConnectedText(int channel) {
    switch (channel) {
    case CH_SERIAL:
        return "尚未打开串口!!!";
    case CH_MODEM:
        return "尚未建立拨号连接!!!";
    case CH_TCP:
        return "尚未建立连接!!!";
    case CH_UDP:
        return "尚未绑定端口!!!";
    default:
        return nullptr;
    }
}

std::string DownloadDoneText(int value) {
    if (value == 0)
        return "下载程序成功";
    if (value == RES_NO_START)
        return "下载程序失败，终端无响应,请检查机号是否正确!";
    return Format("下载程序失败，返回错误代码 %d", value);
}
