// The console's result display: frame, raw and sent dumps in the windows,
// the acknowledgement line, the line limits, the result handler's statuses
// and appended texts, the two clearing buttons.
#include <QString>
#include <cstring>
#include <gtest/gtest.h>
#include <sstream>
#include <string>
#include <vector>

#include "ConsoleSim.h"
#include "FrameUtil.h"
#include "TextUtil.h"
#include "comm/Notify.h"

namespace {

std::string Repeat(const std::string& s, int n) {
    std::string out;
    for (int i = 0; i < n; ++i)
        out += s;
    return out;
}

class DisplayTest : public ConsoleSimTest {
  protected:
    void SetUp() override {
        ConsoleSimTest::SetUp();
        Start({}, false);
    }

    // Delivers a result as the worker's message would, the bytes in the
    // console's receive buffer.
    void Result(int code, long value, const std::vector<uint8_t>& bytes = {}) {
        if (!bytes.empty())
            std::memcpy(dlg->m_recvBuf, bytes.data(), bytes.size());
        dlg->DispatchWindowMessage(WM_COMM_RESULT, code, value);
    }
    void PendAll() {
        dlg->m_bWaitVersion = dlg->m_bWaitReaderId = dlg->m_bWaitPowerOn = dlg->m_bWaitPowerOff = 1;
    }
    int Pending() const {
        return dlg->m_bWaitVersion + dlg->m_bWaitReaderId + dlg->m_bWaitPowerOn +
               dlg->m_bWaitPowerOff;
    }
    // A window of exactly n lines.
    void FillLines(int id, int n) { dlg->SetItemText(id, QString(n - 1, QChar('\n'))); }
};

TEST_F(DisplayTest, FrameLinesRunSixteenDataCellsALine) {
    EXPECT_EQ(std::string("C2 01 E4 00 02 \n12 34 \nAB CD C3 \n\n"), [&] {
        Result(RC_RECEIVED, 10, {0xC2, 0x01, 0xE4, 0x00, 0x02, 0x12, 0x34, 0xAB, 0xCD, 0xC3});
        return Recv();
    }());
    struct Case {
        int dataBytes;
        std::vector<size_t> dataLineCells;
    } cases[] = {{0, {}}, {1, {1}}, {16, {16}}, {17, {16, 1}}, {40, {16, 16, 8}}};
    for (const Case& c : cases) {
        SCOPED_TRACE(c.dataBytes);
        ClearWindows();
        const std::vector<uint8_t> reply =
            MakeReply(0x01, 0x00, std::vector<uint8_t>(c.dataBytes, 0x5A));
        Result(RC_RECEIVED, static_cast<long>(reply.size()), reply);
        const std::vector<std::string> lines = Lines(Recv());
        ASSERT_EQ(lines.size(), c.dataLineCells.size() + 3);
        EXPECT_EQ(lines[0].size(), 15u) << "header: five cells";
        for (size_t i = 0; i < c.dataLineCells.size(); ++i)
            EXPECT_EQ(lines[1 + i], Repeat("5A ", static_cast<int>(c.dataLineCells[i])));
        EXPECT_EQ(lines[lines.size() - 2].substr(6), "C3 ") << "trailer";
        EXPECT_EQ(lines.back(), "");
    }
    EXPECT_EQ(dlg->m_strRecvStatus, "接收成功!");
    EXPECT_EQ(dlg->GetItemText(IDC_RECV_STATUS), "接收成功!");
}

TEST_F(DisplayTest, AcknowledgementGetsItsOwnLineAndTheFlag) {
    const std::vector<uint8_t> reply = MakeReply(0x01, 0x00, {0x11, 0x22});
    const std::vector<uint8_t> both = Concat(AckBytes(), reply);
    Result(RC_RECEIVED, static_cast<long>(both.size()), both);
    const std::vector<std::string> lines = Lines(Recv());
    ASSERT_EQ(lines.size(), 5u);
    EXPECT_EQ(lines[0], "确认包：C2 FF AC 00 01 54 3C 51 C3 ");
    EXPECT_EQ(lines[1], "C2 01 00 00 02 ");
    EXPECT_EQ(lines[2], "11 22 ");
    EXPECT_EQ(lines[4], "");
    EXPECT_TRUE(g_bConfirmPacket);

    Result(RC_RECEIVED, static_cast<long>(reply.size()), reply);
    EXPECT_FALSE(g_bConfirmPacket);
}

TEST_F(DisplayTest, TransferErrorFrameReplacesTheVerdicts) {
    PendAll();
    const std::vector<uint8_t> frame(TransferErrorFrame, TransferErrorFrame + 9);
    Result(RC_RECEIVED, 9, frame);
    EXPECT_EQ(Recv(), "C2 FF CE 00 01 \nE6 \n0F 72 C3 \n\n通信线路异常，PC数据发送传输错误！\n\n");
    EXPECT_EQ(Pending(), 0);
}

TEST_F(DisplayTest, RawDumpsCarryTheWindowsAddressColumn) {
    Result(RC_RAW_RECEIVED, 5, {0xAA, 0xBB, 0xCC, 0xDD, 0xEE});
    EXPECT_EQ(Recv(), "AA BB CC DD EE    000F\n");

    ClearWindows();
    std::vector<uint8_t> bytes(17);
    for (int i = 0; i < 17; ++i)
        bytes[i] = static_cast<uint8_t>(i);
    Result(RC_RAW_RECEIVED, 17, bytes);
    Result(RC_RAW_RECEIVED, 1, {0x7E});
    const std::vector<std::string> lines = Lines(Recv());
    ASSERT_EQ(lines.size(), 3u);
    EXPECT_EQ(lines[0], "00 01 02 03 04 05 06 07 08 09 0A 0B 0C 0D 0E 0F    000F");
    EXPECT_EQ(lines[1], "10    001F");
    EXPECT_EQ(lines[2], "7E    002F");
    EXPECT_EQ(dlg->m_nRecvCount, 5 + 17 + 1) << "the clearing button keeps the counters";
}

TEST_F(DisplayTest, WindowsAreEmptiedOnlyPastTheirLimits) {
    const std::string emptied = "*The Length of the Text is too long, Emptied Automaticly!*\n";
    const std::vector<uint8_t> reply = MakeReply(0x01, 0x00, {});
    struct Case {
        const char* name;
        int window;
        int lines;
        int code; // RC_RECEIVED, RC_RAW_RECEIVED, or RC_SENT
        bool emptied;
    } cases[] = {
        {"frame at 400", IDC_RECV, 400, RC_RECEIVED, false},
        {"frame at 401", IDC_RECV, 401, RC_RECEIVED, true},
        {"raw at 512", IDC_RECV, 512, RC_RAW_RECEIVED, false},
        {"raw at 513", IDC_RECV, 513, RC_RAW_RECEIVED, true},
        {"sent at 400", IDC_SEND, 400, RC_SENT, false},
        {"sent at 401", IDC_SEND, 401, RC_SENT, true},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        FillLines(c.window, c.lines);
        if (c.code == RC_SENT) {
            std::memcpy(dlg->m_sendBuf, reply.data(), reply.size());
            dlg->m_job.nSendLen = static_cast<int>(reply.size());
            Result(RC_SENT, 0);
        } else {
            Result(c.code, static_cast<long>(reply.size()), reply);
        }
        const std::string text = dlg->GetItemText(c.window).toStdString();
        EXPECT_EQ(text.rfind(emptied, 0) == 0, c.emptied);
        EXPECT_EQ(dlg->GetLineCount(c.window) > c.lines, !c.emptied);
    }
}

TEST_F(DisplayTest, ReceiveErrorsSetStatusAppendAndKeepOrDropVerdicts) {
    const std::string noAnswer =
        "\n读写器终端机无反应，请检查\n1、PC和读写器之间的物理连接；\n2、端口选择是否正确!\n";
    struct Case {
        long value;
        const char* status;
        std::string appended;
        bool kept;
    } cases[] = {
        {-10, "非Tavoframe88格式数据包!", "", true},
        {-9, "数据校验错误!", "通信线路异常，PC数据接收传输错误！\n\n", false},
        {-4, "接收数据超时!", "", true},
        {-2, "接收数据错!", "", true},
        {-6, "终端机无反应，接收失败!", noAnswer, false},
        {-16, "终端机无反应，接收失败!", noAnswer, false},
        {0, "终端机无反应，接收失败!", noAnswer, false},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.value);
        ClearWindows();
        PendAll();
        Result(RC_RECEIVED, c.value);
        EXPECT_EQ(dlg->GetItemText(IDC_RECV_STATUS).toStdString(), c.status);
        EXPECT_EQ(Recv(), c.appended);
        EXPECT_EQ(Pending(), c.kept ? 4 : 0);
    }
    EXPECT_EQ(dlg->m_nRecvCount, 0);
}

