// The dialog toolkit: data exchange, edits, progress bars, posted messages,
// timers, the key filter, finding a window by caption, the file dialog, the
// beep.
#include <QApplication>
#include <QCheckBox>
#include <QDir>
#include <QFileDialog>
#include <QKeyEvent>
#include <QLineEdit>
#include <QPaintEvent>
#include <QPlainTextEdit>
#include <QProgressBar>
#include <QPushButton>
#include <QScrollBar>
#include <QTextBlock>
#include <QTimer>
#include <QVBoxLayout>
#include <chrono>
#include <functional>
#include <gtest/gtest.h>
#include <memory>
#include <thread>
#include <utility>
#include <vector>

#include "UiTestUtil.h"
#include "app/Beep.h"
#include "app/DataExchange.h"
#include "app/DialogBase.h"
#include "app/MessageBox.h"
#include "app/StripPaintStyle.h"
#include "app/WindowMessages.h"
#include "protocol/DisplayText.h"

namespace {

enum { ID_NUMBER = 10, ID_TEXT = 11, ID_FLAG = 12, ID_UPPER = 13, ID_LOG = 14, ID_BAR = 15 };

// A dialog whose "template" is built in code, with the identifiers a
// Designer template would carry.
class CTestDlg : public CDialogBase {
  public:
    explicit CTestDlg(QWidget* parent = nullptr) : CDialogBase(parent) {
        auto* layout = new QVBoxLayout(this);
        Add(layout, new QLineEdit, ID_NUMBER);
        Add(layout, new QLineEdit, ID_TEXT);
        Add(layout, new QCheckBox("flag"), ID_FLAG);
        auto* upper = new QLineEdit;
        upper->setProperty("upperCase", true);
        Add(layout, upper, ID_UPPER);
        Add(layout, new QPlainTextEdit, ID_LOG);
        Add(layout, new QProgressBar, ID_BAR);
        Add(layout, new QPushButton("OK"), IDOK);
        AttachTemplate();
    }

    int m_nNumber = 5;
    QString m_strText = "abc";
    bool m_bFlag = true;

    std::vector<std::pair<int, long>> results;
    std::function<void(int, long)> onResult;
    std::vector<int> ticks;
    std::function<bool(QWidget*, QEvent*)> filter;

  protected:
    void DoDataExchange(CDataExchange& dx) override {
        dx.Text(ID_NUMBER, m_nNumber, 1, 100);
        dx.Text(ID_TEXT, m_strText, 3);
        dx.Check(ID_FLAG, m_bFlag);
    }
    void OnCommResult(int code, long value) override {
        results.emplace_back(code, value);
        if (onResult)
            onResult(code, value);
    }
    void OnTimer(int id) override { ticks.push_back(id); }
    bool PreTranslateMessage(QWidget* control, QEvent* event) override {
        return filter && filter(control, event);
    }

