#include <gtest/gtest.h>

#include <string>

#include "comm/CommJob.h"
#include "protocol/ResultCodes.h"
#include "protocol/StatusText.h"

namespace {

TEST(StatusText, ReplyReadTexts) {
    EXPECT_STREQ(ReplyReadText(RES_RECV_ERROR), "接收数据错!");
    EXPECT_STREQ(ReplyReadText(RES_INTER_TIMEOUT), "接收数据超时!");
    EXPECT_STREQ(ReplyReadText(RES_CHECKSUM), "数据校验错误!");
    EXPECT_STREQ(ReplyReadText(RES_NOT_FRAME), "非Tavoframe88格式数据包!");
    for (int code : {0, -1, -6, -15, -16, -17, -100})
        EXPECT_STREQ(ReplyReadText(code), "终端机无反应，接收失败!") << code;
}

TEST(StatusText, ConnectFailureMessages) {
    struct Case {
        int channel;
        int reason;
        std::string text;
    } cases[] = {
        {CH_TCP, RES_BAD_ADDRESS, "建立连接不成功,错误的IP地址"},
        {CH_TCP, RES_SOCKET_FAILED, "建立连接不成功,错误的IP地址"},
        {CH_TCP, RES_CONNECT_TIMEOUT, "建立连接不成功,超时退出"},
        {CH_TCP, RES_CONN_LOST, "连接终端错误，返回代码-16"},
        {CH_UDP, UDP_NO_ADAPTER, "系统中不存在网络连接,绑定失败!"},
        {CH_UDP, UDP_NO_PORT, "调用绑定函数失败,请检查GPRS连接是否可用!"},
        {CH_UDP, UDP_NO_ETHERNET, "GPRS连接不存在,绑定失败!"},
        {CH_UDP, RES_SOCKET_FAILED, ""},
        {CH_MODEM, RES_NO_CARRIER, "拨号失败,终端无反应!"},
        {CH_MODEM, RES_RECV_ERROR, "拨号失败,接收数据错!"},
        {CH_MODEM, RES_DIAL_FAILED, ""},
        {CH_SERIAL, RES_OPEN_FAILED, ""},
    };
    for (const auto& c : cases)
        EXPECT_EQ(ConnectFailedText(c.channel, c.reason), c.text) << c.channel << " " << c.reason;
}

TEST(StatusText, ChannelLabelsAndWarnings) {
    EXPECT_STREQ(ConnectStatusText(CH_SERIAL, true), "已打开!");
    EXPECT_EQ(ConnectStatusText(CH_SERIAL, false), nullptr);
    EXPECT_STREQ(ConnectStatusText(CH_MODEM, true), "已连线!");
    EXPECT_STREQ(ConnectStatusText(CH_MODEM, false), "拨号失败!");
    EXPECT_STREQ(ConnectStatusText(CH_TCP, true), "已连接!");
    EXPECT_STREQ(ConnectStatusText(CH_TCP, false), "连接失败!");
    EXPECT_STREQ(ConnectStatusText(CH_UDP, true), "已绑定!");
    EXPECT_STREQ(ConnectStatusText(CH_UDP, false), "绑定失败!");
    EXPECT_EQ(ConnectStatusText(4, true), nullptr);

    EXPECT_STREQ(NotConnectedText(CH_SERIAL), "尚未打开串口!!!");
    EXPECT_STREQ(NotConnectedText(CH_MODEM), "尚未建立拨号连接!!!");
    EXPECT_STREQ(NotConnectedText(CH_TCP), "尚未建立连接!!!");
    EXPECT_STREQ(NotConnectedText(CH_UDP), "尚未绑定端口!!!");
    EXPECT_EQ(NotConnectedText(-1), nullptr);

    struct Labels {
        int channel;
        const char* idle;
        const char* closed;
    } labels[] = {
        {CH_SERIAL, "未打开", "已关闭!"},
        {CH_MODEM, "未连线", "已挂断!"},
        {CH_TCP, "未连接", "未连接!"},
        {CH_UDP, "未绑定", "未绑定!"},
    };
    for (const Labels& l : labels) {
        EXPECT_STREQ(ChannelIdleText(l.channel), l.idle) << l.channel;
        EXPECT_STREQ(ChannelClosedText(l.channel), l.closed) << l.channel;
    }
    for (int channel : {-1, 4}) {
        EXPECT_EQ(ChannelIdleText(channel), nullptr);
        EXPECT_EQ(ChannelClosedText(channel), nullptr);
    }

    EXPECT_EQ(OpenPortFailedText(3), "打开串口COM3失败,请检查该串口是否已被占用!");
}

TEST(StatusText, DownloadOutcome) {
    EXPECT_EQ(DownloadDoneText(0), "下载程序成功");
    EXPECT_EQ(DownloadDoneText(RES_NO_START), "下载程序失败，终端无响应,请检查机号是否正确!");
    EXPECT_EQ(DownloadDoneText(0xAC), "下载程序失败，返回错误代码 172");
    EXPECT_EQ(DownloadDoneText(RES_NOT_FRAME), "下载程序失败，返回错误代码 -10");
}

} // namespace
