// The console's send panel against the terminal simulator on TCP: protocol
// and direct sends, every refusal, the hex fields' filters, the sequence
// prefix, manual receive and timed sending.
#include <QCoreApplication>
#include <QFocusEvent>
#include <QKeyEvent>
#include <QLineEdit>
#include <gtest/gtest.h>
#include <sstream>
#include <string>
#include <vector>

#include "ConsoleSim.h"
#include "TextUtil.h"
#include "comm/Notify.h"

namespace {

int Count(const std::string& text, const std::string& what) {
    int n = 0;
    for (size_t at = text.find(what); at != std::string::npos; at = text.find(what, at + 1))
        ++n;
    return n;
}

const char* const HexOnly = "请输入十六进制字符 '0'~'9','A'~'F'!";

using SendTest = ConsoleSimTest;

TEST_F(SendTest, DefaultProtocolSendAndItsReply) {
    Start();
    PressAndWait(IDC_PROTOCOL_SEND);
    const std::vector<std::string> lines = Lines(Sent());
    ASSERT_EQ(lines.size(), 17u) << "269 bytes, 16 a line";
    EXPECT_EQ(lines[0], "C0 FF DD 01 05 00 01 02 03 04 05 06 07 08 09 0A ");
    EXPECT_EQ(lines[16].size(), 13u * 3);
    EXPECT_TRUE(lines[16].ends_with("C1 "));
    EXPECT_EQ(dlg->GetItemText(IDC_SEND_COUNT), "269");
    EXPECT_EQ(sim->CountLines("RX tcp C0 FF DD 01 05 00 01 02"), 1);
    EXPECT_EQ(dlg->GetItemText(IDC_RECV_STATUS), "接收成功!");
    EXPECT_TRUE(Recv().starts_with("C2 FF ")) << Recv();
    EXPECT_FALSE(dlg->GetItemText(IDC_CMD_TIME).isEmpty());
    EXPECT_TRUE(capture.boxes.empty());
}

TEST_F(SendTest, NotConnectedWarnsAndFocusesTheChannelsButton) {
    Start({}, false);
    struct Case {
        int channel;
        const char* text;
        int button;
    } cases[] = {{CH_SERIAL, "尚未打开串口!!!", IDC_OPEN_PORT},
                 {CH_MODEM, "尚未建立拨号连接!!!", IDC_OPEN_PORT},
                 {CH_TCP, "尚未建立连接!!!", IDC_TCP_CONNECT},
                 {CH_UDP, "尚未绑定端口!!!", IDC_UDP_BIND}};
    for (const Case& c : cases) {
        Choose(c.channel);
        for (int sender : {IDC_PROTOCOL_SEND, IDC_DIRECT_SEND, IDC_RECEIVE}) {
            SCOPED_TRACE(std::to_string(c.channel) + "/" + std::to_string(sender));
            capture.boxes.clear();
            dlg->FocusItem(IDC_MACHINE_NO);
            ASSERT_TRUE(dlg->ClickItem(sender));
            ASSERT_EQ(capture.boxes.size(), 1u);
            EXPECT_EQ(capture.boxes[0].text.toStdString(), c.text);
            EXPECT_EQ(capture.boxes[0].caption, "警告");
            EXPECT_EQ(capture.boxes[0].icon, MB_ICONEXCLAMATION);
            EXPECT_TRUE(Focused(c.button));
            EXPECT_FALSE(dlg->JobPending());
        }
    }
}

TEST_F(SendTest, InputRefusalsNameTheFieldAndFileNothing) {
    Start();
    struct Case {
        const char* name;
        const char* command;
        std::string protocolData; // empty: left as it is
        std::string directData;
        bool hex;
        int sender;
        std::string message;
        int field;
    } cases[] = {
        {"no command", "", "", "", false, IDC_PROTOCOL_SEND,
         "命令字(HEX):请输入2位合法的16进制字符!!!", IDC_COMMAND},
        {"one digit", "D", "", "", false, IDC_PROTOCOL_SEND,
         "命令字(HEX):请输入2位合法的16进制字符!!!", IDC_COMMAND},
        {"not hex", "DG", "", "", false, IDC_PROTOCOL_SEND,
         "命令字(HEX):请输入2位合法的16进制字符!!!", IDC_COMMAND},
        {"odd data", "DD", "123", "", false, IDC_PROTOCOL_SEND,
         "输入数据(HEX):输入字符个数为奇数个，请重新输入!", IDC_PROTOCOL_DATA},
        {"289 bytes", "DD", std::string(578, '0'), "", false, IDC_PROTOCOL_SEND,
         "输入数据(HEX):数据不能超过288字节(带序号时287字节)，请重新输入!", IDC_PROTOCOL_DATA},
        {"direct odd", "DD", "", "123", true, IDC_DIRECT_SEND,
         "输入数据:输入字符个数为奇数个，请重新输入!", IDC_DIRECT_DATA},
        {"direct 600 characters", "DD", "", std::string(600, '1'), false, IDC_DIRECT_SEND,
         "输入数据:输入字符个数不能超过599个，请重新输入!", IDC_DIRECT_DATA},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        Type(IDC_COMMAND, c.command);
        if (!c.protocolData.empty())
            Type(IDC_PROTOCOL_DATA, c.protocolData.c_str());
        if (!c.directData.empty())
            Type(IDC_DIRECT_DATA, c.directData.c_str());
        dlg->CheckItem(IDC_HEX_SEND, c.hex);
        capture.boxes.clear();
        ASSERT_TRUE(dlg->ClickItem(c.sender));
        ASSERT_EQ(capture.boxes.size(), 1u);
        EXPECT_EQ(capture.boxes[0].text.toStdString(), c.message);
        EXPECT_EQ(capture.boxes[0].caption, "警告");
        EXPECT_EQ(capture.boxes[0].icon, MB_ICONNONE);
        EXPECT_TRUE(Focused(c.field));
        EXPECT_EQ(dlg->GetDlgItemAs<QLineEdit>(c.field)->selectedText(), dlg->GetItemText(c.field));
        EXPECT_FALSE(dlg->JobPending());
    }
    EXPECT_EQ(Sent(), "");
    EXPECT_EQ(sim->CountLines("RX "), 0);
}

TEST_F(SendTest, PastedCharactersAndTheLengthField) {
    Start();
    auto* edit = dlg->GetDlgItemAs<QLineEdit>(IDC_PROTOCOL_DATA);
    Type(IDC_PROTOCOL_DATA, "0011");
    EXPECT_EQ(dlg->GetItemText(IDC_DATA_LEN), "2");
    Type(IDC_PROTOCOL_DATA, "00112");
    EXPECT_EQ(dlg->GetItemText(IDC_DATA_LEN), "");
    Type(IDC_PROTOCOL_DATA, "0011");

    // At the end: the pasted piece goes, with one warning.
    edit->end(false);
    edit->insert("12G4");
    EXPECT_EQ(edit->text(), "0011");
    ASSERT_EQ(capture.boxes.size(), 1u);
    EXPECT_EQ(capture.boxes[0].text, HexOnly);
    EXPECT_EQ(capture.boxes[0].caption, "提示");
    EXPECT_EQ(capture.boxes[0].icon, MB_ICONEXCLAMATION);
    ASSERT_EQ(beeps.size(), 1u);
    EXPECT_EQ(beeps[0].hz, 1500);
    EXPECT_EQ(beeps[0].ms, 50);

    // In the middle: as many characters go from the end, the second pass
    // warns again and deletes nothing; the send names the position.
    capture.boxes.clear();
    edit->setCursorPosition(2);
    edit->insert("G");
    EXPECT_EQ(edit->text(), "00G1");
    EXPECT_EQ(capture.boxes.size(), 2u);
    EXPECT_EQ(beeps.size(), 3u);
    capture.boxes.clear();
    ASSERT_TRUE(dlg->ClickItem(IDC_PROTOCOL_SEND));
    ASSERT_EQ(capture.boxes.size(), 1u);
    EXPECT_EQ(capture.boxes[0].text, "输入数据(HEX):第3个字符不是合法的16进制字符，请重新输入");
    EXPECT_TRUE(Focused(IDC_PROTOCOL_DATA));
    EXPECT_FALSE(dlg->JobPending());

    // Long texts put the caret at their end.
    Type(IDC_PROTOCOL_DATA, std::string(128, 'A').c_str());
    EXPECT_EQ(edit->cursorPosition(), 128);
}

TEST_F(SendTest, KeyFilterOfTheHexFields) {
    Start({}, false);
    auto press = [&](int id, Qt::Key key, const QString& text, Qt::KeyboardModifiers mods) {
        QWidget* w = dlg->GetDlgItem(id);
        w->setFocus();
        QKeyEvent event(QEvent::KeyPress, key, mods, text);
        QCoreApplication::sendEvent(w, &event);
    };
    Type(IDC_PROTOCOL_DATA, "");
    press(IDC_PROTOCOL_DATA, Qt::Key_G, "g", Qt::NoModifier);
    EXPECT_EQ(dlg->GetItemText(IDC_PROTOCOL_DATA), "");
    EXPECT_EQ(beeps.size(), 1u);
    ASSERT_EQ(capture.boxes.size(), 1u);
    EXPECT_EQ(capture.boxes[0].text, HexOnly);
    press(IDC_PROTOCOL_DATA, Qt::Key_A, "a", Qt::NoModifier);
    EXPECT_EQ(dlg->GetItemText(IDC_PROTOCOL_DATA), "A") << "upper case as typed";
    press(IDC_PROTOCOL_DATA, Qt::Key_G, "\x07", Qt::ControlModifier);
    EXPECT_EQ(beeps.size(), 1u) << "Ctrl is never filtered";

    // The direct field: the key filter only in hex mode, the content filter always.
    Type(IDC_DIRECT_DATA, "");
    dlg->CheckItem(IDC_HEX_SEND, true);
    press(IDC_DIRECT_DATA, Qt::Key_Z, "z", Qt::NoModifier);
    EXPECT_EQ(beeps.size(), 2u);
    EXPECT_EQ(dlg->GetItemText(IDC_DIRECT_DATA), "");
    dlg->CheckItem(IDC_HEX_SEND, false);
    press(IDC_DIRECT_DATA, Qt::Key_Z, "z", Qt::NoModifier);
    EXPECT_EQ(beeps.size(), 3u);
    EXPECT_EQ(dlg->GetItemText(IDC_DIRECT_DATA), "");
    EXPECT_EQ(capture.boxes.size(), 3u);
}

// Tab, Shift+Tab and Delete bring text that is no character: they keep their
// meaning in both hex fields.
TEST_F(SendTest, KeysWithoutACharacterPassTheHexFilter) {
    Start({}, false);
    dlg->CheckItem(IDC_HEX_SEND, true);
    for (int id : {IDC_PROTOCOL_DATA, IDC_DIRECT_DATA}) {
        SCOPED_TRACE(id);
        auto* edit = dlg->GetDlgItemAs<QLineEdit>(id);
        Type(id, "AB");
        edit->setFocus();
        edit->setCursorPosition(0);
        QKeyEvent del(QEvent::KeyPress, Qt::Key_Delete, Qt::NoModifier, "\x7f");
        QCoreApplication::sendEvent(edit, &del);
        EXPECT_EQ(edit->text(), "B");
        QKeyEvent tab(QEvent::KeyPress, Qt::Key_Tab, Qt::NoModifier, "\t");
        QCoreApplication::sendEvent(edit, &tab);
        EXPECT_FALSE(edit->hasFocus()) << "Tab leaves the field";
        edit->setFocus();
        QKeyEvent backtab(QEvent::KeyPress, Qt::Key_Backtab, Qt::ShiftModifier, "\t");
        QCoreApplication::sendEvent(edit, &backtab);
        EXPECT_FALSE(edit->hasFocus()) << "Shift+Tab leaves the field";
    }
    EXPECT_TRUE(beeps.empty());
    EXPECT_TRUE(capture.boxes.empty());
}

// The caret goes to the end of a long text in 输入数据(HEX) only.
TEST_F(SendTest, CaretRuleOfTheHexDataFieldOnly) {
    Start({}, false);
    for (int id : {IDC_PROTOCOL_DATA, IDC_DIRECT_DATA}) {
        SCOPED_TRACE(id);
        auto* edit = dlg->GetDlgItemAs<QLineEdit>(id);
        Type(id, std::string(127, 'A').c_str());
        edit->setCursorPosition(10);
        edit->insert("B");
        EXPECT_EQ(edit->cursorPosition(), id == IDC_PROTOCOL_DATA ? 128 : 11);
    }
}

TEST_F(SendTest, ManualReceiveSequencePrefixAndTheReceiveButton) {
    Start();
    ASSERT_TRUE(dlg->ClickItem(IDC_MANUAL_RECEIVE));
    EXPECT_EQ(dlg->GetItemText(IDC_RECEIVE), "手动接收");
    g_bConfirmPacket = true;
    g_nSeqNo = 252;
    Type(IDC_PROTOCOL_DATA, "");
    Type(IDC_COMMAND, "04");
    PressAndWait(IDC_PROTOCOL_SEND);
    PressAndWait(IDC_PROTOCOL_SEND);
    Type(IDC_COMMAND, "10");
    PressAndWait(IDC_PROTOCOL_SEND);
    g_bConfirmPacket = false;
    const std::vector<std::string> lines = Lines(Sent());
    ASSERT_EQ(lines.size(), 3u);
    EXPECT_TRUE(lines[0].starts_with("C0 FF 04 00 01 FC ")) << lines[0];
    EXPECT_TRUE(lines[1].starts_with("C0 FF 04 00 01 00 ")) << lines[1];
    EXPECT_TRUE(lines[2].starts_with("C0 FF 10 00 00 ")) << lines[2];
    EXPECT_EQ(g_nSeqNo, 1);
    EXPECT_EQ(Recv(), "") << "no reply is read";

    // The replies wait on the socket until the receive button fetches them raw.
    ASSERT_TRUE(WaitUntil([&] { return sim->CountLines("TX tcp") == 3; }, 3000));
    Pump(50);
    PressAndWait(IDC_RECEIVE);
    EXPECT_EQ(dlg->GetItemText(IDC_RECV_STATUS), "接收成功!");
    EXPECT_TRUE(Recv().starts_with("C2 FF ")) << Recv();
    EXPECT_TRUE(Lines(Recv())[0].ends_with("   000F"));

    ASSERT_TRUE(dlg->ClickItem(IDC_MANUAL_RECEIVE));
    EXPECT_EQ(dlg->GetItemText(IDC_RECEIVE), "自动接收");
}

TEST_F(SendTest, DirectSendInTextAndHexMode) {
    Start();
    ASSERT_TRUE(dlg->ClickItem(IDC_MANUAL_RECEIVE));
    struct Case {
        const char* text;
        bool hex;
        bool newLine;
        const char* sent;
    } cases[] = {
        {"1A", false, false, "31 41 \n"},  {"1A", false, true, "31 41 0D \n"},
        {"1A0D", true, false, "1A 0D \n"}, {"", true, false, "\n"},
        {"", true, true, "0D \n"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.sent);
        ClearWindows();
        Type(IDC_DIRECT_DATA, c.text);
        dlg->CheckItem(IDC_HEX_SEND, c.hex);
        dlg->CheckItem(IDC_SEND_NEWLINE, c.newLine);
        PressAndWait(IDC_DIRECT_SEND);
        EXPECT_EQ(Sent(), c.sent);
    }
    EXPECT_TRUE(capture.boxes.empty());
}

TEST_F(SendTest, PeriodChecksAndTimedSendingWithoutAChannel) {
    Start({}, false);
    struct Case {
        const char* period;
        bool refused;
    } cases[] = {{"0", true}, {"1", false}, {"10000", false}, {"10001", true}};
    for (const Case& c : cases) {
        SCOPED_TRACE(c.period);
        capture.boxes.clear();
        Type(IDC_DIRECT_PERIOD, c.period);
        dlg->CheckDirectPeriod();
        ASSERT_EQ(capture.boxes.size(), c.refused ? 1u : 0u);
        if (c.refused) {
            EXPECT_EQ(capture.boxes[0].text, "请把定时频率限定在1-10000毫秒/次");
            EXPECT_EQ(capture.boxes[0].caption, "提示");
            EXPECT_TRUE(Focused(IDC_DIRECT_PERIOD));
            EXPECT_EQ(dlg->GetItemText(IDC_DIRECT_PERIOD), c.period) << "not corrected";
        }
    }

    Type(IDC_DIRECT_PERIOD, "1000");
    capture.boxes.clear();
    ASSERT_TRUE(dlg->ClickItem(IDC_PROTOCOL_TIMED));
    ASSERT_EQ(capture.boxes.size(), 1u);
    EXPECT_EQ(capture.boxes[0].text, "对不起,您还没有建立起任何有效的通信连接!");
    EXPECT_EQ(capture.boxes[0].caption, "失败提示");
    EXPECT_FALSE(dlg->IsItemChecked(IDC_PROTOCOL_TIMED));
    EXPECT_FALSE(dlg->HasTimer(TIMER_PROTOCOL_SEND));
    EXPECT_TRUE(Focused(IDC_PROTOCOL_PERIOD));
}

// Only the user leaving a period field checks it: a message box or a context
// menu taking the focus from a field left invalid would open a second box
// over the first.
TEST_F(SendTest, PeriodIsCheckedWhenLeftForAnotherControlOnly) {
    Start({}, false);
    const std::pair<Qt::FocusReason, bool> reasons[] = {{Qt::TabFocusReason, true},
                                                        {Qt::MouseFocusReason, true},
                                                        {Qt::ActiveWindowFocusReason, false},
                                                        {Qt::PopupFocusReason, false}};
    for (int id : {IDC_PROTOCOL_PERIOD, IDC_DIRECT_PERIOD}) {
        Type(id, "");
        for (const auto& [reason, checked] : reasons) {
            SCOPED_TRACE(testing::Message() << id << " reason " << reason);
            capture.boxes.clear();
            QFocusEvent out(QEvent::FocusOut, reason);
            QCoreApplication::sendEvent(dlg->GetDlgItem(id), &out);
            EXPECT_EQ(capture.boxes.size(), checked ? 1u : 0u);
        }
        Type(id, "1000");
    }
}

// A tick while the worker waits for a slow reply is skipped: every request
// the terminal saw got exactly one shown reply, and nothing was overwritten.
TEST_F(SendTest, TimedSendingSkipsTicksWhileTheWorkerIsBusy) {
    Start({"--fault", "first-delay", "--first-delay", "40"});
    Type(IDC_COMMAND, "10");
    Type(IDC_PROTOCOL_DATA, "A5A5");
    Type(IDC_PROTOCOL_PERIOD, "5");
    ASSERT_TRUE(dlg->ClickItem(IDC_PROTOCOL_TIMED));
    ASSERT_TRUE(dlg->HasTimer(TIMER_PROTOCOL_SEND));
    Pump(1000);
    ASSERT_TRUE(dlg->ClickItem(IDC_PROTOCOL_TIMED));
    EXPECT_FALSE(dlg->HasTimer(TIMER_PROTOCOL_SEND));
    ASSERT_TRUE(WaitUntil([&] { return !dlg->JobPending(); }, 3000));
    Pump(100);

    const int requests = sim->CountLines("RX tcp C0 FF 10 00 02 A5 A5");
    EXPECT_GE(requests, 5);
    EXPECT_LE(requests, 1000 / 40 + 1);
    EXPECT_EQ(Count(Sent(), "C0 FF 10 00 02 A5 A5"), requests);
    EXPECT_EQ(dlg->State().SendCount(), requests * 10);
    EXPECT_EQ(Count(Recv(), "C2 FF "), requests) << "each reply shown once";
    EXPECT_EQ(sim->CountLines("TX tcp"), requests);
    EXPECT_TRUE(capture.boxes.empty());
}

TEST_F(SendTest, TickOnAClosedChannelStopsItsRowOnce) {
    Start();
    ASSERT_TRUE(dlg->ClickItem(IDC_MANUAL_RECEIVE));
    Type(IDC_DIRECT_PERIOD, "10");
    ASSERT_TRUE(dlg->ClickItem(IDC_DIRECT_TIMED));
    Choose(CH_UDP); // the switch closes TCP but leaves timed sending on
    ASSERT_TRUE(WaitUntil([&] { return !capture.boxes.empty(); }, 3000));
    Pump(50);
    ASSERT_EQ(capture.boxes.size(), 1u);
    EXPECT_EQ(capture.boxes[0].text, "尚未绑定端口!!!");
    EXPECT_FALSE(dlg->IsItemChecked(IDC_DIRECT_TIMED));
    EXPECT_FALSE(dlg->HasTimer(TIMER_DIRECT_SEND));
    EXPECT_EQ(dlg->State().RowOn(ROW_DIRECT), 0);
}

TEST_F(SendTest, TickThatFailsAFieldCheckStopsItsRowBeforeTheMessage) {
    struct Case {
        const char* name;
        int field;
        const char* text;
        std::string message;
    } cases[] = {
        {"command", IDC_COMMAND, "G1", "命令字(HEX):请输入2位合法的16进制字符!!!"},
        {"machine number out of range", IDC_MACHINE_NO, "300", ""},
    };
    Start();
    ASSERT_TRUE(dlg->ClickItem(IDC_MANUAL_RECEIVE));
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        Type(IDC_COMMAND, "10");
        Type(IDC_MACHINE_NO, "1");
        Type(IDC_PROTOCOL_PERIOD, "10");
        ASSERT_TRUE(dlg->ClickItem(IDC_PROTOCOL_TIMED));
        ASSERT_TRUE(WaitUntil([&] { return sim->CountLines("RX") > 0; }, 2000));
        std::vector<std::pair<QString, bool>> shown; // text, box still ticked
        MessageBoxHook previous =
            SetMessageBoxHook([&](QWidget*, const QString& text, const QString&, int) {
                shown.push_back({text, dlg->IsItemChecked(IDC_PROTOCOL_TIMED) ||
                                           dlg->State().RowOn(ROW_PROTOCOL)});
                return IDOK;
            });
        // Typed as a user types: in the focused field, which results leave
        // alone until a tick reads it.
        dlg->GetDlgItem(c.field)->setFocus();
        Type(c.field, c.text);
        WaitUntil([&] { return !shown.empty(); }, 3000);
        Pump(50);
        SetMessageBoxHook(std::move(previous));
        ASSERT_EQ(shown.size(), 1u);
        if (!c.message.empty()) {
            EXPECT_EQ(shown[0].first.toStdString(), c.message);
        }
        EXPECT_FALSE(shown[0].second);
        EXPECT_FALSE(dlg->HasTimer(TIMER_PROTOCOL_SEND));
        WaitUntil([&] { return !dlg->JobPending(); }, 2000);
    }
}

