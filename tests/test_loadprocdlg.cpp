// Program download from the console through the real dialog, against the
// terminal simulator over a pseudo-terminal, TCP and UDP: the image as the
// terminal saved it, the percentages shown, the outcome messages and
// close-all; the refusals before anything is sent; and the console's job
// record held by a dialog while timed sending runs.
#include <QCoreApplication>
#include <QKeyEvent>
#include <QTimer>
#include <gtest/gtest.h>

#include <random>
#include <string>
#include <vector>

#include "ConsoleSim.h"
#include "app/LoadProcDlg.h"
#include "app/PubFunsDlg.h"
#include "app/PubFunsIds.h"
#include "app/WindowMessages.h"
#include "protocol/Download.h"

namespace {

// Sees every worker result right after the window it was posted to has
// handled it (one queue keeps them in order), and notes the download
// dialog's percentage after each step.
class StepProbe : public CDialogBase {
  public:
    StepProbe() {
        s_probe = this;
        SetCommResultPoster(&StepProbe::Post);
    }
    ~StepProbe() override {
        InstallWindowMessages();
        s_probe = nullptr;
    }

    std::vector<std::string> percents;
    // Whether Escape and the window manager's close left the running
    // download's dialog open.
    bool bSurvivedClose = false;

  protected:
    void OnCommResult(int code, long) override {
        CDialogBase* load = FindWindowByCaption(QString::fromUtf8(LOAD_PROC_CAPTION));
        if (load == nullptr)
            return;
        if (code == RC_DOWNLOAD_START) {
            QKeyEvent escape(QEvent::KeyPress, Qt::Key_Escape, Qt::NoModifier);
            QCoreApplication::sendEvent(load, &escape);
            load->close();
            bSurvivedClose = load->isVisible();
        } else if (code == RC_DOWNLOAD_STEP) {
            percents.push_back(load->GetItemText(IDC_LOAD_PERCENT).toStdString());
        }
    }

  private:
    static void Post(WindowHandle wnd, int code, long value) {
        PostWindowMessage(wnd, WM_COMM_RESULT, code, value);
        if (StepProbe* probe = s_probe)
            PostWindowMessage(probe->GetSafeHwnd(), WM_COMM_RESULT, code, value);
    }
    static inline StepProbe* s_probe = nullptr;
};

std::string Image(size_t size) {
    std::mt19937 gen(static_cast<unsigned>(size) + 7);
    std::string bytes(size, '\0');
    for (char& c : bytes)
        c = static_cast<char>(gen() & 0xFF);
    return bytes;
}

const char* const Success = "下载程序成功";
const char* const NoAnswer = "下载程序失败，终端无响应,请检查机号是否正确!";

class LoadTest : public ConsoleSimTest {
  protected:
    void TearDown() override {
        SetFileDialogHook({});
        ConsoleSimTest::TearDown();
    }

    std::string SavedPath() const { return (dir.path / "saved.bin").string(); }

    // Starts the simulator (saving what it is sent) with a console connected
    // on channel.
    void StartOn(int channel, std::vector<std::string> options = {}) {
        options.insert(options.end(), {"--save-image", SavedPath()});
        Start(options, channel != CH_UDP, 1000, channel);
        if (channel == CH_UDP) {
            Choose(CH_UDP);
            ASSERT_TRUE(dlg->ClickItem(IDC_UDP_BIND));
            ASSERT_TRUE(WaitUntil([&] { return dlg->State().IsOpen(CH_UDP); }, 5000));
        }
    }

    // Chooses path with "选择文件", as the file dialog would give it.
    void ChooseFile(const std::string& path) {
        SetFileDialogHook([path](QString& chosen) {
            chosen = QString::fromStdString(path);
            return IDOK;
        });
        ASSERT_TRUE(dlg->ClickItem(IDC_CHOOSE_FILE));
        EXPECT_EQ(dlg->GetItemText(IDC_LOAD_FILE).toStdString(), path);
    }

    // Presses "下载" and returns once the dialog has ended (or at once when
    // no dialog opened); a dialog still open after ms fails the test.
    void Download(const char* machineNo = "255", int ms = 20000) {
        dlg->SetItemText(IDC_LOAD_MACHINE_NO, QString::fromUtf8(machineNo));
        QTimer guard;
        guard.setSingleShot(true);
        QObject::connect(&guard, &QTimer::timeout, [] {
            ADD_FAILURE() << "the download dialog did not end";
            if (CDialogBase* d = FindWindowByCaption(QString::fromUtf8(LOAD_PROC_CAPTION)))
                d->EndDialog(IDCANCEL);
        });
        guard.start(ms);
        ASSERT_TRUE(dlg->ClickItem(IDC_DOWNLOAD));
    }