  private:
    static void Add(QVBoxLayout* layout, QWidget* w, int id) {
        w->setProperty("resId", id);
        layout->addWidget(w);
    }
};

void TypeKey(QWidget* w, int key, const QString& text) {
    QKeyEvent press(QEvent::KeyPress, key, Qt::NoModifier, text);
    QCoreApplication::sendEvent(w, &press);
}

TEST(DataExchange, WritesMembersAndReadsThemBack) {
    CTestDlg dlg;
    ASSERT_TRUE(dlg.UpdateData(false));
    EXPECT_EQ(dlg.GetItemText(ID_NUMBER), "5");
    EXPECT_EQ(dlg.GetItemText(ID_TEXT), "abc");
    EXPECT_TRUE(dlg.IsItemChecked(ID_FLAG));

    dlg.SetItemText(ID_NUMBER, " 100 ");
    dlg.SetItemText(ID_TEXT, "xyz");
    dlg.CheckItem(ID_FLAG, false);
    ASSERT_TRUE(dlg.UpdateData(true));
    EXPECT_EQ(dlg.m_nNumber, 100);
    EXPECT_EQ(dlg.m_strText, "xyz");
    EXPECT_FALSE(dlg.m_bFlag);
}

TEST(DataExchange, WritingLeavesAFieldThatShowsItsValueAlone) {
    CTestDlg dlg;
    ASSERT_TRUE(dlg.UpdateData(false));
    auto* text = dlg.GetDlgItemAs<QLineEdit>(ID_TEXT);
    auto* number = dlg.GetDlgItemAs<QLineEdit>(ID_NUMBER);
    text->setSelection(1, 1);
    dlg.SetItemText(ID_NUMBER, "42"); // typed, not read: replaced
    ASSERT_TRUE(dlg.UpdateData(false));
    EXPECT_EQ(text->selectedText(), "b");
    EXPECT_EQ(number->text(), "5");
}

TEST(DataExchange, FirstFailureShowsTheRangeFocusesTheFieldAndStops) {
    struct Case {
        const char* number;
        const char* text;
        const char* message;
        int field;
    } cases[] = {
        {"0", "ok", "请输入一个介于 1 和 100 之间的整数。", ID_NUMBER},
        {"101", "ok", "请输入一个介于 1 和 100 之间的整数。", ID_NUMBER},
        {"12x", "ok", "请输入一个整数。", ID_NUMBER},
        {"", "ok", "请输入一个整数。", ID_NUMBER},
        {"50", "abcd", "输入的字符不能超过 3 个。", ID_TEXT},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.message);
        MessageCapture capture;
        CTestDlg dlg;
        dlg.show();
        dlg.activateWindow();
        ASSERT_TRUE(WaitUntil([&] { return dlg.isActiveWindow(); }, 2000));
        dlg.SetItemText(ID_NUMBER, c.number);
        dlg.SetItemText(ID_TEXT, c.text);
        dlg.CheckItem(ID_FLAG, false);

        EXPECT_FALSE(dlg.UpdateData(true));
        ASSERT_EQ(capture.boxes.size(), 1u);
        EXPECT_EQ(capture.boxes[0].text, QString::fromUtf8(c.message));
        EXPECT_EQ(capture.boxes[0].caption, "提示");
        EXPECT_EQ(capture.boxes[0].icon, MB_ICONEXCLAMATION);
        EXPECT_TRUE(dlg.GetDlgItem(c.field)->hasFocus());
        auto* edit = dlg.GetDlgItemAs<QLineEdit>(c.field);
        EXPECT_EQ(edit->selectedText(), edit->text());
        // Nothing after the failed field was read.
        EXPECT_TRUE(dlg.m_bFlag);
        if (c.field == ID_NUMBER) {
            EXPECT_EQ(dlg.m_strText, "abc");
        }
    }
}

TEST(DataExchange, OkKeepsTheDialogOpenWhileAFieldFails) {
    MessageCapture capture;
    CTestDlg dlg;
    dlg.m_nNumber = 500;
    QTimer::singleShot(0, [&] {
        EXPECT_TRUE(dlg.ClickItem(IDOK));
        EXPECT_TRUE(dlg.isVisible());
        dlg.SetItemText(ID_NUMBER, "7");
        EXPECT_TRUE(dlg.ClickItem(IDOK));
    });
    EXPECT_EQ(dlg.DoModal(), IDOK);
    EXPECT_EQ(capture.boxes.size(), 1u);
    EXPECT_EQ(dlg.m_nNumber, 7);
}

TEST(ModalRun, EscapeAndTheTitleBarCloseMeanCancel) {
    for (bool escape : {true, false}) {
        CTestDlg dlg;
        QTimer::singleShot(0, [&] {
            if (escape)
                TypeKey(&dlg, Qt::Key_Escape, {});
            else
                dlg.close();
        });
        EXPECT_EQ(dlg.DoModal(), IDCANCEL);
    }
}

TEST(PostedMessages, ArriveInOrderFromAnotherThread) {
    CTestDlg dlg;
    const WindowHandle wnd = dlg.GetSafeHwnd();
    std::thread worker([wnd] {
        for (long i = 0; i < 500; ++i)
            PostCommResult(wnd, RC_RECEIVED, i);
    });
    worker.join();
    ASSERT_TRUE(WaitUntil([&] { return dlg.results.size() == 500; }, 5000));
    for (long i = 0; i < 500; ++i)
        ASSERT_EQ(dlg.results[i], std::make_pair(int(RC_RECEIVED), i));
}