// The terminal goes away under 1 ms timed sending: the send that fails ends
// its row before its one message, and the channel can still be closed.
TEST_F(SendTest, FailedSendDuringTimedSendingShowsOneMessage) {
    Start();
    Type(IDC_PROTOCOL_PERIOD, "1");
    ASSERT_TRUE(dlg->ClickItem(IDC_PROTOCOL_TIMED));
    ASSERT_TRUE(WaitUntil([&] { return sim->CountLines("RX tcp") >= 3; }, 5000));
    sim.reset();
    ASSERT_TRUE(WaitUntil([&] { return !dlg->State().RowOn(ROW_PROTOCOL); }, 10000));
    Pump(50);
    ASSERT_EQ(capture.boxes.size(), 1u);
    EXPECT_EQ(capture.boxes[0].text, "发送数据失败!");
    EXPECT_FALSE(dlg->IsItemChecked(IDC_PROTOCOL_TIMED));
    EXPECT_FALSE(dlg->HasTimer(TIMER_PROTOCOL_SEND));
    ASSERT_TRUE(dlg->ClickItem(IDC_TCP_DISCONNECT));
    EXPECT_FALSE(dlg->State().IsOpen(CH_TCP));
    EXPECT_FALSE(dlg->WorkerRuns());
    EXPECT_EQ(capture.boxes.size(), 1u);
}

