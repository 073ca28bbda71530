#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "FrameUtil.h"
#include "protocol/PubCommands.h"

namespace {

std::vector<uint8_t> Data(const PubRequest& r) {
    return {r.data, r.data + r.len};
}

PubInput Input(int command) {
    PubInput in;
    in.nCommand = command;
    return in;
}

PubReply Decode(int command, const std::vector<uint8_t>& frame) {
    return DecodePubReply(command, frame.data(), static_cast<int>(frame.size()));
}

TEST(PubCommands, ListsAndAddressing) {
    EXPECT_STREQ(PubCommandName(PUB_DEFAULT_COMMAND), "读取设备ID号(只允许接一台设备)");
    EXPECT_STREQ(PubCommandName(6), "更改终端设备通信速率");
    EXPECT_EQ(PubCommandName(7), nullptr);
    EXPECT_STREQ(PubRateName(0), "19200");
    EXPECT_STREQ(PubRateName(6), "57600");
    EXPECT_EQ(PubRateName(8), nullptr);
    for (int i = 0; i < PUB_COMMAND_COUNT; ++i) {
        EXPECT_EQ(PubCommandByte(i), 0xE0 + i);
        EXPECT_EQ(PubCommandAddressesAll(i), i < 4) << i;
    }
    EXPECT_EQ(PubCommandByte(-1), -1);
}

TEST(PubCommands, KeyFilters) {
    for (int ch : {'\b', '0', '9', 'a', 'f', 'A', 'F'})
        EXPECT_TRUE(PubIdKeyAllowed(ch)) << ch;
    for (int ch : {'g', 'G', ' ', '-', '\x03'})
        EXPECT_FALSE(PubIdKeyAllowed(ch)) << ch;
    for (int ch : {'\b', '0', '5', '9'})
        EXPECT_TRUE(PubMachineNoKeyAllowed(ch)) << ch;
    for (int ch : {'a', 'A', '-', '+'})
        EXPECT_FALSE(PubMachineNoKeyAllowed(ch)) << ch;
}

TEST(PubCommands, RequestsFromTheInputs) {
    struct Case {
        PubInput in;
        uint8_t machine;
        uint8_t command;
        std::vector<uint8_t> data;
    } cases[] = {
        {{PUB_SET_ID, "12AB34CD", 7, "", -1}, 255, 0xE0, {0x12, 0xAB, 0x34, 0xCD}},
        {{PUB_READ_ID, "", 7, "", -1}, 255, 0xE1, {}},
        {{PUB_QUERY_BY_LOW_ID, "", 7, "78", -1}, 255, 0xE2, {0x78}},
        {{PUB_SET_MACHINE_BY_ID, "0A0B0C0D", 12, "", -1},
         255,
         0xE3,
         {0x0A, 0x0B, 0x0C, 0x0D, 0x0C}},
        {{PUB_READ_TYPE, "", 7, "", -1}, 7, 0xE4, {}},
        {{PUB_READ_VERSION, "", 255, "", -1}, 255, 0xE5, {}},
        {{PUB_SET_RATE, "", 1, "", 6}, 1, 0xE6, {0x06}},
    };
    for (const auto& c : cases) {
        PubRequest r;
        ASSERT_EQ(BuildPubRequest(c.in, r), PUB_INPUT_OK) << c.in.nCommand;
        EXPECT_EQ(r.machine, c.machine) << c.in.nCommand;
        EXPECT_EQ(r.command, c.command);
        EXPECT_EQ(Data(r), c.data) << c.in.nCommand;
    }
}

TEST(PubCommands, RefusedInputsLeaveTheRequestAndNameTheField) {
    struct Case {
        PubInput in;
        int code;
        std::string text;
        const char* caption;
        int focus;
    } cases[] = {
        {{-1, "", 255, "", -1}, PUB_NO_COMMAND, "请选择待执行的命令!", "警告", PUB_FIELD_NONE},
        {{7, "", 255, "", -1}, PUB_NO_COMMAND, "请选择待执行的命令!", "警告", PUB_FIELD_NONE},
        {{PUB_SET_ID, "1234567", 255, "", -1},
         PUB_BAD_ID_LENGTH,
         "请输入合法的4字节ID号(十六进制表示)!",
         "警告",
         PUB_FIELD_ID},
        {{PUB_SET_ID, "123456789", 255, "", -1},
         PUB_BAD_ID_LENGTH,
         "请输入合法的4字节ID号(十六进制表示)!",
         "警告",
         PUB_FIELD_ID},
        {{PUB_SET_ID, "12G45678", 255, "", -1},
         3,
         "ID号(HEX):第3个字符不是合法的16进制字符，请重新输入",
         "警告",
         PUB_FIELD_ID},
        // The field upper-cases what is typed; lower case that got past it is refused.
        {{PUB_SET_MACHINE_BY_ID, "1234567a", 5, "", -1},
         8,
         "ID号(HEX):第8个字符不是合法的16进制字符，请重新输入",
         "警告",
         PUB_FIELD_ID},
        {{PUB_QUERY_BY_LOW_ID, "", 255, "7", -1},
         PUB_BAD_LOW_ID,
         "低位ID号:请输入2位合法的16进制字符!",
         "警告",
         PUB_FIELD_LOW_ID},
        {{PUB_QUERY_BY_LOW_ID, "", 255, "", -1},
         PUB_BAD_LOW_ID,
         "低位ID号:请输入2位合法的16进制字符!",
         "警告",
         PUB_FIELD_LOW_ID},
        {{PUB_QUERY_BY_LOW_ID, "", 255, "7Z", -1},
         PUB_BAD_LOW_ID,
         "低位ID号:请输入2位合法的16进制字符!",
         "警告",
         PUB_FIELD_LOW_ID},
        {{PUB_SET_MACHINE_BY_ID, "0A0B0C0D", 0, "", -1},
         PUB_BAD_MACHINE_NO,
         "机号: 请填入一个1和255之间的整数",
         "提示",
         PUB_FIELD_MACHINE_NO},
        {{PUB_READ_TYPE, "", 256, "", -1},
         PUB_BAD_MACHINE_NO,
         "机号: 请填入一个1和255之间的整数",
         "提示",
         PUB_FIELD_MACHINE_NO},
        {{PUB_SET_RATE, "", 1, "", -1},
         PUB_NO_RATE,
         "请指定待设置的新波特率!",
         "警告",
         PUB_FIELD_RATE},
        {{PUB_SET_RATE, "", 1, "", 8},
         PUB_NO_RATE,
         "请指定待设置的新波特率!",
         "警告",
         PUB_FIELD_RATE},
    };
    for (const auto& c : cases) {
        PubRequest r;
        r.machine = 0x5A;
        r.len = 3;
        EXPECT_EQ(BuildPubRequest(c.in, r), c.code) << c.text;
        EXPECT_EQ(r.machine, 0x5A);
        EXPECT_EQ(r.len, 3);
        const PubMessage m = PubInputMessage(c.code);
        EXPECT_EQ(m.text, c.text);
        EXPECT_STREQ(m.caption, c.caption);
        EXPECT_FALSE(m.bInformation);
        EXPECT_EQ(m.nFocus, c.focus) << c.text;
    }
}

TEST(PubCommands, CommandsToAllIgnoreTheMachineNumberField) {
    PubInput in = Input(PUB_READ_ID);
    in.nMachineNo = 0;
    PubRequest r;
    EXPECT_EQ(BuildPubRequest(in, r), PUB_INPUT_OK);
    EXPECT_EQ(r.machine, 255);
}

TEST(PubCommands, DecodesTheFieldsOfEachReply) {
    const PubReply id = Decode(0xE1, MakeReply(255, 0, {0x12, 0x34, 0x56, 0x78, 0x05}));
    EXPECT_EQ(id.code, PUB_REPLY_OK);
    EXPECT_EQ(id.strId, "12345678");
    EXPECT_EQ(id.strLowId, "78");
    EXPECT_EQ(id.nMachineNo, 5);
    EXPECT_TRUE(id.message.text.empty());
    EXPECT_FALSE(id.strType.has_value());

    const PubReply query = Decode(
        0xE2, MakeReply(255, 0, {0xAB, 0x00, 0x0C, 0xFE, 0x21, 0x23, 0x05, 0x17, 0x14, 3, 200}));
    EXPECT_EQ(query.strId, "AB000CFE");
    EXPECT_EQ(query.nMachineNo, 0x21);
    EXPECT_EQ(query.strVersion, "2023年05月17日14时");
    EXPECT_EQ(query.strType, "3,200");
    EXPECT_FALSE(query.strLowId.has_value());

    const PubReply type = Decode(0xE4, MakeReply(7, 0, {1, 2, 0x19, 0x12, 0x31, 0x23}));
    EXPECT_EQ(type.strType, "1,2");
    EXPECT_EQ(type.strVersion, "2019年12月31日23时");
    EXPECT_FALSE(type.nMachineNo.has_value());

    const PubReply done = Decode(0xE5, MakeReply(7, 0, {0x24, 0x01, 0x02, 0x09}));
    EXPECT_EQ(done.strDoneTime, "2024年01月02日09时");
}

TEST(PubCommands, SettingCommandsReportSuccess) {
    struct Case {
        int command;
        const char* text;
    } cases[] = {{0xE0, "设置设备ID号成功!"},
                 {0xE3, "设置机号成功!"},
                 {0xE6, "修改终端设备通信波特率成功!"}};
    for (const auto& c : cases) {
        const PubReply r = Decode(c.command, MakeReply(255, 0, {}));
        EXPECT_EQ(r.code, PUB_REPLY_OK);
        EXPECT_EQ(r.message.text, c.text);
        EXPECT_STREQ(r.message.caption, "成功");
        EXPECT_TRUE(r.message.bInformation);
    }
}

TEST(PubCommands, NonZeroStatusIsAnErrorWhateverTheCommand) {
    const PubReply r = Decode(0xE1, MakeReply(255, 0x01, {0x12, 0x34, 0x56, 0x78, 0x05}));
    EXPECT_EQ(r.code, PUB_REPLY_STATUS_ERROR);
    EXPECT_EQ(r.message.text, "接收数据出错!");
    EXPECT_STREQ(r.message.caption, "失败");
    EXPECT_FALSE(r.strId.has_value());
    EXPECT_FALSE(r.nMachineNo.has_value());
}

TEST(PubCommands, ReplyBehindAnAcknowledgementIsDecoded) {
    const PubReply r =
        Decode(0xE1, Concat(AckBytes(), MakeReply(255, 0, {0x12, 0x34, 0x56, 0x78, 0x05})));
    EXPECT_EQ(r.code, PUB_REPLY_OK);
    EXPECT_EQ(r.strId, "12345678");
    // The acknowledgement alone is a frame with status 0xAC.
    EXPECT_EQ(Decode(0xE1, AckBytes()).code, PUB_REPLY_STATUS_ERROR);
}

TEST(PubCommands, ShortRepliesFailWithoutReadingPastThem) {
    // Exact-size vectors: a read past the reply is a read past the vector.
    struct Case {
        int command;
        int dataLen;
    } tooFew[] = {{0xE1, 4}, {0xE2, 10}, {0xE4, 5}, {0xE5, 3}, {0xE1, 0}};
    for (const auto& c : tooFew) {
        const PubReply r =
            Decode(c.command, MakeReply(1, 0, std::vector<uint8_t>(c.dataLen, 0x11)));
        EXPECT_EQ(r.code, PUB_REPLY_MALFORMED) << c.command << " " << c.dataLen;
        EXPECT_EQ(r.message.text, "接收数据数据包格式错!");
        EXPECT_STREQ(r.message.caption, "失败");
        EXPECT_FALSE(r.strId || r.nMachineNo || r.strType || r.strVersion || r.strDoneTime);
    }

    std::vector<uint8_t> truncated = MakeReply(1, 0, {0x12, 0x34, 0x56, 0x78, 0x05});
    truncated.resize(truncated.size() - 1); // its length field promises one byte more
    EXPECT_EQ(Decode(0xE1, truncated).code, PUB_REPLY_MALFORMED);
    const std::vector<uint8_t> tiny = {0xC2, 0x01, 0x00};
    EXPECT_EQ(Decode(0xE0, tiny).code, PUB_REPLY_MALFORMED);
    EXPECT_EQ(DecodePubReply(0xE0, nullptr, 0).code, PUB_REPLY_MALFORMED);
    // A length field of 0xFFFF in an 8-byte reply.
    const std::vector<uint8_t> lying = {0xC2, 0x01, 0x00, 0xFF, 0xFF, 0x00, 0x00, 0xC3};
    EXPECT_EQ(Decode(0xE5, lying).code, PUB_REPLY_MALFORMED);
}

TEST(PubCommands, ReplyToAnUnknownCommandShowsNothing) {
    const PubReply r = Decode(0x10, MakeReply(1, 0, {1, 2, 3}));
    EXPECT_EQ(r.code, PUB_REPLY_UNKNOWN_COMMAND);
    EXPECT_TRUE(r.message.text.empty());
}

TEST(PubCommands, SendAndReceiveFailureMessages) {
    EXPECT_TRUE(PubSendResultMessage(0).text.empty());
    const PubMessage sent = PubSendResultMessage(RES_SEND_FAILED);
    EXPECT_EQ(sent.text, "发送命令失败!");
    EXPECT_STREQ(sent.caption, "失败");

    struct Case {
        int value;
        const char* text;
    } cases[] = {{RES_NOT_FRAME, "接收数据数据包格式错!"},  {RES_CHECKSUM, "数据校验错误!"},
                 {RES_INTER_TIMEOUT, "接收数据超时!"},      {RES_RECV_ERROR, "接收数据错!"},
                 {RES_NO_START, "终端机无反应，接收失败!"}, {0, "终端机无反应，接收失败!"}};
    for (const auto& c : cases) {
        const PubMessage m = PubRecvErrorMessage(c.value);
        EXPECT_EQ(m.text, c.text) << c.value;
        EXPECT_STREQ(m.caption, "失败");
        EXPECT_FALSE(m.bInformation);
    }
}

} // namespace