TEST(PostedMessages, ReachADialogInsideItsModalLoop) {
    CTestDlg dlg;
    dlg.onResult = [&](int, long value) {
        if (value == 3)
            dlg.EndDialog(IDOK);
    };
    const WindowHandle wnd = dlg.GetSafeHwnd();
    std::thread worker([wnd] {
        std::this_thread::sleep_for(std::chrono::milliseconds(50));
        for (long i = 1; i <= 3; ++i)
            PostCommResult(wnd, RC_SENT, i);
    });
    EXPECT_EQ(dlg.DoModal(), IDOK);
    worker.join();
    EXPECT_EQ(dlg.results.size(), 3u);
}

TEST(PostedMessages, AreDroppedWhenTheWindowIsGone) {
    auto gone = std::make_unique<CTestDlg>();
    const WindowHandle wnd = gone->GetSafeHwnd();
    PostCommResult(wnd, RC_SENT, 1); // queued while the window still exists
    gone.reset();
    PostCommResult(wnd, RC_SENT, 2);
    CTestDlg next;
    EXPECT_NE(next.GetSafeHwnd(), wnd);
    Pump(50);
    EXPECT_TRUE(next.results.empty());
    EXPECT_EQ(WindowFromHandle(wnd), nullptr);
}

// Boxes filed while one is open show after it, one at a time and in their
// order; one whose parent went meanwhile is dropped.
TEST(MessageBoxWhenFree, WaitsForTheOpenBox) {
    std::vector<std::pair<QString, int>> shown; // text, boxes open with it
    auto gone = std::make_unique<QWidget>();
    MessageBoxHook previous =
        SetMessageBoxHook([&](QWidget*, const QString& text, const QString&, int) {
            shown.emplace_back(text, OpenMessageBoxes());
            if (text == "open") {
                MessageBoxWhenFree(nullptr, "first", "");
                MessageBoxWhenFree(gone.get(), "parent gone", "");
                MessageBoxWhenFree(nullptr, "second", "");
                gone.reset();
            }
            return IDOK;
        });
    MessageBox(nullptr, "open", "");
    ASSERT_EQ(shown.size(), 1u);
    Pump(50);
    MessageBoxWhenFree(nullptr, "none open", "");
    SetMessageBoxHook(std::move(previous));
    EXPECT_EQ(shown, (std::vector<std::pair<QString, int>>{
                         {"open", 1}, {"first", 1}, {"second", 1}, {"none open", 1}}));
}

TEST(FindWindowByCaption, FindsTheDialogAndRunsItsOk) {
    CTestDlg dlg;
    dlg.setWindowTitle("正在测试...");
    QTimer::singleShot(0, [] {
        CDialogBase* found = FindWindowByCaption("正在测试...");
        ASSERT_NE(found, nullptr);
        found->OnOK();
    });
    EXPECT_EQ(dlg.DoModal(), IDOK);
    EXPECT_EQ(FindWindowByCaption("没有这个窗口"), nullptr);
}

TEST(WindowTimers, TickWithTheirIdentifierUntilKilled) {
    CTestDlg dlg;
    EXPECT_EQ(dlg.SetTimer(7, 5), 7);
    EXPECT_TRUE(dlg.HasTimer(7));
    ASSERT_TRUE(WaitUntil([&] { return dlg.ticks.size() >= 3; }, 2000));
    dlg.KillTimer(7);
    EXPECT_FALSE(dlg.HasTimer(7));
    const size_t ticks = dlg.ticks.size();
    Pump(50);
    EXPECT_EQ(dlg.ticks.size(), ticks);
    EXPECT_EQ(dlg.ticks, std::vector<int>(ticks, 7));
    EXPECT_EQ(dlg.SetTimer(8, -1), 0);
}

TEST(KeyFilter, SeesKeysFirstAndMayDiscardThem) {
    CTestDlg dlg;
    dlg.filter = [&](QWidget* control, QEvent* event) {
        return event->type() == QEvent::KeyPress && dlg.GetDlgCtrlID(control) == ID_TEXT &&
               static_cast<QKeyEvent*>(event)->text() == "x";
    };
    QWidget* text = dlg.GetDlgItem(ID_TEXT);
    dlg.SetItemText(ID_TEXT, "");
    TypeKey(text, Qt::Key_X, "x");
    TypeKey(text, Qt::Key_1, "1");
    EXPECT_EQ(dlg.GetItemText(ID_TEXT), "1");
}