// A send reads only the fields it uses: a stored inter-character time-out
// above the old 10000 ms and fields of other rows in any state file nothing
// wrong and show nothing.
TEST_F(SendTest, SendsAreRefusedOnlyByFieldsTheyUse) {
    Start({}, true, 1000, CH_TCP, 20000);
    ASSERT_TRUE(dlg->ClickItem(IDC_MANUAL_RECEIVE));
    Type(IDC_LOAD_MACHINE_NO, "");
    Type(IDC_DIRECT_PERIOD, "0");
    PressAndWait(IDC_PROTOCOL_SEND);
    EXPECT_EQ(dlg->State().Job().nInterCharTimeout, 20000);
    const int sentBefore = dlg->State().SendCount();
    EXPECT_GT(sentBefore, 0);
    Type(IDC_PROTOCOL_PERIOD, "0");
    Type(IDC_MACHINE_NO, "300");
    Type(IDC_COMMAND, "G1");
    PressAndWait(IDC_DIRECT_SEND);
    EXPECT_TRUE(capture.boxes.empty());
    EXPECT_GT(dlg->State().SendCount(), sentBefore);
}

// A result leaves the field being typed in alone (text, caret, selection)
// while it still refreshes the read-only ones.
TEST_F(SendTest, ResultLeavesTheFieldBeingTypedInAlone) {
    Start();
    auto* edit = dlg->GetDlgItemAs<QLineEdit>(IDC_MACHINE_NO);
    edit->setFocus();
    ASSERT_TRUE(edit->hasFocus());
    edit->setText("12");
    edit->setSelection(0, 1);
    dlg->SetItemText(IDC_CMD_TIME, "x");
    dlg->DispatchWindowMessage(WM_COMM_RESULT, RC_RAW_RECEIVED, 0);
    EXPECT_EQ(edit->text(), "12");
    EXPECT_EQ(edit->selectionStart(), 0);
    EXPECT_EQ(edit->selectedText(), "1");
    EXPECT_TRUE(edit->hasFocus());
    EXPECT_EQ(dlg->GetItemText(IDC_CMD_TIME), QString::number(dlg->State().CmdTime()));
}

} // namespace
