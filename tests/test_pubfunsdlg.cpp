// The public commands dialog over a real worker and a pseudo-terminal that
// plays the terminal: each command's request bytes and decoded reply, the
// refusals before anything is sent, the failure messages, the key filters,
// one command at a time, a close while a command runs, and the console's
// "公共命令" handler.
#include <QComboBox>
#include <QFocusEvent>
#include <QKeyEvent>
#include <QLineEdit>
#include <QTimer>
#include <gtest/gtest.h>

#include <cstring>
#include <memory>
#include <string>
#include <termios.h>
#include <thread>
#include <vector>

#include "ConsoleFixture.h"
#include "FrameUtil.h"
#include "PtyUtil.h"
#include "UiTestUtil.h"
#include "app/Beep.h"
#include "app/PubFunsDlg.h"
#include "app/PubFunsIds.h"
#include "app/QuillmarkDlg.h"
#include "app/Resource.h"
#include "app/WindowMessages.h"
#include "comm/CommThread.h"
#include "comm/SerialPort.h"
#include "sim/ConsoleConfigXml.h"

namespace {

constexpr int COM = 210;
constexpr int PUB_TIMEOUT_MS = 3000;
const char* const CAPTION = "公用命令";

std::vector<uint8_t> Request(uint8_t machine, uint8_t command, std::vector<uint8_t> data) {
    std::vector<uint8_t> frame(data.size() + FRAME_OVERHEAD);
    const int len = static_cast<int>(data.size());
    BuildFrame(machine, command, data.data(), len, frame.data());
    return frame;
}

// The inputs of one 执行.
struct Inputs {
    int command;
    QString id;
    QString machineNo;
    QString lowId;
    int rate;
};

Inputs In(int command, QString id = {}, QString machineNo = "255", QString lowId = {},
          int rate = -1) {
    return {command, id, machineNo, lowId, rate};
}

void Fill(CDialogBase& dlg, const Inputs& in) {
    dlg.SetCurSel(IDC_PUB_COMMAND, in.command);
    dlg.SetItemText(IDC_PUB_ID, in.id);
    dlg.SetItemText(IDC_PUB_MACHINE_NO, in.machineNo);
    dlg.SetItemText(IDC_PUB_LOW_ID, in.lowId);
    dlg.SetCurSel(IDC_PUB_RATE, in.rate);
}

class PubFunsTest : public ::testing::Test {
  protected:
    void SetUp() override {
        ASSERT_TRUE(pty.Open());
        ComBindDevice(COM, pty.path.c_str());
        ASSERT_EQ(ComOpen(COM, ComBaudIndex(19200)), 0);
        events.AttachTo(job);
        job.nChannel = CH_SERIAL;
        job.nPort = COM;
        worker = StartWorker(job);
        dlg = std::make_unique<CPubFunsDlg>(nullptr, job);
        ASSERT_TRUE(dlg->Create());
    }
    void TearDown() override {
        dlg.reset();
        StopWorker(job, worker);
        ComBindDevice(COM, "");
    }

    // Presses 执行 and returns what reached the terminal.
    std::vector<uint8_t> Execute(size_t expected) {
        EXPECT_TRUE(dlg->ClickItem(IDC_PUB_EXECUTE));
        std::vector<uint8_t> got = pty.Read(expected, 2000);
        const std::vector<uint8_t> extra = pty.Read(1, 100);
        got.insert(got.end(), extra.begin(), extra.end());
        return got;
    }

    bool Finished(int ms = PUB_TIMEOUT_MS * 2 + 2000) {
        return WaitUntil([&] { return !dlg->CommandRuns(); }, ms);
    }

    QString Text(int id) const { return dlg->GetItemText(id); }