TEST(TemplateStyles, UpperCaseEditTurnsTypedLettersUp) {
    CTestDlg dlg;
    QWidget* upper = dlg.GetDlgItem(ID_UPPER);
    TypeKey(upper, Qt::Key_A, "a");
    TypeKey(upper, Qt::Key_F, "f");
    EXPECT_EQ(dlg.GetItemText(ID_UPPER), "AF");
}

TEST(Edits, AppendAddsAtTheEndWithoutRewritingTheWindow) {
    CTestDlg dlg;
    dlg.SetItemText(ID_LOG, "C0 01\r\nC1");
    auto* log = dlg.GetDlgItemAs<QPlainTextEdit>(ID_LOG);
    // A mark on the first line survives an append, not a rewrite of the text.
    log->document()->firstBlock().setUserState(7);
    dlg.SetSel(ID_LOG, 0, 2); // the user's selection does not steer the append
    dlg.AppendItemText(ID_LOG, " 00\r\n");
    dlg.AppendItemText(ID_LOG, "02");
    EXPECT_EQ(dlg.GetItemText(ID_LOG), "C0 01\nC1 00\n02");
    EXPECT_EQ(log->document()->firstBlock().userState(), 7);
    EXPECT_EQ(log->textCursor().position(), dlg.GetItemText(ID_LOG).size());

    dlg.SetItemText(ID_TEXT, "ab");
    dlg.AppendItemText(ID_TEXT, "cd");
    EXPECT_EQ(dlg.GetItemText(ID_TEXT), "abcd");
}

TEST(Edits, AppendsWithinAFrameWaitInOrderAndCountAsThere) {
    CTestDlg dlg;
    dlg.show();
    ASSERT_TRUE(WaitUntil([&] { return dlg.isVisible(); }, 2000));
    auto* log = dlg.GetDlgItemAs<QPlainTextEdit>(ID_LOG);
    dlg.SetItemText(ID_LOG, "a\n");
    OpenFrame(dlg);
    dlg.AppendItemText(ID_LOG, "b\n");
    dlg.AppendItemText(ID_LOG, "c");
    dlg.AppendItemText(ID_LOG, "d\ne");
    EXPECT_EQ(log->toPlainText(), "a\n");
    EXPECT_TRUE(dlg.PaintPending());
    EXPECT_EQ(dlg.GetItemText(ID_LOG), "a\nb\ncd\ne");
    EXPECT_EQ(dlg.GetLineCount(ID_LOG), 4);
    ASSERT_TRUE(WaitPainted(dlg));
    EXPECT_EQ(log->toPlainText(), "a\nb\ncd\ne");
    EXPECT_EQ(log->textCursor().position(), log->toPlainText().size());

    // Re-setting the text drops what waits; a selection or a replacement
    // works on the text with what waits in it.
    OpenFrame(dlg);
    dlg.AppendItemText(ID_LOG, "lost");
    dlg.SetItemText(ID_LOG, "x");
    dlg.AppendItemText(ID_LOG, "yz");
    dlg.SetSel(ID_LOG, 1, 2);
    dlg.ReplaceSel(ID_LOG, "-");
    EXPECT_EQ(log->toPlainText(), "x-z");
    OpenFrame(dlg);
    dlg.AppendItemText(ID_LOG, "more");
    dlg.SetSel(ID_LOG, 0, -1);
    dlg.ReplaceSel(ID_LOG, "");
    ASSERT_TRUE(WaitPainted(dlg));
    EXPECT_EQ(log->toPlainText(), "");
}