    // The one message of the outcome, and every channel closed after it.
    void ExpectOutcome(const std::string& text, bool ok) {
        ASSERT_EQ(capture.boxes.size(), 1u);
        EXPECT_EQ(capture.boxes[0].text.toStdString(), text);
        EXPECT_EQ(capture.boxes[0].caption, ok ? "成功" : "失败");
        EXPECT_EQ(capture.boxes[0].icon, ok ? MB_ICONINFORMATION : MB_ICONEXCLAMATION);
        EXPECT_FALSE(dlg->WorkerRuns());
        EXPECT_FALSE(dlg->JobPending());
        EXPECT_EQ(dlg->GetItemText(IDC_TCP_STATUS), "未连接!");
        EXPECT_EQ(dlg->GetItemText(IDC_UDP_STATUS), "未绑定!");
        EXPECT_EQ(FindWindowByCaption(QString::fromUtf8(LOAD_PROC_CAPTION)), nullptr);
    }
};

TEST(DownloadPercent, RoundsCapsAndSurvivesAnEmptyTotal) {
    struct Case {
        int pos;
        int total;
        int percent;
    } cases[] = {{0, 2, 0}, {1, 2, 50},  {2, 2, 100}, {1, 3, 33},  {2, 3, 67},  {5, 4, 100},
                 {0, 0, 0}, {1, 0, 100}, {2, 0, 100}, {1, 480, 0}, {3, 480, 1}, {479, 480, 100}};
    for (const Case& c : cases)
        EXPECT_EQ(DownloadPercent(c.pos, c.total), c.percent) << c.pos << "/" << c.total;
}

TEST_F(LoadTest, ImageLandsByteForByteOnEveryLine) {
    struct Case {
        size_t size;
        int blocks; // block requests (command 03)
        std::vector<std::string> percents;
    } cases[] = {
        {300, 3, {"0%", "50%", "100%", "100%"}},
        {128, 1, {"0%", "100%"}},
        {512, 4, {"0%", "25%", "50%", "75%", "100%"}},
        {0, 1, {"0%", "100%"}},
    };
    for (int channel : {CH_SERIAL, CH_TCP, CH_UDP}) {
        const std::string line = channel == CH_TCP ? "tcp" : channel == CH_UDP ? "udp" : "pty";
        for (const Case& c : cases) {
            SCOPED_TRACE(line + " " + std::to_string(c.size));
            StartOn(channel);
            const std::string image = Image(c.size);
            dir.Write("prog.bin", image);
            ChooseFile((dir.path / "prog.bin").string());
            capture.boxes.clear();
            StepProbe probe;
            Download();
            ExpectOutcome(Success, true);
            EXPECT_EQ(dlg->GetItemText(IDC_COM_STATUS), "已关闭!");
            EXPECT_EQ(probe.percents, c.percents);
            EXPECT_TRUE(probe.bSurvivedClose);
            EXPECT_TRUE(WaitUntil([&] { return ReadFile(SavedPath()).size() == c.size; }, 2000));
            EXPECT_TRUE(ReadFile(SavedPath()) == image);
            EXPECT_EQ(sim->CountLines("RX " + line + " C0 FF E7 00 05 4C 6F 61 64 50"), 1);
            EXPECT_EQ(sim->CountLines("RX " + line + " C0 FF 03 "), c.blocks);
            EXPECT_EQ(sim->CountLines("RX " + line + " C0 FF 04 00 02 "), 1);
            dlg.reset();
            sim.reset();
            std::filesystem::remove(SavedPath());
        }
    }
}

TEST_F(LoadTest, FailedDownloadsShowTheirCodeAndCloseEverything) {
    struct Case {
        const char* name;
        std::vector<std::string> options;
        size_t size; // of the image written; SIZE_MAX: no file at all
        std::string text;
        int requests; // request frames the terminal received
    } cases[] = {
        {"silent", {"--fault", "silent:E7"}, 300, NoAnswer, 1},
        {"status AC on the blocks",
         {"--fault", "status:03", "--status", "AC"},
         300,
         "下载程序失败，返回错误代码 172",
         3},
        {"missing file", {}, SIZE_MAX, "下载程序失败，返回错误代码 -10", 1},
        {"one byte too large", {}, DOWNLOAD_IMAGE_MAX + 1, "下载程序失败，返回错误代码 -17", 0},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        StartOn(CH_TCP, c.options);
        const std::string path = (dir.path / "prog.bin").string();
        std::filesystem::remove(path);
        if (c.size != SIZE_MAX)
            dir.Write("prog.bin", Image(c.size));
        ChooseFile(path);
        capture.boxes.clear();
        Download();
        ExpectOutcome(c.text, false);
        Pump(50);
        EXPECT_EQ(sim->CountLines("RX tcp C0 "), c.requests);
        EXPECT_TRUE(ReadFile(SavedPath()).empty());
        dlg.reset();
        sim.reset();
    }
}

TEST_F(LoadTest, RefusalsComeInOrderAndSendNothing) {
    StartOn(CH_TCP);
    dir.Write("prog.bin", Image(300));
    struct Case {
        const char* name;
        const char* machineNo;
        bool chooseFile;
        const char* text;
        const char* caption;
        int icon;
        int focus;
    } cases[] = {
        {"machine 0", "0", true, "请输入一个介于 1 和 255 之间的整数。", "提示", MB_ICONEXCLAMATION,
         IDC_LOAD_MACHINE_NO},
        {"machine 256", "256", true, "请输入一个介于 1 和 255 之间的整数。", "提示",
         MB_ICONEXCLAMATION, IDC_LOAD_MACHINE_NO},
        {"machine 0, no file: the range comes first", "0", false,
         "请输入一个介于 1 和 255 之间的整数。", "提示", MB_ICONEXCLAMATION, IDC_LOAD_MACHINE_NO},
        {"no file", "1", false, "请指定待下载的程序文件", "提示", MB_ICONINFORMATION,
         IDC_CHOOSE_FILE},
        {"no machine number", "", true, "请输入机号", "提示", MB_ICONINFORMATION,
         IDC_LOAD_MACHINE_NO},
        {"no file before no machine number", "", false, "请指定待下载的程序文件", "提示",
         MB_ICONINFORMATION, IDC_CHOOSE_FILE},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        dlg->SetItemText(IDC_LOAD_FILE,
                         c.chooseFile ? QString::fromStdString((dir.path / "prog.bin").string())
                                      : QString());
        capture.boxes.clear();
        Download(c.machineNo);
        ASSERT_EQ(capture.boxes.size(), 1u);
        EXPECT_EQ(capture.boxes[0].text.toStdString(), c.text);
        EXPECT_EQ(capture.boxes[0].caption.toStdString(), c.caption);
        EXPECT_EQ(capture.boxes[0].icon, c.icon);
        EXPECT_TRUE(Focused(c.focus));
        EXPECT_TRUE(dlg->State().IsOpen(CH_TCP));
    }
    Pump(50);
    EXPECT_EQ(sim->CountLines("RX tcp"), 0);
}

TEST_F(LoadTest, NotConnectedWarnsBeforeTheFileIsLookedAt) {
    Start({}, false);
    capture.boxes.clear();
    Download("");
    ASSERT_EQ(capture.boxes.size(), 1u);
    EXPECT_EQ(capture.boxes[0].text, "尚未打开串口!!!");
    EXPECT_EQ(capture.boxes[0].caption, "警告");
    EXPECT_EQ(capture.boxes[0].icon, MB_ICONEXCLAMATION);
    EXPECT_TRUE(Focused(IDC_OPEN_PORT));
}

TEST_F(LoadTest, CancelledFileDialogKeepsThePath) {
    Start({}, false);
    dlg->SetItemText(IDC_LOAD_FILE, "/tmp/kept.bin");
    SetFileDialogHook([](QString& path) {
        path = "/tmp/other.bin";
        return IDCANCEL;
    });
    ASSERT_TRUE(dlg->ClickItem(IDC_CHOOSE_FILE));
    EXPECT_EQ(dlg->GetItemText(IDC_LOAD_FILE), "/tmp/kept.bin");
}

// The worker still reads the console's record: a dialog filing its job now
// would overwrite it, so the click is dropped.
TEST_F(LoadTest, DialogsWaitForTheConsolesExchange) {
    StartOn(CH_TCP, {"--fault", "silent:DD"});
    dir.Write("prog.bin", Image(300));
    ChooseFile((dir.path / "prog.bin").string());
    ASSERT_TRUE(dlg->ClickItem(IDC_PROTOCOL_SEND));
    ASSERT_TRUE(dlg->JobPending());
    capture.boxes.clear();
    Download();
    dlg->OnPubFuns();
    EXPECT_TRUE(capture.boxes.empty());
    EXPECT_TRUE(dlg->JobPending());
    EXPECT_EQ(dlg->State().Job().hNotifyWnd, dlg->GetSafeHwnd());
    EXPECT_TRUE(WaitUntil([&] { return !dlg->JobPending(); }, 5000));
    Pump(50);
    EXPECT_EQ(sim->CountLines("RX tcp C0 FF E7"), 0);
    EXPECT_EQ(sim->CountLines("RX tcp C0 FF E1"), 0);
    EXPECT_TRUE(dlg->State().IsOpen(CH_TCP));
}

// A tick while a dialog holds the job would refile the console's exchange
// on the record the dialog's command uses; such ticks file nothing. The test
// drives the ticks itself, before, during and after the dialog's command.
TEST_F(LoadTest, TimedSendingFilesNothingWhileADialogHoldsTheJob) {
    Start({"--id", "12345678"});
    dlg->SetItemText(IDC_PROTOCOL_DATA, QString());
    dlg->SetItemText(IDC_PROTOCOL_PERIOD, "10000");
    ASSERT_TRUE(dlg->ClickItem(IDC_PROTOCOL_TIMED));
    ASSERT_TRUE(dlg->State().RowOn(ROW_PROTOCOL));
    dlg->KillTimer(TIMER_PROTOCOL_SEND);
    auto tickAndWait = [&](int framesAfter) {
        dlg->OnTimer(TIMER_PROTOCOL_SEND);
        EXPECT_EQ(dlg->State().PendingRow(), ROW_PROTOCOL);
        EXPECT_TRUE(WaitUntil([&] { return !dlg->JobPending(); }, 5000));
        EXPECT_TRUE(
            WaitUntil([&] { return sim->CountLines("RX tcp C0 FF DD") == framesAfter; }, 5000));
    };
    tickAndWait(1);

    bool lent = false;
    int filedWhileLent = 0;
    QString id;
    CommJob* job = nullptr;
    QTimer::singleShot(0, [&] {
        auto* d = static_cast<CPubFunsDlg*>(FindWindowByCaption("公用命令"));
        if (d == nullptr) {
            ADD_FAILURE() << "no dialog";
            return;
        }
        lent = dlg->JobLent();
        job = &d->Job();
        auto ticks = [&] {
            for (int i = 0; i < 3; ++i) {
                dlg->OnTimer(TIMER_PROTOCOL_SEND);
                filedWhileLent += dlg->State().PendingRow() != ROW_NONE;
            }
        };
        ticks();
        d->SetCurSel(IDC_PUB_COMMAND, PUB_READ_ID);
        d->ClickItem(IDC_PUB_EXECUTE);
        ticks(); // while the dialog's command runs on the record
        WaitUntil([&] { return !d->CommandRuns(); }, 8000);
        ticks();
        id = d->GetItemText(IDC_PUB_ID);
        d->EndDialog(IDOK);
    });
    dlg->OnPubFuns();
    EXPECT_TRUE(lent);
    EXPECT_EQ(job, &dlg->State().Job());
    EXPECT_EQ(filedWhileLent, 0);
    EXPECT_EQ(id, "12345678");
    EXPECT_EQ(sim->CountLines("RX tcp C0 FF E1"), 1);
    EXPECT_EQ(sim->CountLines("RX tcp C0 FF DD"), 1);
    for (const CapturedBox& box : capture.boxes)
        EXPECT_NE(box.caption, "失败") << box.text.toStdString();
    EXPECT_FALSE(dlg->JobLent());
    EXPECT_EQ(dlg->State().Job().hNotifyWnd, dlg->GetSafeHwnd());
    // The console's timed sending goes on afterwards.
    tickAndWait(2);
    dlg->ClickItem(IDC_PROTOCOL_TIMED);
}

} // namespace
