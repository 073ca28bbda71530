// The console's result display as wired to its window: a worker result
// reaches the windows and the labels, a failed send shows one message, and
// the two clearing buttons. What a result writes is tested on the console
// state (test_consolestate.cpp).
#include <QPlainTextEdit>
#include <QString>
#include <gtest/gtest.h>
#include <string>

#include "ConsoleSim.h"
#include "TextUtil.h"
#include "app/Toolkit.h"
#include "comm/CaptureReader.h"
#include "comm/Notify.h"

namespace {

class DisplayTest : public ConsoleSimTest {
  protected:
    // Delivers a result as the worker's message would.
    void Result(int code, long value) { dlg->DispatchWindowMessage(WM_COMM_RESULT, code, value); }
};

TEST_F(DisplayTest, ResultsReachTheWindowsAndLabels) {
    Start();
    PressAndWait(IDC_PROTOCOL_SEND);
    EXPECT_TRUE(Sent().starts_with("C0 FF DD ")) << Sent();
    EXPECT_GE(Lines(Recv()).size(), 3u) << Recv();
    EXPECT_EQ(dlg->GetItemText(IDC_RECV_STATUS), "接收成功!");
    EXPECT_EQ(dlg->GetItemText(IDC_SEND_COUNT), QString::number(dlg->State().SendCount()));
    EXPECT_EQ(dlg->GetItemText(IDC_RECV_COUNT), QString::number(dlg->State().RecvCount()));
    EXPECT_GT(dlg->State().RecvCount(), 0);
}

TEST_F(DisplayTest, FailedSendShowsOneMessage) {
    Start({}, false);
    Result(RC_SENT, -3);
    ASSERT_EQ(capture.boxes.size(), 1u);
    EXPECT_EQ(capture.boxes[0].text, "发送数据失败!");
    EXPECT_EQ(capture.boxes[0].caption, "失败");
    EXPECT_EQ(capture.boxes[0].icon, MB_ICONEXCLAMATION);
    EXPECT_EQ(Sent(), "");
    EXPECT_EQ(dlg->GetItemText(IDC_SEND_COUNT), "0");
}

TEST_F(DisplayTest, ClearButtonsTouchOnlyTheirOwn) {
    Start();
    PressAndWait(IDC_PROTOCOL_SEND);
    ASSERT_TRUE(dlg->ClickItem(IDC_CLEAR_COUNT));
    EXPECT_EQ(dlg->GetItemText(IDC_SEND_COUNT), "0");
    EXPECT_EQ(dlg->GetItemText(IDC_RECV_COUNT), "0");
    EXPECT_FALSE(Recv().empty());
    EXPECT_FALSE(Sent().empty());

    Result(RC_RAW_RECEIVED, 2);
    ASSERT_TRUE(dlg->ClickItem(IDC_CLEAR));
    EXPECT_EQ(Recv(), "");
    EXPECT_EQ(Sent(), "");
    EXPECT_EQ(dlg->GetItemText(IDC_RECV_COUNT), "2");
    EXPECT_EQ(dlg->GetItemText(IDC_RECV_STATUS), "接收成功!");
}

// 开始记录... names a file and records the channel's traffic until 停止记录;
// the caption says so meanwhile. A file that cannot be created is said once.
TEST_F(DisplayTest, RecordingFromTheContextMenu) {
    Start();
    const QString title = dlg->windowTitle();
    QString chosen = QString::fromStdString((dir.path / "none" / "r.pcapng").string());
    SetFileDialogHook([&](QString& path) {
        path = chosen;
        return IDOK;
    });
    dlg->OnCapture();
    ASSERT_EQ(capture.boxes.size(), 1u);
    EXPECT_TRUE(capture.boxes[0].text.startsWith("无法创建记录文件"))
        << capture.boxes[0].text.toStdString();
    EXPECT_EQ(dlg->windowTitle(), title);
    EXPECT_FALSE(dlg->State().CaptureOn());

    chosen = QString::fromStdString((dir.path / "r.pcapng").string());
    dlg->OnCapture();
    SetFileDialogHook({});
    ASSERT_TRUE(dlg->State().CaptureOn());
    EXPECT_EQ(dlg->windowTitle(), title + " - 正在记录: " + chosen);
    PressAndWait(IDC_PROTOCOL_SEND);
    dlg->OnCapture();
    EXPECT_FALSE(dlg->State().CaptureOn());
    EXPECT_EQ(dlg->windowTitle(), title);
    EXPECT_EQ(capture.boxes.size(), 1u);

    Capture file;
    std::string error;
    ASSERT_EQ(LoadCapture(chosen.toStdString(), file, error), CAPTURE_READ_OK) << error;
    ASSERT_EQ(file.interfaces.size(), 1u);
    EXPECT_EQ(file.interfaces[0].strName, "TCP 127.0.0.1:" + std::to_string(sim->tcpPort));
    int out = 0;
    int in = 0;
    for (const CapturePacket& p : file.packets)
        (p.nDirection == CAPTURE_OUT ? out : in) += static_cast<int>(p.bytes.size());
    EXPECT_EQ(out, dlg->State().SendCount());
    EXPECT_EQ(in, dlg->State().RecvCount());
}

TEST_F(DisplayTest, ResultsWithinAFrameShowAsOneAtATimeWould) {
    Start({}, false);
    auto* recv = dlg->GetDlgItemAs<QPlainTextEdit>(IDC_RECV);
    // Raw dumps of 16 lines each, past the window's limit: the emptying and
    // the address column count the lines that wait as well.
    auto dumps = [&] {
        for (int i = 0; i < 40; ++i)
            Result(RC_RAW_RECEIVED, 256);
    };
    ClearWindows();
    for (int i = 0; i < 40; ++i) {
        Result(RC_RAW_RECEIVED, 256);
        ASSERT_TRUE(WaitPainted(*dlg));
    }
    const QString oneAtATime = recv->toPlainText();

    ClearWindows();
    ASSERT_TRUE(WaitPainted(*dlg));
    OpenFrame(*dlg);
    dumps();
    EXPECT_NE(recv->toPlainText(), oneAtATime);
    EXPECT_EQ(dlg->GetItemText(IDC_RECV), oneAtATime);
    ASSERT_TRUE(WaitPainted(*dlg));
    EXPECT_EQ(recv->toPlainText(), oneAtATime);

    // Clearing takes what waits too.
    OpenFrame(*dlg);
    dumps();
    ASSERT_TRUE(dlg->ClickItem(IDC_CLEAR));
    EXPECT_EQ(Recv(), "");
    ASSERT_TRUE(WaitPainted(*dlg));
    EXPECT_EQ(recv->toPlainText(), "");
}

} // namespace