TEST(Edits, ManyAppendsPaintAtMostOnceAFrame) {
    // Counts the window's paints.
    struct PaintCounter : QObject {
        int paints = 0;
        bool eventFilter(QObject*, QEvent* e) override {
            paints += e->type() == QEvent::Paint;
            return false;
        }
    } counter;
    CTestDlg dlg;
    dlg.show();
    ASSERT_TRUE(WaitUntil([&] { return dlg.isVisible(); }, 2000));
    auto* log = dlg.GetDlgItemAs<QPlainTextEdit>(ID_LOG);
    log->viewport()->installEventFilter(&counter);
    QString all;
    const auto t0 = std::chrono::steady_clock::now();
    for (int i = 0; i < 300; ++i) {
        const QString line = QString::number(i) + "\n";
        dlg.AppendItemText(ID_LOG, line);
        dlg.SetItemText(ID_NUMBER, QString::number(i));
        all += line;
        QCoreApplication::processEvents();
    }
    ASSERT_TRUE(WaitPainted(dlg));
    const double ms =
        std::chrono::duration<double, std::milli>(std::chrono::steady_clock::now() - t0).count();
    EXPECT_EQ(log->toPlainText(), all);
    EXPECT_GE(counter.paints, 1);
    // A frame is 16 ms; a coarse timer may end it 5 % early.
    EXPECT_LE(counter.paints, ms / 15.0 + 2) << ms << " ms";
}

TEST(Edits, AppendRepaintsTheWindowNotTheDialogBeneath) {
    CTestDlg dlg;
    auto* log = dlg.GetDlgItemAs<QPlainTextEdit>(ID_LOG);
    log->setVerticalScrollBarPolicy(Qt::ScrollBarAlwaysOn);
    log->setHorizontalScrollBarPolicy(Qt::ScrollBarAlwaysOn);
    // More than a window: each append moves the slider.
    dlg.SetItemText(ID_LOG, QString("x\n").repeated(50));
    dlg.show();
    ASSERT_TRUE(WaitUntil([&] { return dlg.isVisible(); }, 2000));
    ASSERT_TRUE(WaitPainted(dlg));
    // The dialog's paints that reach the window's area, and the bar's.
    struct PaintSpy : QObject {
        QWidget* dlg = nullptr;
        QRect area;
        int beneath = 0, bar = 0;
        bool eventFilter(QObject* o, QEvent* e) override {
            if (e->type() == QEvent::Paint) {
                const QRegion& region = static_cast<QPaintEvent*>(e)->region();
                beneath += o == dlg && region.intersects(area);
                bar += o != dlg;
            }
            return false;
        }
    } spy;
    spy.dlg = &dlg;
    spy.area = log->geometry();
    dlg.installEventFilter(&spy);
    log->verticalScrollBar()->installEventFilter(&spy);
    for (int i = 0; i < 3; ++i) {
        dlg.AppendItemText(ID_LOG, QString(40, QChar('5')) + "\n");
        ASSERT_TRUE(WaitPainted(dlg));
    }
    EXPECT_GE(spy.bar, 1);
    EXPECT_EQ(spy.beneath, 0);
}

// The windows' scroll bars are drawn band by band and shown from a cache;
// what shows must be what the application's style draws at once, wherever
// the slider stands, and change when the slider moves.
TEST(Edits, ScrollBarsLookAsTheApplicationStyleDrawsThem) {
    CTestDlg dlg;
    auto* log = dlg.GetDlgItemAs<QPlainTextEdit>(ID_LOG);
    EXPECT_EQ(log->verticalScrollBar()->style(), StripPaintStyle());
    EXPECT_EQ(log->horizontalScrollBar()->style(), StripPaintStyle());
    for (Qt::Orientation orientation : {Qt::Vertical, Qt::Horizontal}) {
        QScrollBar bar(orientation);
        bar.setRange(0, 1000);
        bar.setPageStep(40);
        for (bool opaque : {false, true}) {
            bar.setAutoFillBackground(opaque);
            for (int length : {90, 301, 1000}) {
                const int thickness =
                    orientation == Qt::Vertical ? bar.sizeHint().width() : bar.sizeHint().height();
                bar.resize(orientation == Qt::Vertical ? QSize(thickness, length)
                                                       : QSize(length, thickness));
                for (int value : {0, 333, 1000}) {
                    bar.setValue(value);
                    bar.setStyle(QApplication::style());
                    const QImage plain = bar.grab().toImage();
                    bar.setStyle(StripPaintStyle());
                    EXPECT_EQ(bar.grab().toImage(), plain)
                        << orientation << " " << length << " long, value " << value << ", opaque "
                        << opaque;
                }
            }
        }
    }
}

