#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "protocol/Diagnostics.h"

namespace {

TEST(Diagnostics, RequestFramesAndTheFlagEachSets) {
    struct Case {
        int cmd;
        const char* caption;
        std::vector<uint8_t> frame;
        DiagPending flags;
    } cases[] = {
        {DIAG_VERSION, "程序版本", {0xC0, 0xFF, 0xE4, 0x00, 0x00, 0xC2, 0x8C, 0xC1}, {true}},
        {DIAG_READER_ID,
         "读写器ID",
         {0xC0, 0xFF, 0xE1, 0x00, 0x00, 0x29, 0x7C, 0xC1},
         {false, true}},
        {DIAG_POWER_ON,
         "卡片上电",
         {0xC0, 0xFF, 0x03, 0x00, 0x00, 0xE7, 0x2D, 0xC1},
         {false, false, true}},
        {DIAG_POWER_OFF,
         "卡片下电",
         {0xC0, 0xFF, 0x07, 0x00, 0x00, 0x3B, 0xED, 0xC1},
         {false, false, false, true}},
        // Both PC/SC commands wait for the firmware verdict.
        {DIAG_PCSC_SET,
         "设置PC/SC",
         {0xC0, 0xFF, 0x24, 0x00, 0x01, 0x00, 0xF5, 0x9B, 0xC1},
         {true}},
        {DIAG_PCSC_CLEAR,
         "取消PC/SC",
         {0xC0, 0xFF, 0x24, 0x00, 0x01, 0xFF, 0xEB, 0x6B, 0xC1},
         {true}},
    };
    for (const auto& c : cases) {
        uint8_t out[DIAG_FRAME_MAX + 1] = {};
        const int len = BuildDiagFrame(c.cmd, out);
        ASSERT_EQ(len, static_cast<int>(c.frame.size())) << c.caption;
        EXPECT_EQ(std::vector<uint8_t>(out, out + len), c.frame) << c.caption;
        EXPECT_STREQ(DiagCaption(c.cmd), c.caption);
        EXPECT_EQ(DiagCommandByte(c.cmd), c.frame[2]);

        DiagPending p;
        ASSERT_TRUE(SetDiagPending(c.cmd, p));
        EXPECT_EQ(p.bWaitVersion, c.flags.bWaitVersion) << c.caption;
        EXPECT_EQ(p.bWaitReaderId, c.flags.bWaitReaderId) << c.caption;
        EXPECT_EQ(p.bWaitPowerOn, c.flags.bWaitPowerOn) << c.caption;
        EXPECT_EQ(p.bWaitPowerOff, c.flags.bWaitPowerOff) << c.caption;
    }
}

TEST(Diagnostics, UnknownCommandsAreRefusedAndTouchNothing) {
    for (int cmd : {-1, int{DIAG_COMMAND_COUNT}}) {
        uint8_t out[DIAG_FRAME_MAX] = {0xEE};
        EXPECT_EQ(BuildDiagFrame(cmd, out), -1);
        EXPECT_EQ(out[0], 0xEE);
        DiagPending p;
        EXPECT_FALSE(SetDiagPending(cmd, p));
        EXPECT_FALSE(AnyDiagPending(p));
        EXPECT_EQ(DiagCaption(cmd), nullptr);
        EXPECT_EQ(DiagCommandByte(cmd), -1);
    }
}

TEST(Diagnostics, SettingOneFlagLeavesTheOthers) {
    DiagPending p;
    SetDiagPending(DIAG_READER_ID, p);
    SetDiagPending(DIAG_POWER_OFF, p);
    EXPECT_TRUE(p.bWaitReaderId);
    EXPECT_TRUE(p.bWaitPowerOff);
    EXPECT_FALSE(p.bWaitVersion);
    EXPECT_FALSE(p.bWaitPowerOn);
}

TEST(Diagnostics, PowerOnVerdictByTheLengthsLowByte) {
    DiagPending p;
    p.bWaitPowerOn = true;
    const std::string noCard = "未发现卡片或不可识别卡，请检查读写器与探针板连接！\r\n\r\n";
    const std::string ok = "卡片上电成功，读写器与探针板连接正常！\r\n\r\n";
    EXPECT_EQ(DiagVerdictText(p, 0), noCard);
    EXPECT_EQ(DiagVerdictText(p, 1), noCard);
    EXPECT_EQ(DiagVerdictText(p, 2), ok);
    EXPECT_EQ(DiagVerdictText(p, 0x0D), ok);
    EXPECT_EQ(DiagVerdictText(p, 255), ok);
}

TEST(Diagnostics, VerdictsInTableOrder) {
    DiagPending p;
    SetDiagPending(DIAG_POWER_OFF, p);
    SetDiagPending(DIAG_READER_ID, p);
    SetDiagPending(DIAG_VERSION, p);
    EXPECT_EQ(DiagVerdictText(p, 0), "成功获取读写器固件版本，读写器与PC直接连接正常！\r\n\r\n"
                                     "成功获取读写器终端ID，读写器与PC直接连接正常！\r\n\r\n"
                                     "卡片下电成功！\r\n\r\n");
    EXPECT_EQ(DiagVerdictText(DiagPending{}, 5), "");
}

} // namespace