TEST_F(DisplayTest, RawReceiveStatuses) {
    struct Case {
        long value;
        const char* status;
    } cases[] = {{0, "没有数据!"},
                 {-4, "接收数据超时!"},
                 {-2, "接收数据错!"},
                 {-15, "终端机无反应，接收失败!"}};
    for (const Case& c : cases) {
        SCOPED_TRACE(c.value);
        Result(RC_RAW_RECEIVED, c.value);
        EXPECT_EQ(dlg->GetItemText(IDC_RECV_STATUS).toStdString(), c.status);
    }
    EXPECT_EQ(Recv(), "");
}

TEST_F(DisplayTest, SentBytesAndAFailedSend) {
    for (int i = 0; i < 17; ++i)
        dlg->m_sendBuf[i] = static_cast<uint8_t>(0xA0 + i);
    dlg->m_job.nSendLen = 17;
    Result(RC_SENT, 0);
    EXPECT_EQ(Sent(), "A0 A1 A2 A3 A4 A5 A6 A7 A8 A9 AA AB AC AD AE AF \nB0 \n");
    EXPECT_EQ(dlg->GetItemText(IDC_SEND_COUNT), "17");

    Result(RC_SENT, -3);
    ASSERT_EQ(capture.boxes.size(), 1u);
    EXPECT_EQ(capture.boxes[0].text, "发送数据失败!");
    EXPECT_EQ(capture.boxes[0].caption, "失败");
    EXPECT_EQ(capture.boxes[0].icon, MB_ICONEXCLAMATION);
    EXPECT_EQ(dlg->m_nSendCount, 17);
    EXPECT_EQ(Lines(Sent()).size(), 2u);
}

TEST_F(DisplayTest, ClearButtonsTouchOnlyTheirOwn) {
    dlg->m_job.nSendLen = 3;
    Result(RC_SENT, 0);
    Result(RC_RAW_RECEIVED, 2, {1, 2});
    ASSERT_TRUE(dlg->ClickItem(IDC_CLEAR_COUNT));
    EXPECT_EQ(dlg->GetItemText(IDC_SEND_COUNT), "0");
    EXPECT_EQ(dlg->GetItemText(IDC_RECV_COUNT), "0");
    EXPECT_FALSE(Recv().empty());
    EXPECT_FALSE(Sent().empty());

    Result(RC_RAW_RECEIVED, 2, {1, 2});
    ASSERT_TRUE(dlg->ClickItem(IDC_CLEAR));
    EXPECT_EQ(Recv(), "");
    EXPECT_EQ(Sent(), "");
    EXPECT_EQ(dlg->GetItemText(IDC_RECV_COUNT), "2");
    EXPECT_EQ(dlg->GetItemText(IDC_RECV_STATUS), "接收成功!");
}

} // namespace