TEST(Edits, AppendEndsScrolledAsTheCaretMovedThereWould) {
    CTestDlg dlg;
    dlg.show();
    ASSERT_TRUE(WaitUntil([&] { return dlg.isVisible(); }, 2000));
    auto* log = dlg.GetDlgItemAs<QPlainTextEdit>(ID_LOG);
    QScrollBar* bar = log->verticalScrollBar();
    const int page = log->viewport()->height() / log->fontMetrics().lineSpacing();
    ASSERT_GT(page, 0);
    // Less than a window scrolls as the caret does; a window or more jumps.
    for (int lines : {1, page - 1, page, 3 * page}) {
        dlg.SetItemText(ID_LOG, QString("top\n").repeated(2 * page));
        ASSERT_TRUE(WaitPainted(dlg));
        OpenFrame(dlg);
        for (int i = 0; i < lines; ++i)
            dlg.AppendItemText(ID_LOG, QString::number(i) + "\n");
        ASSERT_TRUE(WaitPainted(dlg));
        const int top = log->cursorForPosition(QPoint(0, 0)).blockNumber();
        const int value = bar->value();
        EXPECT_EQ(log->textCursor().position(), log->document()->characterCount() - 1) << lines;
        EXPECT_TRUE(log->viewport()->rect().contains(log->cursorRect())) << lines;
        // The same text scrolled by the edit itself, from the top.
        bar->setValue(0);
        log->moveCursor(QTextCursor::Start);
        log->moveCursor(QTextCursor::End);
        EXPECT_EQ(log->cursorForPosition(QPoint(0, 0)).blockNumber(), top) << lines;
        EXPECT_EQ(bar->value(), value) << lines;
    }
}

TEST(Edits, LineCountMatchesTheWindowTextRule) {
    CTestDlg dlg;
    for (const char* text : {"", "x", "x\r\n", "a\r\nb\r\nc", "\r\n\r\n"}) {
        dlg.SetItemText(ID_LOG, text);
        EXPECT_EQ(dlg.GetLineCount(ID_LOG), WindowLineCount(text)) << text;
    }
    dlg.SetItemText(ID_LOG, "");
    for (int i = 0; i < 401; ++i)
        dlg.AppendItemText(ID_LOG, "00 01 02\r\n");
    EXPECT_EQ(dlg.GetLineCount(ID_LOG), 402);
    EXPECT_TRUE(MustEmptyWindow(DISPLAY_SENT, dlg.GetLineCount(ID_LOG)));
    EXPECT_EQ(dlg.GetLineCount(ID_TEXT), 1);
    EXPECT_EQ(dlg.GetLineCount(ID_FLAG), 0);
}

TEST(Edits, SetSelAndReplaceSelInBothKindsOfEdit) {
    struct Case {
        int start, end;
        const char* insert;
        const char* result;
    } cases[] = {
        {2, 5, "ab", "01ab56789"},    {0, -1, "x", "x"},
        {8, 100, "Z", "01234567Z"},   {5, 2, "-", "01-56789"},
        {10, 10, "!", "0123456789!"}, {0, 0, "", "0123456789"},
    };
    CTestDlg dlg;
    for (int id : {ID_TEXT, ID_LOG}) {
        for (const Case& c : cases) {
            dlg.SetItemText(id, "0123456789");
            dlg.SetSel(id, c.start, c.end);
            dlg.ReplaceSel(id, c.insert);
            EXPECT_EQ(dlg.GetItemText(id), c.result) << id << " " << c.start << ".." << c.end;
        }
        // No selection: the text goes in at the caret, which stays where
        // the selection ended.
        dlg.SetItemText(id, "0123456789");
        dlg.SetSel(id, 3, 6);
        dlg.SetSel(id, -1, 0);
        dlg.ReplaceSel(id, "+");
        EXPECT_EQ(dlg.GetItemText(id), "012345+6789") << id;
    }
}

