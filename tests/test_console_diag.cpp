// The diagnostic buttons against the terminal simulator on TCP: request
// frames, verdicts, verdicts kept or dropped by receive errors, and the
// refusals of a closed channel or a busy worker.
#include <gtest/gtest.h>
#include <string>
#include <vector>

#include "ConsoleSim.h"

namespace {

const std::string Version = "成功获取读写器固件版本，读写器与PC直接连接正常！\n\n";
const std::string ReaderId = "成功获取读写器终端ID，读写器与PC直接连接正常！\n\n";
const std::string CardOn = "卡片上电成功，读写器与探针板连接正常！\n\n";
const std::string NoCard = "未发现卡片或不可识别卡，请检查读写器与探针板连接！\n\n";
const std::string CardOff = "卡片下电成功！\n\n";

class DiagTest : public ConsoleSimTest {
  protected:
    // Runs one diagnostic through its button, or its handler for the
    // PC/SC pair, whose buttons stay disabled.
    void Run(int id) {
        if (id == IDC_SET_PCSC || id == IDC_CANCEL_PCSC) {
            EXPECT_FALSE(dlg->IsItemEnabled(id));
            id == IDC_SET_PCSC ? dlg->OnSetPcsc() : dlg->OnCancelPcsc();
            EXPECT_TRUE(WaitUntil([&] { return !dlg->JobPending(); }, 5000));
            Pump(20);
            return;
        }
        PressAndWait(id);
    }
    int Pending() const {
        const DiagPending& p = dlg->State().Pending();
        return p.bWaitVersion + p.bWaitReaderId + p.bWaitPowerOn + p.bWaitPowerOff;
    }
};

TEST_F(DiagTest, EachCommandSendsItsFrameAndPrintsItsVerdict) {
    struct Case {
        int id;
        std::string sent;
        std::string verdict;
    } cases[] = {
        {IDC_VERSION, "C0 FF E4 00 00 C2 8C C1 \n", Version},
        {IDC_READER_ID, "C0 FF E1 00 00 29 7C C1 \n", ReaderId},
        {IDC_POWER_ON, "C0 FF 03 00 00 E7 2D C1 \n", CardOn},
        {IDC_POWER_OFF, "C0 FF 07 00 00 3B ED C1 \n", CardOff},
        {IDC_SET_PCSC, "C0 FF 24 00 01 00 F5 9B C1 \n", Version},
        {IDC_CANCEL_PCSC, "C0 FF 24 00 01 FF EB 6B C1 \n", Version},
    };
    Start();
    for (const Case& c : cases) {
        SCOPED_TRACE(c.sent);
        ClearWindows();
        dlg->SetItemText(IDC_CMD_TIME, "");
        Run(c.id);
        EXPECT_EQ(Sent(), c.sent);
        EXPECT_TRUE(Recv().starts_with("C2 FF 00 ")) << Recv();
        EXPECT_TRUE(Recv().ends_with("\n\n" + c.verdict)) << Recv();
        EXPECT_EQ(dlg->GetItemText(IDC_RECV_STATUS), "接收成功!");
        EXPECT_FALSE(dlg->GetItemText(IDC_CMD_TIME).isEmpty());
        EXPECT_EQ(Pending(), 0);
    }
    EXPECT_TRUE(capture.boxes.empty());
}

// Power-on is judged by the low byte of the reply's length: 00 0D with a card,
// 00 01 without; behind an acknowledgement from the second frame's header.
TEST_F(DiagTest, PowerOnJudgedByTheLengthByte) {
    struct Case {
        std::vector<std::string> sim;
        int channel; // acknowledgements are shown from the serial line only
        std::string header;
        std::string verdict;
    } cases[] = {
        {{}, CH_TCP, "C2 FF 00 00 0D \n", CardOn},
        {{"--card", "absent"}, CH_TCP, "C2 FF 00 00 01 \n", NoCard},
        {{"--fault", "ack"},
         CH_SERIAL,
         "确认包：C2 FF AC 00 01 54 3C 51 C3 \nC2 FF 00 00 0D \n",
         CardOn},
        {{"--fault", "ack", "--card", "absent"},
         CH_SERIAL,
         "确认包：C2 FF AC 00 01 54 3C 51 C3 \nC2 FF 00 00 01 \n",
         NoCard},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.header);
        dlg.reset();
        Start(c.sim, true, 1000, c.channel);
        Run(IDC_POWER_ON);
        EXPECT_TRUE(Recv().starts_with(c.header)) << Recv();
        EXPECT_TRUE(Recv().ends_with("\n\n" + c.verdict)) << Recv();
    }
    EXPECT_TRUE(g_bConfirmPacket);
    g_bConfirmPacket = false;
}