    MessageCapture capture;
    PtyPair pty;
    CommEvents events;
    CommJob job;
    std::thread worker;
    std::unique_ptr<CPubFunsDlg> dlg;
};

TEST_F(PubFunsTest, OpensOnReadIdWith255) {
    EXPECT_EQ(dlg->windowTitle(), CAPTION);
    EXPECT_EQ(dlg->GetCurSel(IDC_PUB_COMMAND), PUB_READ_ID);
    EXPECT_EQ(Text(IDC_PUB_COMMAND), "读取设备ID号(只允许接一台设备)");
    EXPECT_EQ(Text(IDC_PUB_MACHINE_NO), "255");
    EXPECT_EQ(dlg->GetCurSel(IDC_PUB_RATE), -1);
    for (int id : {IDC_PUB_ID, IDC_PUB_LOW_ID, IDC_PUB_TYPE, IDC_PUB_VERSION, IDC_PUB_DONE_TIME})
        EXPECT_TRUE(Text(id).isEmpty()) << id;
}

TEST_F(PubFunsTest, EachCommandSendsItsRequestAndShowsItsReply) {
    struct Field {
        int id;
        QString text;
    };
    struct Case {
        const char* name;
        Inputs in;
        std::vector<uint8_t> request;
        std::vector<uint8_t> replyData;
        std::vector<Field> fields;
        const char* success; // message with caption "成功", or nullptr
    } cases[] = {
        {"set id",
         In(PUB_SET_ID, "0A0B0C0D"),
         Request(255, 0xE0, {0x0A, 0x0B, 0x0C, 0x0D}),
         {},
         {{IDC_PUB_MACHINE_NO, "255"}},
         "设置设备ID号成功!"},
        {"read id",
         In(PUB_READ_ID),
         Request(255, 0xE1, {}),
         {0x12, 0x34, 0x56, 0x78, 0x05},
         {{IDC_PUB_ID, "12345678"}, {IDC_PUB_LOW_ID, "78"}, {IDC_PUB_MACHINE_NO, "5"}},
         nullptr},
        {"query by low id",
         In(PUB_QUERY_BY_LOW_ID, "", "255", "78"),
         Request(255, 0xE2, {0x78}),
         {0x12, 0x34, 0x56, 0x78, 0x09, 0x24, 0x05, 0x17, 0x10, 0x03, 0x01},
         {{IDC_PUB_ID, "12345678"},
          {IDC_PUB_MACHINE_NO, "9"},
          {IDC_PUB_VERSION, "2024年05月17日10时"},
          {IDC_PUB_TYPE, "3,1"}},
         nullptr},
        {"set machine by id",
         In(PUB_SET_MACHINE_BY_ID, "0A0B0C0D", "12"),
         Request(255, 0xE3, {0x0A, 0x0B, 0x0C, 0x0D, 0x0C}),
         {},
         {{IDC_PUB_MACHINE_NO, "12"}},
         "设置机号成功!"},
        {"device type",
         In(PUB_READ_TYPE, "", "007"),
         Request(7, 0xE4, {}),
         {0x03, 0x01, 0x24, 0x05, 0x17, 0x10},
         {{IDC_PUB_TYPE, "3,1"},
          {IDC_PUB_VERSION, "2024年05月17日10时"},
          {IDC_PUB_MACHINE_NO, "7"}},
         nullptr},
        {"version",
         In(PUB_READ_VERSION, "", "7"),
         Request(7, 0xE5, {}),
         {0x24, 0x06, 0x03, 0x09},
         {{IDC_PUB_DONE_TIME, "2024年06月03日09时"}},
         nullptr},
        {"rate 57600",
         In(PUB_SET_RATE, "", "7", "", 6),
         Request(7, 0xE6, {0x06}),
         {},
         {},
         "修改终端设备通信波特率成功!"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        capture.boxes.clear();
        Fill(*dlg, c.in);
        EXPECT_EQ(Execute(c.request.size()), c.request);
        EXPECT_EQ(job.hNotifyWnd, dlg->GetSafeHwnd());
        EXPECT_EQ(job.nFirstCharTimeout, PUB_TIMEOUT_MS);
        EXPECT_EQ(job.nInterCharTimeout, PUB_TIMEOUT_MS);
        pty.Write(MakeReply(c.request[1], 0, c.replyData));
        ASSERT_TRUE(Finished());
        for (const Field& f : c.fields)
            EXPECT_EQ(Text(f.id), f.text) << f.id;
        if (c.success == nullptr) {
            EXPECT_TRUE(capture.boxes.empty());
            continue;
        }
        ASSERT_EQ(capture.boxes.size(), 1u);
        EXPECT_EQ(capture.boxes[0].text, QString::fromUtf8(c.success));
        EXPECT_EQ(capture.boxes[0].caption, "成功");
        EXPECT_EQ(capture.boxes[0].icon, MB_ICONINFORMATION);
    }
}

TEST_F(PubFunsTest, RefusedInputSendsNothing) {
    struct Case {
        const char* name;
        Inputs in;
        QString message;
        const char* caption;
        int focus; // 0: none
    } cases[] = {
        {"no command", In(-1), "请选择待执行的命令!", "警告", 0},
        {"id of 7 characters", In(PUB_SET_ID, "0A0B0C0"), "请输入合法的4字节ID号(十六进制表示)!",
         "警告", IDC_PUB_ID},
        {"third id character", In(PUB_SET_MACHINE_BY_ID, "0AXB0C0D", "12"),
         "ID号(HEX):第3个字符不是合法的16进制字符，请重新输入", "警告", IDC_PUB_ID},
        {"no rate", In(PUB_SET_RATE, "", "7"), "请指定待设置的新波特率!", "警告", IDC_PUB_RATE},
        {"low id of one digit", In(PUB_QUERY_BY_LOW_ID, "", "255", "7"),
         "低位ID号:请输入2位合法的16进制字符!", "警告", IDC_PUB_LOW_ID},
        {"machine 0", In(PUB_READ_TYPE, "", "0"), "机号: 请填入一个1和255之间的整数", "提示",
         IDC_PUB_MACHINE_NO},
        {"machine 300 for a new number", In(PUB_SET_MACHINE_BY_ID, "0A0B0C0D", "300"),
         "机号: 请填入一个1和255之间的整数", "提示", IDC_PUB_MACHINE_NO},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        capture.boxes.clear();
        Fill(*dlg, c.in);
        EXPECT_TRUE(dlg->ClickItem(IDC_PUB_EXECUTE));
        EXPECT_TRUE(pty.Read(1, 150).empty());
        EXPECT_FALSE(dlg->CommandRuns());
        EXPECT_EQ(job.pSendBuf, nullptr);
        ASSERT_EQ(capture.boxes.size(), 1u);
        EXPECT_EQ(capture.boxes[0].text, c.message);
        EXPECT_EQ(capture.boxes[0].caption, QString::fromUtf8(c.caption));
        EXPECT_EQ(capture.boxes[0].icon, MB_ICONEXCLAMATION);
        if (c.focus != 0) {
            EXPECT_EQ(dlg->focusWidget(), dlg->GetDlgItem(c.focus));
            if (auto* edit = dlg->GetDlgItemAs<QLineEdit>(c.focus)) {
                EXPECT_EQ(edit->selectedText(), edit->text());
            }
        }
    }
}

TEST_F(PubFunsTest, FailedRepliesAreReported) {
    const std::vector<uint8_t> request = Request(7, 0xE4, {});
    std::vector<uint8_t> badCrc = MakeReply(7, 0, {0x03, 0x01, 0x24, 0x05, 0x17, 0x10});
    badCrc[badCrc.size() - 2] ^= 0xFF;
    // A length the 388-byte buffer cannot hold is refused, not read into it.
    std::vector<uint8_t> tooLong = MakeReply(7, 0, std::vector<uint8_t>(400, 0x11));
    struct Case {
        const char* name;
        std::vector<uint8_t> reply;
        const char* message;
        const char* machineNoAfter; // "007" untouched, "7" rewritten
    } cases[] = {
        {"status 172", MakeReply(7, 172, {}), "接收数据出错!", "007"},
        {"checksum", badCrc, "数据校验错误!", "7"},
        {"too long", tooLong, "接收数据错!", "7"},
        {"header cut short", {0xC2, 0x07}, "接收数据超时!", "7"},
        {"silent", {}, "终端机无反应，接收失败!", "7"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        capture.boxes.clear();
        Fill(*dlg, In(PUB_READ_TYPE, "", "007"));
        EXPECT_EQ(Execute(request.size()), request);
        pty.Write(c.reply);
        ASSERT_TRUE(Finished());
        ASSERT_EQ(capture.boxes.size(), 1u);
        EXPECT_EQ(capture.boxes[0].text, QString::fromUtf8(c.message));
        EXPECT_EQ(capture.boxes[0].caption, "失败");
        EXPECT_EQ(capture.boxes[0].icon, MB_ICONEXCLAMATION);
        EXPECT_EQ(Text(IDC_PUB_MACHINE_NO), c.machineNoAfter);
        EXPECT_TRUE(Text(IDC_PUB_TYPE).isEmpty());
        // Let the reader's leftovers drain before the next case.
        Pump(50);
        tcflush(pty.master, TCIOFLUSH);
    }
}

TEST_F(PubFunsTest, FailedSendIsReported) {
    ComClose(COM);
    Fill(*dlg, In(PUB_READ_TYPE, "", "007"));
    EXPECT_TRUE(dlg->ClickItem(IDC_PUB_EXECUTE));
    ASSERT_TRUE(Finished());
    ASSERT_EQ(capture.boxes.size(), 1u);
    EXPECT_EQ(capture.boxes[0].text, "发送命令失败!");
    EXPECT_EQ(capture.boxes[0].caption, "失败");
    EXPECT_EQ(capture.boxes[0].icon, MB_ICONEXCLAMATION);
    EXPECT_EQ(Text(IDC_PUB_MACHINE_NO), "7");
}

// A result that comes while the user has a box open shows its box after
// that one, not over it.
TEST_F(PubFunsTest, ResultWaitsForTheOpenBox) {
    std::vector<std::pair<std::string, int>> shown; // text, boxes open with it
    MessageBoxHook previous =
        SetMessageBoxHook([&](QWidget*, const QString& text, const QString&, int) {
            shown.emplace_back(text.toStdString(), OpenMessageBoxes());
            // The first box stays open until the command's result has come.
            if (shown.size() == 1)
                WaitUntil([&] { return !dlg->CommandRuns(); }, 3000);
            return IDOK;
        });
    ComClose(COM);
    Fill(*dlg, In(PUB_READ_TYPE, "", "7"));
    EXPECT_TRUE(dlg->ClickItem(IDC_PUB_EXECUTE));
    dlg->SetItemText(IDC_PUB_MACHINE_NO, "0");
    QFocusEvent out(QEvent::FocusOut, Qt::TabFocusReason);
    QCoreApplication::sendEvent(dlg->GetDlgItem(IDC_PUB_MACHINE_NO), &out);
    Pump(100);
    SetMessageBoxHook(std::move(previous));
    ASSERT_EQ(shown.size(), 2u);
    EXPECT_EQ(shown[0], std::make_pair(std::string("机号: 请填入一个1和255之间的整数"), 1));
    EXPECT_EQ(shown[1], std::make_pair(std::string("发送命令失败!"), 1));
}

TEST_F(PubFunsTest, OneCommandAtATimeAndOnlyItsOwnResults) {
    const std::vector<uint8_t> request = Request(255, 0xE1, {});
    // Results of jobs the dialog did not file, while it runs nothing.
    dlg->DispatchWindowMessage(WM_COMM_RESULT, RC_SENT, -3);
    dlg->DispatchWindowMessage(WM_COMM_RESULT, RC_RECEIVED, -6);
    EXPECT_TRUE(capture.boxes.empty());

    EXPECT_EQ(Execute(request.size()), request);
    EXPECT_TRUE(dlg->CommandRuns());
    // A second 执行 files nothing, and the first command's buffers stay put.
    Fill(*dlg, In(PUB_READ_TYPE, "", "7"));
    EXPECT_TRUE(dlg->ClickItem(IDC_PUB_EXECUTE));
    EXPECT_TRUE(pty.Read(1, 300).empty());
    EXPECT_EQ(job.nSendLen, static_cast<int>(request.size()));
    // A raw-receive result is not this dialog's either.
    dlg->DispatchWindowMessage(WM_COMM_RESULT, RC_RAW_RECEIVED, 0);
    EXPECT_TRUE(dlg->CommandRuns());

    pty.Write(MakeReply(255, 0, {0x12, 0x34, 0x56, 0x78, 0x05}));
    ASSERT_TRUE(Finished());
    EXPECT_EQ(Text(IDC_PUB_ID), "12345678");
    EXPECT_TRUE(capture.boxes.empty());
    // The next 执行 runs again; the result rewrote every field.
    Fill(*dlg, In(PUB_READ_TYPE, "", "5"));
    EXPECT_EQ(Execute(Request(5, 0xE4, {}).size()), Request(5, 0xE4, {}));
    pty.Write(MakeReply(5, 0, {0x03, 0x01, 0x24, 0x05, 0x17, 0x10}));
    ASSERT_TRUE(Finished());
    EXPECT_EQ(Text(IDC_PUB_TYPE), "3,1");
}

TEST_F(PubFunsTest, CommandChoiceResetsTheMachineNumberForTheFirstFour) {
    auto* combo = dlg->GetDlgItemAs<QComboBox>(IDC_PUB_COMMAND);
    for (int index = 0; index < PUB_COMMAND_COUNT; ++index) {
        SCOPED_TRACE(index);
        dlg->SetItemText(IDC_PUB_MACHINE_NO, "7");
        combo->setCurrentIndex(index);
        emit combo->activated(index);
        EXPECT_EQ(Text(IDC_PUB_MACHINE_NO), index < 4 ? "255" : "7");
    }
}

TEST_F(PubFunsTest, MachineNumberLeavingFocusOutOfRange) {
    for (const char* text : {"0", "256", "", "1", "255"}) {
        SCOPED_TRACE(text);
        capture.boxes.clear();
        dlg->SetItemText(IDC_PUB_MACHINE_NO, text);
        dlg->OnMachineNoKillFocus();
        const int n = QString(text).toInt();
        if (n >= 1 && n <= 255) {
            EXPECT_TRUE(capture.boxes.empty());
            continue;
        }
        ASSERT_EQ(capture.boxes.size(), 1u);
        EXPECT_EQ(capture.boxes[0].text, "机号: 请填入一个1和255之间的整数");
        EXPECT_EQ(capture.boxes[0].caption, "提示");
        EXPECT_EQ(dlg->focusWidget(), dlg->GetDlgItem(IDC_PUB_MACHINE_NO));
        EXPECT_EQ(Text(IDC_PUB_MACHINE_NO), text); // not corrected
    }
    // Leaving for another field checks; another window taking the focus does not.
    dlg->SetItemText(IDC_PUB_MACHINE_NO, "0");
    for (Qt::FocusReason reason : {Qt::TabFocusReason, Qt::ActiveWindowFocusReason}) {
        SCOPED_TRACE(reason);
        capture.boxes.clear();
        QFocusEvent out(QEvent::FocusOut, reason);
        QCoreApplication::sendEvent(dlg->GetDlgItem(IDC_PUB_MACHINE_NO), &out);
        EXPECT_EQ(capture.boxes.size(), reason == Qt::TabFocusReason ? 1u : 0u);
    }
}

TEST_F(PubFunsTest, KeyFiltersOfIdAndMachineNumber) {
    std::vector<std::pair<int, int>> beeps;
    BeepHook previous = SetBeepHook([&](int hz, int ms) { beeps.emplace_back(hz, ms); });
    struct Case {
        const char* name;
        int id;
        int key;
        QString text;
        Qt::KeyboardModifiers mods;
        QString after;       // the field's text after the key
        const char* refusal; // nullptr: the key passes
    } cases[] = {
        {"hex letter", IDC_PUB_ID, Qt::Key_A, "a", Qt::NoModifier, "1A", nullptr},
        {"hex digit", IDC_PUB_ID, Qt::Key_9, "9", Qt::NoModifier, "19", nullptr},
        {"not hex", IDC_PUB_ID, Qt::Key_G, "g", Qt::NoModifier, "1",
         "请输入十六进制字符 '0'~'9','A'~'F'!"},
        {"digit", IDC_PUB_MACHINE_NO, Qt::Key_5, "5", Qt::NoModifier, "15", nullptr},
        {"letter", IDC_PUB_MACHINE_NO, Qt::Key_A, "a", Qt::NoModifier, "1",
         "请输入十进制字符 '0'~'9'!"},
        {"ctrl+v", IDC_PUB_MACHINE_NO, Qt::Key_V, QString(QChar(0x16)), Qt::ControlModifier, "1",
         "请输入十进制字符 '0'~'9'!"},
        {"backspace", IDC_PUB_MACHINE_NO, Qt::Key_Backspace, QString(QChar(8)), Qt::NoModifier, "",
         nullptr},
        {"low id is not filtered", IDC_PUB_LOW_ID, Qt::Key_G, "g", Qt::NoModifier, "1G", nullptr},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        beeps.clear();
        capture.boxes.clear();
        auto* edit = dlg->GetDlgItemAs<QLineEdit>(c.id);
        edit->setText("1");
        edit->end(false);
        QKeyEvent press(QEvent::KeyPress, c.key, c.mods, c.text);
        QCoreApplication::sendEvent(edit, &press);
        EXPECT_EQ(edit->text(), c.after);
        if (c.refusal == nullptr) {
            EXPECT_TRUE(beeps.empty());
            EXPECT_TRUE(capture.boxes.empty());
            continue;
        }
        EXPECT_EQ(beeps, (std::vector<std::pair<int, int>>{{1500, 50}}));
        ASSERT_EQ(capture.boxes.size(), 1u);
        EXPECT_EQ(capture.boxes[0].text, QString::fromUtf8(c.refusal));
        EXPECT_EQ(capture.boxes[0].caption, "提示");
        EXPECT_EQ(capture.boxes[0].icon, MB_ICONEXCLAMATION);
    }
    SetBeepHook(std::move(previous));
}

TEST_F(PubFunsTest, CloseWhileACommandRunsWaitsForItsResult) {
    const std::vector<uint8_t> request = Request(255, 0xE1, {});
    EXPECT_EQ(Execute(request.size()), request);
    // 关闭, then Escape: the worker still owns the buffers, the dialog stays.
    EXPECT_TRUE(dlg->ClickItem(IDOK));
    dlg->OnCancel();
    dlg->close();
    Pump(100);
    EXPECT_TRUE(dlg->isVisible());
    EXPECT_TRUE(dlg->CommandRuns());

    pty.Write(MakeReply(255, 0, {0x12, 0x34, 0x56, 0x78, 0x05}));
    ASSERT_TRUE(WaitUntil([&] { return !dlg->isVisible(); }, 3000));
    EXPECT_FALSE(dlg->CommandRuns());
    EXPECT_TRUE(capture.boxes.empty());
    // Gone with the dialog: the record no longer points into its buffers.
    dlg.reset();
    EXPECT_EQ(job.pSendBuf, nullptr);
    EXPECT_EQ(job.pRecvBuf, nullptr);
}

// The console's handler, on a console whose serial port is the pty.
class PubFunsButtonTest : public ConsoleFixture {
  protected:
    void SetUp() override {
        ASSERT_TRUE(pty.Open());
        ConsoleConfigXml cfg;
        cfg.com = R"(PortNo="210" BaudRate="19200" FirstChar="1000" RevTimeOut="1000")";
        cfg.modem =
            R"(PortNo="211" BaudRate="19200" FirstChar="1000" RevTimeOut="1000" AddedNo="" CalledNo="")";
        cfg.ports = {{COM, pty.path}};
        StartConsole(cfg.Xml());
    }
    void TearDown() override {
        ConsoleFixture::TearDown();
        ComBindDevice(COM, "");
    }

    PtyPair pty;
};

TEST_F(PubFunsButtonTest, ButtonStaysDisabledAndTheHandlerChecksTheConnection) {
    EXPECT_FALSE(dlg->IsItemEnabled(IDC_PUBFUNS));
    struct Case {
        int channel;
        const char* message;
        int focus;
    } cases[] = {
        {CH_SERIAL, "尚未打开串口!!!", IDC_OPEN_PORT},
        {CH_MODEM, "尚未建立拨号连接!!!", IDC_OPEN_PORT},
        {CH_TCP, "尚未建立连接!!!", IDC_TCP_CONNECT},
        {CH_UDP, "尚未绑定端口!!!", IDC_UDP_BIND},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.channel);
        capture.boxes.clear();
        auto* combo = dlg->GetDlgItemAs<QComboBox>(IDC_CHANNEL);
        combo->setCurrentIndex(c.channel);
        emit combo->activated(c.channel);
        dlg->OnPubFuns();
        ASSERT_EQ(capture.boxes.size(), 1u);
        EXPECT_EQ(capture.boxes[0].text, QString::fromUtf8(c.message));
        EXPECT_EQ(capture.boxes[0].caption, "警告");
        EXPECT_EQ(capture.boxes[0].icon, MB_ICONEXCLAMATION);
        EXPECT_EQ(dlg->focusWidget(), dlg->GetDlgItem(c.focus));
        EXPECT_EQ(FindWindowByCaption(CAPTION), nullptr);
    }
}

TEST_F(PubFunsButtonTest, DialogRunsOnTheConsolesJobAndHandsItBack) {
    ASSERT_TRUE(dlg->ClickItem(IDC_OPEN_PORT));
    ASSERT_EQ(dlg->State().IsOpen(CH_SERIAL), true);
    const std::vector<uint8_t> request = Request(255, 0xE1, {});
    std::vector<uint8_t> sent;
    QString id;
    bool closedEarly = false;
    QTimer guard;
    guard.setSingleShot(true);
    QObject::connect(&guard, &QTimer::timeout, [] {
        ADD_FAILURE() << "the dialog did not end";
        if (CDialogBase* d = FindWindowByCaption(CAPTION))
            d->EndDialog(IDCANCEL);
    });
    guard.start(15000);
    QTimer::singleShot(0, [&] {
        auto* d = static_cast<CPubFunsDlg*>(FindWindowByCaption(CAPTION));
        ASSERT_NE(d, nullptr);
        EXPECT_EQ(&d->Job(), &dlg->State().Job());
        d->ClickItem(IDC_PUB_EXECUTE);
        sent = pty.Read(request.size(), 2000);
        EXPECT_EQ(dlg->State().Job().hNotifyWnd, d->GetSafeHwnd());
        pty.Write(MakeReply(255, 0, {0x12, 0x34, 0x56, 0x78, 0x05}));
        WaitUntil([&] { return !d->CommandRuns(); }, 5000);
        id = d->GetItemText(IDC_PUB_ID);
        // Second command, closed while it runs: the close waits for the reply.
        d->ClickItem(IDC_PUB_EXECUTE);
        pty.Read(request.size(), 2000);
        d->ClickItem(IDOK);
        Pump(50);
        closedEarly = !d->isVisible();
        pty.Write(MakeReply(255, 0, {0x12, 0x34, 0x56, 0x78, 0x05}));
    });
    dlg->OnPubFuns();
    guard.stop();
    EXPECT_EQ(sent, request);
    EXPECT_EQ(id, "12345678");
    EXPECT_FALSE(closedEarly);
    EXPECT_TRUE(capture.boxes.empty());
    EXPECT_EQ(FindWindowByCaption(CAPTION), nullptr);
    EXPECT_EQ(dlg->State().Job().hNotifyWnd, dlg->GetSafeHwnd());
    EXPECT_EQ(dlg->State().Job().pRecvBuf, nullptr);
    EXPECT_EQ(dlg->State().Job().pSendBuf, nullptr);
}

} // namespace