TEST(Edits, LimitTextDropsWhatGoesPastTheLimit) {
    CTestDlg dlg;
    for (int id : {ID_TEXT, ID_LOG}) {
        dlg.SetItemText(id, "");
        dlg.LimitText(id, 5);
        dlg.ReplaceSel(id, "abcdefgh");
        EXPECT_EQ(dlg.GetItemText(id), "abcde") << id;
        TypeKey(dlg.GetDlgItem(id), Qt::Key_X, "x");
        EXPECT_EQ(dlg.GetItemText(id), "abcde") << id;
        dlg.SetSel(id, 0, 1);
        dlg.ReplaceSel(id, "XY");
        EXPECT_EQ(dlg.GetItemText(id).size(), 5) << id;
        EXPECT_TRUE(dlg.GetItemText(id).startsWith('X')) << id;
        dlg.LimitText(id, 0);
        dlg.AppendItemText(id, "123");
        EXPECT_EQ(dlg.GetItemText(id).size(), 8) << id;
    }
}

TEST(Progress, StepReturnsThePositionBeforeAndStopsAtTheEnd) {
    CTestDlg dlg;
    auto* bar = dlg.GetDlgItemAs<QProgressBar>(ID_BAR);
    dlg.SetProgressRange(ID_BAR, 0, 2);
    dlg.SetProgressStep(ID_BAR, 1);
    std::vector<int> before;
    for (int i = 0; i < 4; ++i)
        before.push_back(dlg.StepIt(ID_BAR));
    // Four steps over a range of two: the last one must not start over.
    EXPECT_EQ(before, (std::vector<int>{0, 1, 2, 2}));
    EXPECT_EQ(bar->value(), 2);

    dlg.SetProgressPos(ID_BAR, 9);
    EXPECT_EQ(bar->value(), 2);
    dlg.SetProgressPos(ID_BAR, -3);
    EXPECT_EQ(bar->value(), 0);

    // An empty range, as a download of under one block gives: an empty
    // bar, not Qt's busy one.
    dlg.SetProgressRange(ID_BAR, 0, 0);
    EXPECT_GT(bar->maximum(), bar->minimum());
    EXPECT_EQ(dlg.StepIt(ID_BAR), 0);
    EXPECT_EQ(dlg.StepIt(ID_BAR), 0);
    EXPECT_EQ(bar->value(), 0);

    EXPECT_EQ(dlg.StepIt(ID_TEXT), 0);
}

TEST(Progress, DefaultStepIsTen) {
    CTestDlg dlg;
    dlg.SetProgressRange(ID_BAR, 0, 100);
    EXPECT_EQ(dlg.StepIt(ID_BAR), 0);
    EXPECT_EQ(dlg.StepIt(ID_BAR), 10);
}

TEST(ModalRun, NoCloseIgnoresEscapeAndTheTitleBarClose) {
    CTestDlg dlg;
    dlg.SetNoClose(true);
    EXPECT_FALSE(dlg.windowFlags().testFlag(Qt::WindowCloseButtonHint));
    bool stillOpen = false;
    QTimer::singleShot(0, [&] {
        TypeKey(&dlg, Qt::Key_Escape, {});
        dlg.close();
        Pump(20);
        stillOpen = dlg.isVisible();
        dlg.EndDialog(IDOK);
    });
    EXPECT_EQ(dlg.DoModal(), IDOK);
    EXPECT_TRUE(stillOpen);

    dlg.SetNoClose(false);
    QTimer::singleShot(0, [&] { TypeKey(&dlg, Qt::Key_Escape, {}); });
    EXPECT_EQ(dlg.DoModal(), IDCANCEL);
}

TEST(FileDialog, FilterListBecomesTheDialogsFilter) {
    struct Case {
        const char* list;
        const char* filter;
    } cases[] = {
        {"Bin File(*.bin)|*.bin|All Files(*.*)|*.*||", "Bin File (*.bin);;All Files (*)"},
        {"Images|*.png;*.xpm||", "Images (*.png *.xpm)"},
        {"Text (*.txt)|*.txt|", "Text (*.txt)"},
        {"", ""},
    };
    for (const Case& c : cases)
        EXPECT_EQ(FileDialogFilter(c.list), c.filter) << c.list;
}