TEST_F(DiagTest, EndByteErrorKeepsTheVerdictForTheNextFrame) {
    Start({"--fault", "bad-end:E1"});
    Run(IDC_READER_ID);
    EXPECT_EQ(dlg->GetItemText(IDC_RECV_STATUS), "非Tavoframe88格式数据包!");
    EXPECT_TRUE(dlg->State().Pending().bWaitReaderId);
    EXPECT_EQ(Recv(), "");
    Run(IDC_POWER_OFF);
    EXPECT_TRUE(Recv().ends_with("\n\n" + ReaderId + CardOff)) << Recv();
    EXPECT_EQ(Pending(), 0);
}

TEST_F(DiagTest, ChecksumErrorDropsTheVerdict) {
    Start({"--fault", "bad-crc:E4"});
    Run(IDC_VERSION);
    EXPECT_EQ(dlg->GetItemText(IDC_RECV_STATUS), "数据校验错误!");
    EXPECT_EQ(Recv(), "通信线路异常，PC数据接收传输错误！\n\n");
    EXPECT_EQ(Pending(), 0);
    Run(IDC_POWER_OFF);
    EXPECT_TRUE(Recv().ends_with("\n\n" + CardOff)) << Recv();
    EXPECT_EQ(Recv().find(Version), std::string::npos);
}

TEST_F(DiagTest, NoAnswerDropsTheVerdict) {
    Start({"--fault", "silent:E4"}, true, 200);
    Run(IDC_VERSION);
    EXPECT_EQ(dlg->GetItemText(IDC_RECV_STATUS), "终端机无反应，接收失败!");
    EXPECT_EQ(
        Recv(),
        "\n读写器终端机无反应，请检查\n1、PC和读写器之间的物理连接；\n2、端口选择是否正确!\n");
    EXPECT_EQ(Pending(), 0);
}

TEST_F(DiagTest, ClosedChannelOrBusyWorkerFilesNothing) {
    Start({"--fault", "first-delay:E4", "--first-delay", "300"}, false);
    ASSERT_TRUE(dlg->ClickItem(IDC_VERSION));
    ASSERT_EQ(capture.boxes.size(), 1u);
    EXPECT_EQ(capture.boxes[0].text, "尚未打开串口!!!");
    EXPECT_EQ(capture.boxes[0].caption, "警告");
    EXPECT_TRUE(Focused(IDC_OPEN_PORT));
    EXPECT_FALSE(dlg->JobPending());
    EXPECT_EQ(Pending(), 0);

    Choose(CH_TCP);
    ASSERT_TRUE(dlg->ClickItem(IDC_TCP_CONNECT));
    ASSERT_TRUE(WaitUntil([&] { return dlg->State().IsOpen(CH_TCP); }, 5000));
    ASSERT_TRUE(dlg->ClickItem(IDC_VERSION));
    ASSERT_TRUE(dlg->ClickItem(IDC_READER_ID)); // while the version reply is awaited
    EXPECT_FALSE(dlg->State().Pending().bWaitReaderId);
    ASSERT_TRUE(WaitUntil([&] { return !dlg->JobPending(); }, 5000));
    Pump(20);
    EXPECT_EQ(Sent(), "C0 FF E4 00 00 C2 8C C1 \n");
    EXPECT_TRUE(Recv().ends_with("\n\n" + Version)) << Recv();
    EXPECT_EQ(sim->CountLines("RX tcp"), 1);
}

} // namespace
