#pragma once

#include <string>

// The front ends' texts for result codes and channel states, outside the
// receive window: reply reads, connect outcomes, channel labels, port opens,
// sends and downloads. Channels are the channel kinds 0 serial, 1 modem,
// 2 TCP, 3 UDP.

// Shown for every reply-read code without a text of its own.
inline constexpr char GENERAL_RECV_FAILED_TEXT[] = "终端机无反应，接收失败!";
// Message (caption "失败") when the worker reports a failed send.
inline constexpr char SEND_FAILED_TEXT[] = "发送数据失败!";

// The text for a reply read that ended with code (RES_RECV_ERROR,
// RES_INTER_TIMEOUT, RES_CHECKSUM and RES_NOT_FRAME have their own, every
// other code the general text). Never nullptr.
const char* ReplyReadText(int code);

// The message (caption "错误") for a failed connect, bind or dial of channel
// (1 modem, 2 TCP, 3 UDP) with the worker's reason code. Empty when the
// console shows no message for that reason, or for any other channel.
std::string ConnectFailedText(int channel, int reason);

// The channel's status label after a connect outcome: "已打开!" / "已连线!" /
// "已连接!" / "已绑定!" on success, "拨号失败!" / "连接失败!" / "绑定失败!" on
// failure (nullptr for a serial failure, which keeps its label). nullptr for
// an unknown channel.
const char* ConnectStatusText(int channel, bool connected);

// The channel's status label once it is chosen, before it is opened:
// "未打开" / "未连线" / "未连接" / "未绑定". nullptr for an unknown channel.
const char* ChannelIdleText(int channel);

// The channel's status label after the user closed it: "已关闭!" / "已挂断!" /
// "未连接!" / "未绑定!". nullptr for an unknown channel.
const char* ChannelClosedText(int channel);

// The message (caption "错误") for a COM port that cannot be opened.
std::string OpenPortFailedText(int port);

// The warning (caption "警告") of a send, download or dialog refused because
// channel is not open. nullptr for an unknown channel.
const char* NotConnectedText(int channel);

// The download dialog's outcome message for the download's result value:
// caption "成功" when value is 0, else "失败".
std::string DownloadDoneText(int value);