TEST(FileDialog, HookAnswersInsteadOfAWindow) {
    QString seen;
    SetFileDialogHook([&](QString& path) {
        seen = path;
        path = "/tmp/image.bin";
        return IDOK;
    });
    QString path = "/tmp/old.bin";
    EXPECT_EQ(DoFileOpenDialog(nullptr, "bin", "Bin File(*.bin)|*.bin||", path), IDOK);
    EXPECT_EQ(seen, "/tmp/old.bin");
    EXPECT_EQ(path, "/tmp/image.bin");

    SetFileDialogHook([](QString& path) {
        path = "/tmp/ignored.bin";
        return IDCANCEL;
    });
    EXPECT_EQ(DoFileOpenDialog(nullptr, "bin", "Bin File(*.bin)|*.bin||", path), IDCANCEL);
    EXPECT_EQ(path, "/tmp/image.bin");
    SetFileDialogHook({});
}

// Answers the next modal file dialog once it shows.
void AnswerFileDialog(std::function<void(QFileDialog*)> answer) {
    auto* poll = new QTimer;
    QObject::connect(poll, &QTimer::timeout, [poll, answer = std::move(answer)] {
        if (auto* dialog = qobject_cast<QFileDialog*>(QApplication::activeModalWidget())) {
            poll->stop();
            poll->deleteLater();
            answer(dialog);
        }
    });
    poll->start(5);
}

TEST(FileDialog, RealDialogOpensInThePathsFolderWithTheFilter) {
    TempDir dir;
    dir.Write("image.bin", "x");
    QString path = QString::fromStdString((dir.path / "old.bin").string());
    QStringList filters;
    QString suffix, folder;
    AnswerFileDialog([&](QFileDialog* dialog) {
        filters = dialog->nameFilters();
        suffix = dialog->defaultSuffix();
        folder = dialog->directory().absolutePath();
        dialog->selectFile(QString::fromStdString((dir.path / "image.bin").string()));
        QMetaObject::invokeMethod(dialog, "accept");
    });
    EXPECT_EQ(DoFileOpenDialog(nullptr, "bin", "Bin File(*.bin)|*.bin|All Files(*.*)|*.*||", path),
              IDOK);
    EXPECT_EQ(filters, (QStringList{"Bin File (*.bin)", "All Files (*)"}));
    EXPECT_EQ(suffix, "bin");
    EXPECT_EQ(folder, QDir(QString::fromStdString(dir.path.string())).absolutePath());
    EXPECT_EQ(path, QString::fromStdString((dir.path / "image.bin").string()));

    AnswerFileDialog([](QFileDialog* dialog) { dialog->reject(); });
    EXPECT_EQ(DoFileOpenDialog(nullptr, "bin", "Bin File(*.bin)|*.bin||", path), IDCANCEL);
    EXPECT_EQ(path, QString::fromStdString((dir.path / "image.bin").string()));
}

QStringList g_warnings;

TEST(ControlIds, MissingIdentifierIsReported) {
    const bool previous = ReportsMissingItems();
    ReportMissingItems(true);
    g_warnings.clear();
    QtMessageHandler handler =
        qInstallMessageHandler([](QtMsgType type, const QMessageLogContext&, const QString& msg) {
            if (type == QtWarningMsg)
                g_warnings << msg;
        });
    {
        CTestDlg dlg; // has no Cancel button: that is no fault
        dlg.setObjectName("TestDlg");
        dlg.EnableItem(ID_TEXT, false);
        EXPECT_TRUE(g_warnings.isEmpty()) << g_warnings.join('\n').toStdString();
        dlg.SetItemText(999, "x");
        EXPECT_EQ(dlg.GetItemText(999), "");
    }
    qInstallMessageHandler(handler);
    ReportMissingItems(previous);
    ASSERT_EQ(g_warnings.size(), 2);
    EXPECT_TRUE(g_warnings[0].contains("999")) << g_warnings[0].toStdString();
    EXPECT_TRUE(g_warnings[0].contains("TestDlg")) << g_warnings[0].toStdString();
}

TEST(Beep, GoesToTheHookWithItsToneAndLength) {
    std::vector<std::pair<int, int>> tones;
    BeepHook previous = SetBeepHook([&](int hz, int ms) { tones.emplace_back(hz, ms); });
    Beep(1500, 50);
    SetBeepHook(std::move(previous));
    EXPECT_EQ(tones, (std::vector<std::pair<int, int>>{{1500, 50}}));
}

} // namespace
