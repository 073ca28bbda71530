// The console: start-up, channel selection and its enable table, opening and
// closing every channel on real devices (pseudo-terminals, loopback
// sockets), the dialling dialog, close-all and shutdown.
#include <QAction>
#include <QComboBox>
#include <QTimer>
#include <atomic>
#include <chrono>
#include <functional>
#include <gtest/gtest.h>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include <fcntl.h>
#include <sys/file.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <termios.h>
#include <unistd.h>

#include "AdapterSources.h"
#include "ConsoleFixture.h"
#include "FakeModemLines.h"
#include "LoopbackPeer.h"
#include "PasteUtil.h"
#include "PtyUtil.h"
#include "UiTestUtil.h"
#include "app/QuillmarkApp.h"
#include "app/QuillmarkDlg.h"
#include "app/Resource.h"
#include "app/WindowMessages.h"
#include "comm/NetDriver.h"
#include "comm/SerialPort.h"
#include "sim/ConsoleConfigXml.h"

namespace {

using Clock = std::chrono::steady_clock;

const char* const CONSOLE_CAPTION =
    "COM(MODEM)_TCP_UDP调试平台（V2.03）-ICC/RF/ESAM-APDU不用输序号-64bit Windows  2015,12,08";
constexpr int SERIAL_COM = 200;
constexpr int MODEM_COM = 201;

// The four sections of config.xml, each channel with time-outs of its own.
ConsoleConfigXml Sections() {
    ConsoleConfigXml s;
    s.com = R"(PortNo="200" BaudRate="19200" FirstChar="1100" RevTimeOut="110")";
    s.modem =
        R"(PortNo="201" BaudRate="19200" FirstChar="1200" RevTimeOut="120" AddedNo="0" CalledNo="12345")";
    s.tcp = R"(IP="127.0.0.1" Port="1" FirstChar="1300" RevTimeOut="130")";
    s.udp = R"(IP="127.0.0.1" Port="6689" FirstChar="1400" RevTimeOut="140")";
    return s;
}

// True when no other holder has the device locked.
bool PortFree(const std::string& path) {
    int fd = open(path.c_str(), O_RDWR | O_NOCTTY | O_NONBLOCK);
    if (fd < 0)
        return false;
    bool free = flock(fd, LOCK_EX | LOCK_NB) == 0;
    close(fd);
    return free;
}

class ConsoleTest : public ConsoleFixture {
  protected:
    void TearDown() override {
        ConsoleFixture::TearDown();
        ComSetModemLines(nullptr);
        NetSetAdapterSource(nullptr);
        ComBindDevice(SERIAL_COM, "");
        ComBindDevice(MODEM_COM, "");
    }

    // Starts a console over config.xml of these sections; the serial and
    // modem COM numbers are bound to two pseudo-terminals by the Ports element.
    CQuillmarkDlg& Start(ConsoleConfigXml s = Sections()) {
        if (s.ports.empty()) {
            EXPECT_TRUE(serial.Open() && modem.Open());
            s.ports = {{SERIAL_COM, serial.path}, {MODEM_COM, modem.path}};
        }
        return StartConsole(s.Xml());
    }

    // Presses a button whose handler may run the dialling dialog; a dialog
    // still up after guardMs is cancelled so that a fault fails, not hangs.
    void Press(int id, int guardMs = 15000) {
        QTimer guard;
        guard.setSingleShot(true);
        QObject::connect(&guard, &QTimer::timeout, [] {
            if (CDialogBase* d = FindWindowByCaption("正在拨号..."))
                d->ClickItem(IDCANCEL);
            ADD_FAILURE() << "the dialling dialog did not end";
        });
        guard.start(guardMs);
        EXPECT_TRUE(dlg->ClickItem(id));
    }

    // Answers the next modal dialog of this caption: work, then press button.
    void Answer(const char* caption, int button, std::function<void(CDialogBase&)> work = {}) {
        QTimer::singleShot(0, [=] {
            CDialogBase* d = FindWindowByCaption(QString::fromUtf8(caption));
            ASSERT_NE(d, nullptr) << caption;
            if (work)
                work(*d);
            d->ClickItem(button);
        });
    }

    QString Text(int id) const { return dlg->GetItemText(id); }
    bool On(int id) const { return dlg->IsItemEnabled(id); }

    PtyPair serial;
    PtyPair modem;
};

TEST_F(ConsoleTest, StartWithoutUsableConfigShowsWhyAndEnds) {
    struct Case {
        const char* name;
        const char* content; // nullptr: no config.xml at all
        const char* message;
    } cases[] = {
        {"missing", nullptr, "程序配置文件config.xml丢失,退出!"},
        {"empty", "", "加载程序配置文件config.xml失败,退出!"},
        {"malformed", "<Quillmark><COMPort PortNo=\"1\"></Quillmark>",
         "加载程序配置文件config.xml失败,退出!"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        TempDir empty;
        if (c.content)
            empty.Write("config.xml", c.content);
        MessageCapture boxes;
        CQuillmarkApp app;
        EXPECT_EQ(app.InitInstance(empty.path / "config.xml"), 1);
        ASSERT_EQ(boxes.boxes.size(), 1u);
        EXPECT_EQ(boxes.boxes[0].text, QString::fromUtf8(c.message));
        EXPECT_EQ(boxes.boxes[0].caption, "Quillmark");
    }
}

TEST_F(ConsoleTest, NormalStartRunsTheConsoleUntilExit) {
    dir.Write("config.xml", Sections().Xml());
    bool seen = false;
    QTimer::singleShot(0, [&] {
        CDialogBase* console = FindWindowByCaption(QString::fromUtf8(CONSOLE_CAPTION));
        ASSERT_NE(console, nullptr);
        seen = console->isVisible();
        console->ClickItem(IDOK);
    });
    CQuillmarkApp app;
    EXPECT_EQ(app.InitInstance(dir.path / "config.xml"), 0);
    EXPECT_TRUE(seen);
    EXPECT_TRUE(capture.boxes.empty());
}

// Both windows are editable: every way of pasting meets every kind of empty
// clipboard and leaves the text as it was; a real paste still goes in.
TEST_F(ConsoleTest, PasteOfNothingLeavesBothWindowsAlone) {
    CQuillmarkDlg& c = Start();
    for (int id : {IDC_RECV, IDC_SEND}) {
        SCOPED_TRACE(id);
        auto* edit = c.GetDlgItemAs<QPlainTextEdit>(id);
        ASSERT_NE(edit, nullptr);
        ASSERT_FALSE(edit->isReadOnly());
        for (const auto& route : PasteRoutes()) {
            for (const auto& empty : EmptyClipboards()) {
                c.SetItemText(id, "00");
                empty();
                route(edit);
                EXPECT_EQ(Text(id), "00");
            }
        }
        c.SetItemText(id, "");
        QGuiApplication::clipboard()->setText("A5 5A");
        PasteByCtrlV(edit);
        EXPECT_EQ(Text(id), "A5 5A");
    }
}

TEST_F(ConsoleTest, FindsConfigBesideTheExecutable) {
    // The tests run from the programs' folder, beside the shipped config.xml.
    EXPECT_TRUE(GetExeDir().ends_with("/"));
    CQuillmarkDlg console;
    EXPECT_TRUE(console.Create());
    EXPECT_TRUE(console.IsInitialised());
    EXPECT_TRUE(capture.boxes.empty());
}

TEST_F(ConsoleTest, InitialStateAfterANormalStart) {
    CQuillmarkDlg& c = Start();
    EXPECT_EQ(Text(IDC_CHANNEL), "串口");
    EXPECT_EQ(c.State().Channel(), 0);
    for (int id :
         std::initializer_list<int>{IDC_SERIAL_GROUP, IDC_COM_SET, IDC_OPEN_PORT, IDC_COM_STATUS,
                                    IDC_COM_PORT, IDC_COM_BAUD, IDC_ASSIST, IDC_VERSION, IDOK})
        EXPECT_TRUE(On(id)) << id;
    for (int id : {IDC_CLOSE_PORT, IDC_TCP_GROUP, IDC_TCP_SET, IDC_TCP_CONNECT, IDC_TCP_DISCONNECT,
                   IDC_UDP_GROUP, IDC_UDP_SET, IDC_UDP_BIND, IDC_UDP_CLOSE, IDC_PUBFUNS,
                   IDC_SET_PCSC, IDC_CANCEL_PCSC})
        EXPECT_FALSE(On(id)) << id;
    EXPECT_EQ(Text(IDC_DATA_LEN), "261");
    EXPECT_EQ(Text(IDC_COMMAND), "DD");
    EXPECT_EQ(Text(IDC_MACHINE_NO), "255");
    EXPECT_EQ(Text(IDC_COM_STATUS), "未打开");
    EXPECT_EQ(Text(IDC_TCP_STATUS), "未连接");
    EXPECT_EQ(Text(IDC_UDP_STATUS), "未绑定");
    EXPECT_EQ(Text(IDC_RECV_STATUS), "接收状态");
    EXPECT_EQ(Text(IDC_COM_PORT), "串口号: COM200");
    EXPECT_EQ(Text(IDC_COM_BAUD), "波特率: 19200");
    EXPECT_EQ(Text(IDC_TCP_ADDR), "127.0.0.1:1");
    EXPECT_EQ(Text(IDC_UDP_ADDR), "127.0.0.1:6689");
    EXPECT_EQ(Text(IDC_FIRST_CHAR), "1100");
    EXPECT_EQ(Text(IDC_INTER_CHAR), "110");
    EXPECT_FALSE(c.GetDlgItem(IDC_INTER_CHAR)->isVisibleTo(&c));
    EXPECT_EQ(Text(IDC_PROTOCOL_DATA).size(), 522);
    EXPECT_TRUE(Text(IDC_PROTOCOL_DATA).startsWith("000102"));
    EXPECT_TRUE(Text(IDC_PROTOCOL_DATA).endsWith("FEFF0001020304"));
    EXPECT_EQ(Text(IDC_DIRECT_DATA).size(), 34);
    EXPECT_EQ(c.windowTitle(), QString::fromUtf8(CONSOLE_CAPTION));
    EXPECT_FALSE(c.WorkerRuns());
    EXPECT_TRUE(capture.boxes.empty());
}

TEST_F(ConsoleTest, AboutIsOnTheContextMenuAndF1) {
    CQuillmarkDlg& c = Start();
    QAction* about = nullptr;
    for (QAction* a : c.actions())
        if (a->text() == "关于 Quillmark(&A)...")
            about = a;
    ASSERT_NE(about, nullptr);
    EXPECT_EQ(about->shortcut(), QKeySequence(Qt::Key_F1));
    bool shown = false;
    QTimer::singleShot(0, [&] {
        CDialogBase* box = FindWindowByCaption("关于 Quillmark");
        ASSERT_NE(box, nullptr);
        shown = box->isVisible() && box->GetItemText(IDOK) == "确定";
        box->ClickItem(IDOK);
    });
    about->trigger();
    EXPECT_TRUE(shown);
}

TEST_F(ConsoleTest, OutOfRangeTimeoutKeepsTheConsoleOpenOnExit) {
    struct Case {
        const char* com;
        const char* message;
    } cases[] = {
        {R"(PortNo="200" BaudRate="19200" FirstChar="0" RevTimeOut="110")",
         "请输入一个介于 1 和 50000 之间的整数。"},
        {R"(PortNo="200" BaudRate="19200" FirstChar="1000" RevTimeOut="40001")",
         "请输入一个介于 1 和 40000 之间的整数。"},
    };
    for (const Case& k : cases) {
        SCOPED_TRACE(k.com);
        capture.boxes.clear();
        ConsoleConfigXml s = Sections();
        s.com = k.com;
        CQuillmarkDlg& c = Start(s);
        EXPECT_TRUE(c.ClickItem(IDOK));
        ASSERT_EQ(capture.boxes.size(), 1u);
        EXPECT_EQ(capture.boxes[0].text, QString::fromUtf8(k.message));
        EXPECT_EQ(capture.boxes[0].caption, "提示");
        EXPECT_TRUE(c.isVisible());
        serial.Close();
        modem.Close();
    }
}

TEST_F(ConsoleTest, EachChannelEnablesItsPanelOnly) {
    const std::vector<int> serialPanel = {IDC_SERIAL_GROUP, IDC_COM_SET,  IDC_OPEN_PORT,
                                          IDC_COM_STATUS,   IDC_COM_PORT, IDC_COM_BAUD};
    const std::vector<int> tcpPanel = {IDC_TCP_GROUP, IDC_TCP_SET, IDC_TCP_CONNECT, IDC_TCP_STATUS,
                                       IDC_TCP_ADDR};
    const std::vector<int> udpPanel = {IDC_UDP_GROUP, IDC_UDP_SET, IDC_UDP_BIND, IDC_UDP_STATUS,
                                       IDC_UDP_ADDR};
    const int closeButtons[] = {IDC_CLOSE_PORT, IDC_CLOSE_PORT, IDC_TCP_DISCONNECT, IDC_UDP_CLOSE};
    struct Case {
        int channel;
        const char* open;
        const char* close;
        const char* comStatus;
        const char* firstChar;
    } cases[] = {
        // In this order, so that leaving UDP for serial shows the captions come back.
        {CH_MODEM, "拨号", "挂断", "未连线", "1200"},
        {CH_TCP, "拨号", "挂断", "未打开", "1300"},
        {CH_UDP, "拨号", "挂断", "未打开", "1400"},
        {CH_SERIAL, "打开串口", "关闭串口", "未打开", "1100"},
    };
    CQuillmarkDlg& c = Start();
    for (const Case& k : cases) {
        SCOPED_TRACE(k.channel);
        // Everything enabled first, so that each "off" of the table shows.
        for (const auto* panel : {&serialPanel, &tcpPanel, &udpPanel})
            for (int id : *panel)
                c.EnableItem(id, true);
        for (int id : closeButtons)
            c.EnableItem(id, true);

        Choose(k.channel);
        EXPECT_EQ(c.State().Channel(), k.channel);
        EXPECT_EQ(Text(IDC_OPEN_PORT), QString::fromUtf8(k.open));
        EXPECT_EQ(Text(IDC_CLOSE_PORT), QString::fromUtf8(k.close));
        EXPECT_EQ(Text(IDC_COM_STATUS), QString::fromUtf8(k.comStatus));
        EXPECT_EQ(Text(IDC_TCP_STATUS), "未连接");
        EXPECT_EQ(Text(IDC_UDP_STATUS), "未绑定");
        EXPECT_EQ(Text(IDC_FIRST_CHAR), k.firstChar);
        const bool serialOn = k.channel == CH_SERIAL || k.channel == CH_MODEM;
        for (int id : serialPanel)
            EXPECT_EQ(On(id), serialOn) << id;
        for (int id : tcpPanel)
            EXPECT_EQ(On(id), k.channel == CH_TCP) << id;
        for (int id : udpPanel)
            EXPECT_EQ(On(id), k.channel == CH_UDP) << id;
        // The close button of the chosen channel keeps its state; the others go off.
        for (int channel = CH_SERIAL; channel <= CH_UDP; ++channel) {
            const bool own = closeButtons[channel] == closeButtons[k.channel];
            EXPECT_EQ(On(closeButtons[channel]), own) << closeButtons[channel];
        }
    }
    EXPECT_TRUE(capture.boxes.empty());
}

TEST_F(ConsoleTest, SerialPortOpensOnTheBoundDeviceAndCloses) {
    ConsoleConfigXml s = Sections();
    s.com = R"(PortNo="200" BaudRate="38400" FirstChar="1100" RevTimeOut="110")";
    CQuillmarkDlg& c = Start(s);
    Press(IDC_OPEN_PORT);
    EXPECT_TRUE(capture.boxes.empty());
    EXPECT_EQ(Text(IDC_COM_STATUS), "已打开!");
    EXPECT_TRUE(c.State().IsOpen(CH_SERIAL));
    EXPECT_FALSE(On(IDC_OPEN_PORT));
    EXPECT_TRUE(On(IDC_CLOSE_PORT));
    EXPECT_TRUE(c.WorkerRuns());
    EXPECT_FALSE(PortFree(serial.path));
    // A rate the table does not know opens at 19200.
    termios tio{};
    ASSERT_EQ(tcgetattr(serial.slave, &tio), 0);
    EXPECT_EQ(cfgetospeed(&tio), speed_t(B19200));

    Press(IDC_CLOSE_PORT);
    EXPECT_EQ(Text(IDC_COM_STATUS), "已关闭!");
    EXPECT_FALSE(c.State().IsOpen(CH_SERIAL));
    EXPECT_TRUE(On(IDC_OPEN_PORT));
    EXPECT_FALSE(On(IDC_CLOSE_PORT));
    EXPECT_FALSE(c.WorkerRuns());
    EXPECT_TRUE(PortFree(serial.path));
}

TEST_F(ConsoleTest, BusySerialPortIsReportedAndChangesNothing) {
    CQuillmarkDlg& c = Start();
    int holder = open(serial.path.c_str(), O_RDWR | O_NOCTTY | O_NONBLOCK);
    ASSERT_EQ(flock(holder, LOCK_EX | LOCK_NB), 0);
    Press(IDC_OPEN_PORT);
    close(holder);
    ASSERT_EQ(capture.boxes.size(), 1u);
    EXPECT_EQ(capture.boxes[0].text, "打开串口COM200失败,请检查该串口是否已被占用!");
    EXPECT_EQ(capture.boxes[0].caption, "错误");
    EXPECT_EQ(capture.boxes[0].icon, MB_ICONEXCLAMATION);
    EXPECT_EQ(Text(IDC_COM_STATUS), "未打开");
    EXPECT_TRUE(On(IDC_OPEN_PORT));
    EXPECT_FALSE(On(IDC_CLOSE_PORT));
    EXPECT_FALSE(c.WorkerRuns());
}

TEST_F(ConsoleTest, TcpConnectsDisconnectsAndDropsOnSwitchOrSettings) {
    TcpListener listener;
    ConsoleConfigXml s = Sections();
    s.tcp = "IP=\"127.0.0.1\" Port=\"" + std::to_string(listener.port) +
            "\" FirstChar=\"1300\" RevTimeOut=\"130\"";
    CQuillmarkDlg& c = Start(s);
    Choose(CH_TCP);

    auto connect = [&] {
        Press(IDC_TCP_CONNECT);
        EXPECT_TRUE(WaitUntil([&] { return c.State().IsOpen(CH_TCP); }, 3000));
        EXPECT_EQ(Text(IDC_TCP_STATUS), "已连接!");
        EXPECT_FALSE(On(IDC_TCP_CONNECT));
        EXPECT_TRUE(On(IDC_TCP_DISCONNECT));
        return listener.Accept(1000);
    };

    int peer = connect();
    ASSERT_GE(peer, 0);
    Press(IDC_TCP_DISCONNECT);
    EXPECT_EQ(Text(IDC_TCP_STATUS), "未连接!");
    EXPECT_TRUE(On(IDC_TCP_CONNECT));
    EXPECT_FALSE(On(IDC_TCP_DISCONNECT));
    EXPECT_TRUE(PeerCloses(peer, 2000));
    close(peer);

    // Choosing another channel closes the socket.
    peer = connect();
    Choose(CH_UDP);
    EXPECT_TRUE(PeerCloses(peer, 2000));
    EXPECT_EQ(Text(IDC_TCP_STATUS), "未连接");
    EXPECT_FALSE(c.State().IsOpen(CH_TCP));
    close(peer);

    // An outcome still queued from a worker that was stopped is dropped.
    Choose(CH_TCP);
    EXPECT_TRUE(c.ClickItem(IDC_TCP_CONNECT));
    Choose(CH_UDP);
    peer = listener.Accept(1000);
    EXPECT_TRUE(PeerCloses(peer, 2000));
    close(peer);
    Pump(100);
    EXPECT_FALSE(c.State().IsOpen(CH_TCP));
    EXPECT_EQ(Text(IDC_TCP_STATUS), "未连接");
    EXPECT_FALSE(c.WorkerRuns());

    // So does the settings button, and "断开连接" ends disabled.
    Choose(CH_TCP);
    peer = connect();
    Answer("TCP通信参数设置", IDCANCEL);
    Press(IDC_TCP_SET);
    EXPECT_TRUE(PeerCloses(peer, 2000));
    EXPECT_FALSE(On(IDC_TCP_DISCONNECT));
    EXPECT_FALSE(c.State().IsOpen(CH_TCP));
    close(peer);
    EXPECT_TRUE(capture.boxes.empty());
}

TEST_F(ConsoleTest, SettingsDialogsChangeWhatTheConsoleShowsAndUses) {
    TcpListener listener;
    CQuillmarkDlg& c = Start();
    const std::string port = std::to_string(listener.port);
    Choose(CH_TCP);
    Answer("TCP通信参数设置", IDOK,
           [&](CDialogBase& d) { d.SetItemText(IDC_SET_NET_PORT, QString::fromStdString(port)); });
    Press(IDC_TCP_SET);
    EXPECT_EQ(Text(IDC_TCP_ADDR).toStdString(), "127.0.0.1:" + port);
    EXPECT_EQ(c.State().Settings().nTcpPort, listener.port);
    Press(IDC_TCP_CONNECT);
    const int peer = listener.Accept(3000);
    EXPECT_GE(peer, 0);
    EXPECT_TRUE(WaitUntil([&] { return c.State().IsOpen(CH_TCP); }, 3000));
    close(peer);

    // The serial dialog's chosen port is the console's serial port.
    Choose(CH_SERIAL);
    Answer("串口通信参数设置", IDOK, [&](CDialogBase& d) {
        d.GetDlgItemAs<QComboBox>(IDC_SET_PORT_LIST)
            ->setEditText(QString::fromStdString(modem.path + " (COM201)"));
    });
    Press(IDC_COM_SET);
    EXPECT_EQ(Text(IDC_COM_PORT), "串口号: COM201");
    EXPECT_EQ(c.State().Settings().nComPort, MODEM_COM);
    EXPECT_TRUE(capture.boxes.empty());
}

TEST_F(ConsoleTest, ConfigOfAnyNameIsTheOneReadAndSaved) {
    ConsoleConfigXml s = Sections();
    s.tcp = R"(IP="127.0.0.1" Port="7000" FirstChar="1300" RevTimeOut="130")";
    StartConsole(s.Xml(), "lab.xml");
    EXPECT_EQ(Text(IDC_TCP_ADDR), "127.0.0.1:7000");
    Choose(CH_TCP);
    Answer("TCP通信参数设置", IDOK,
           [](CDialogBase& d) { d.SetItemText(IDC_SET_NET_PORT, "7001"); });
    Press(IDC_TCP_SET);
    EXPECT_NE(ReadFile(dir.path / "lab.xml").find("Port=\"7001\""), std::string::npos);
    EXPECT_FALSE(std::filesystem::exists(dir.path / "config.xml"));
}

TEST_F(ConsoleTest, TcpBadAddressIsReported) {
    ConsoleConfigXml s = Sections();
    s.tcp = R"(IP="10.0.0.300" Port="6688" FirstChar="1300" RevTimeOut="130")";
    CQuillmarkDlg& c = Start(s);
    Choose(CH_TCP);
    Press(IDC_TCP_CONNECT);
    ASSERT_TRUE(WaitUntil([&] { return !capture.boxes.empty(); }, 3000));
    EXPECT_EQ(capture.boxes[0].text, "建立连接不成功,错误的IP地址");
    EXPECT_EQ(capture.boxes[0].caption, "错误");
    EXPECT_EQ(Text(IDC_TCP_STATUS), "连接失败!");
    EXPECT_TRUE(On(IDC_TCP_CONNECT));
    EXPECT_FALSE(c.WorkerRuns());
}

// A connect that fails while the user has a box open shows its own box after
// that one, not over it.
TEST_F(ConsoleTest, ConnectFailureWaitsForTheOpenBox) {
    ConsoleConfigXml s = Sections();
    s.tcp = R"(IP="10.0.0.300" Port="6688" FirstChar="1300" RevTimeOut="130")";
    CQuillmarkDlg& c = Start(s);
    Choose(CH_TCP);
    std::vector<std::pair<std::string, int>> shown; // text, boxes open with it
    MessageBoxHook previous =
        SetMessageBoxHook([&](QWidget*, const QString& text, const QString&, int) {
            shown.emplace_back(text.toStdString(), OpenMessageBoxes());
            // The first box stays open until the failure has arrived.
            if (shown.size() == 1)
                WaitUntil([&] { return Text(IDC_TCP_STATUS) == "连接失败!"; }, 3000);
            return IDOK;
        });
    EXPECT_TRUE(c.ClickItem(IDC_TCP_CONNECT));
    EXPECT_TRUE(c.ClickItem(IDC_RECEIVE));
    Pump(100);
    SetMessageBoxHook(std::move(previous));
    ASSERT_EQ(shown.size(), 2u);
    EXPECT_EQ(shown[0], std::make_pair(std::string("尚未建立连接!!!"), 1));
    EXPECT_EQ(shown[1], std::make_pair(std::string("建立连接不成功,错误的IP地址"), 1));
}

// Both time out after the worker's 10 s; the two consoles wait side by side.
TEST_F(ConsoleTest, TcpRefusedAndSilentPeersTimeOut) {
    const int refusedPort = ClosedPort();
    TcpListener silent(0);
    ASSERT_TRUE(silent.FillBacklog()) << "a full listen queue does not hold connects back here";

    TempDir dirs[2];
    std::unique_ptr<CQuillmarkDlg> consoles[2];
    for (int i = 0; i < 2; ++i) {
        ConsoleConfigXml s = Sections();
        s.tcp = "IP=\"127.0.0.1\" Port=\"" + std::to_string(i == 0 ? refusedPort : silent.port) +
                "\" FirstChar=\"1300\" RevTimeOut=\"130\"";
        consoles[i] = ::StartConsole(dirs[i], s.Xml());
        consoles[i]->SetCurSel(IDC_CHANNEL, CH_TCP);
        consoles[i]->OnSelchangeChannel();
    }
    const auto t0 = Clock::now();
    for (auto& console : consoles) {
        EXPECT_TRUE(console->ClickItem(IDC_TCP_CONNECT));
        // A second press while the attempt runs is ignored.
        EXPECT_TRUE(console->ClickItem(IDC_TCP_CONNECT));
    }
    ASSERT_TRUE(WaitUntil([&] { return capture.boxes.size() >= 2; }, 15000));
    EXPECT_GE(MsSince(t0), 9900);
    Pump(200);
    ASSERT_EQ(capture.boxes.size(), 2u);
    for (auto& console : consoles) {
        EXPECT_EQ(console->GetItemText(IDC_TCP_STATUS), "连接失败!");
        EXPECT_TRUE(console->IsItemEnabled(IDC_TCP_CONNECT));
        EXPECT_FALSE(console->WorkerRuns());
    }
    for (const CapturedBox& box : capture.boxes) {
        EXPECT_EQ(box.text, "建立连接不成功,超时退出");
        EXPECT_EQ(box.caption, "错误");
    }
}

// Whatever ends a connect attempt (another channel, the settings, closing
// the console) ends it at once instead of freezing the console until the
// attempt's 10 s run out.
TEST_F(ConsoleTest, LeavingAConnectAttemptDoesNotWaitForIt) {
    ConsoleConfigXml s = Sections();
    s.tcp = "IP=\"127.0.0.1\" Port=\"" + std::to_string(ClosedPort()) +
            "\" FirstChar=\"1300\" RevTimeOut=\"130\"";
    ASSERT_TRUE(serial.Open() && modem.Open());
    s.ports = {{SERIAL_COM, serial.path}, {MODEM_COM, modem.path}};
    const std::pair<const char*, std::function<void()>> ways[] = {
        {"another channel", [&] { Choose(CH_UDP); }},
        {"settings",
         [&] {
             Answer("TCP通信参数设置", IDCANCEL);
             Press(IDC_TCP_SET);
         }},
        {"closing the console", [&] { dlg.reset(); }},
    };
    for (const auto& [name, leave] : ways) {
        SCOPED_TRACE(name);
        Start(s);
        Choose(CH_TCP);
        EXPECT_TRUE(dlg->ClickItem(IDC_TCP_CONNECT));
        ASSERT_TRUE(dlg->WorkerRuns());
        Pump(100);
        const auto t0 = Clock::now();
        leave();
        EXPECT_LT(MsSince(t0), 3000);
        if (dlg) {
            EXPECT_FALSE(dlg->WorkerRuns());
            EXPECT_FALSE(dlg->State().IsOpen(CH_TCP));
        }
        Pump(100);
        EXPECT_TRUE(capture.boxes.empty()) << capture.boxes[0].text.toStdString();
    }
}

TEST_F(ConsoleTest, UdpBindsOnTheAdapterOrSaysWhyNot) {
    struct Case {
        NetAdapterSource source;
        const char* message; // nullptr: bound
    } cases[] = {
        {LoopbackAdapter, nullptr},
        {NoAdapter, "系统中不存在网络连接,绑定失败!"},
        {NoEthernet, "GPRS连接不存在,绑定失败!"},
    };
    CQuillmarkDlg& c = Start();
    Choose(CH_UDP);
    for (const Case& k : cases) {
        SCOPED_TRACE(k.message ? k.message : "bound");
        capture.boxes.clear();
        NetSetAdapterSource(k.source);
        Press(IDC_UDP_BIND);
        if (!k.message) {
            ASSERT_TRUE(WaitUntil([&] { return c.State().IsOpen(CH_UDP); }, 3000));
            EXPECT_EQ(Text(IDC_UDP_STATUS), "已绑定!");
            EXPECT_FALSE(On(IDC_UDP_BIND));
            EXPECT_TRUE(On(IDC_UDP_CLOSE));
            EXPECT_TRUE(capture.boxes.empty());
            Press(IDC_UDP_CLOSE);
            EXPECT_EQ(Text(IDC_UDP_STATUS), "未绑定!");
            EXPECT_TRUE(On(IDC_UDP_BIND));
            EXPECT_FALSE(On(IDC_UDP_CLOSE));
            EXPECT_FALSE(c.WorkerRuns());
            continue;
        }
        ASSERT_TRUE(WaitUntil([&] { return !capture.boxes.empty(); }, 3000));
        EXPECT_EQ(capture.boxes[0].text, QString::fromUtf8(k.message));
        EXPECT_EQ(capture.boxes[0].caption, "错误");
        EXPECT_EQ(Text(IDC_UDP_STATUS), "绑定失败!");
        EXPECT_FALSE(c.State().IsOpen(CH_UDP));
        EXPECT_TRUE(On(IDC_UDP_BIND));
    }
}

TEST_F(ConsoleTest, ModemDialsAndConnectsWhenCarrierRises) {
    FakeModemLines lines(300);
    ComSetModemLines(&lines);
    CQuillmarkDlg& c = Start();
    Choose(CH_MODEM);
    const auto t0 = Clock::now();
    Press(IDC_OPEN_PORT); // returns when the dial result has ended the dialling dialog
    EXPECT_GE(MsSince(t0), 300);
    EXPECT_LT(MsSince(t0), 2000);
    EXPECT_TRUE(capture.boxes.empty());
    EXPECT_EQ(Text(IDC_COM_STATUS), "已连线!");
    EXPECT_TRUE(c.State().IsOpen(CH_SERIAL));
    EXPECT_FALSE(On(IDC_OPEN_PORT));
    EXPECT_TRUE(On(IDC_CLOSE_PORT));
    EXPECT_EQ(FindWindowByCaption("正在拨号..."), nullptr);
    const std::vector<uint8_t> command = modem.Read(11);
    EXPECT_EQ(std::string(command.begin(), command.end()), "ATDT012345\n");

    Press(IDC_CLOSE_PORT);
    EXPECT_EQ(Text(IDC_COM_STATUS), "已挂断!");
    EXPECT_FALSE(c.State().IsOpen(CH_SERIAL));
    EXPECT_TRUE(On(IDC_OPEN_PORT));
    EXPECT_FALSE(On(IDC_CLOSE_PORT));
    EXPECT_TRUE(PortFree(modem.path));
}

TEST_F(ConsoleTest, SilentModemFailsAfterTenSeconds) {
    FakeModemLines lines(-1);
    ComSetModemLines(&lines);
    CQuillmarkDlg& c = Start();
    Choose(CH_MODEM);
    const auto t0 = Clock::now();
    Press(IDC_OPEN_PORT);
    EXPECT_GE(MsSince(t0), 9900);
    ASSERT_EQ(capture.boxes.size(), 1u);
    EXPECT_EQ(capture.boxes[0].text, "拨号失败,终端无反应!");
    EXPECT_EQ(capture.boxes[0].caption, "错误");
    EXPECT_EQ(Text(IDC_COM_STATUS), "拨号失败!");
    EXPECT_FALSE(c.State().IsOpen(CH_SERIAL));
    EXPECT_TRUE(On(IDC_OPEN_PORT));
    EXPECT_FALSE(c.WorkerRuns());
    EXPECT_TRUE(WaitUntil([&] { return PortFree(modem.path); }, 2000));
}

TEST_F(ConsoleTest, CancelledDialClosesThePortAndNoResultArrives) {
    FakeModemLines lines(1000);
    ComSetModemLines(&lines);
    CQuillmarkDlg& c = Start();
    Choose(CH_MODEM);
    bool stayedOnClose = false;
    QTimer::singleShot(200, [&] {
        CDialogBase* dialing = FindWindowByCaption("正在拨号...");
        ASSERT_NE(dialing, nullptr);
        EXPECT_EQ(dialing->GetItemText(IDC_DIALING_TEXT), "正在拨号......");
        dialing->close(); // the title-bar close does nothing
        stayedOnClose = dialing->isVisible();
        dialing->ClickItem(IDCANCEL);
    });
    const auto t0 = Clock::now();
    Press(IDC_OPEN_PORT);
    // Cancel does not wait for the carrier wait to run out.
    EXPECT_LT(MsSince(t0), 600);
    EXPECT_TRUE(stayedOnClose);
    EXPECT_EQ(Text(IDC_COM_STATUS), "未连线");
    EXPECT_FALSE(c.State().IsOpen(CH_SERIAL));
    EXPECT_TRUE(On(IDC_OPEN_PORT));
    EXPECT_FALSE(On(IDC_CLOSE_PORT));
    EXPECT_FALSE(c.WorkerRuns());
    EXPECT_TRUE(PortFree(modem.path));
    // The carrier rises meanwhile: nothing of the abandoned dial shows.
    Pump(static_cast<int>(1300 - MsSince(t0)));
    EXPECT_TRUE(capture.boxes.empty());
    EXPECT_EQ(Text(IDC_COM_STATUS), "未连线");
    EXPECT_FALSE(c.State().IsOpen(CH_SERIAL));
}

TEST_F(ConsoleTest, CloseAllAfterEachChannel) {
    TcpListener listener;
    FakeModemLines lines(100);
    for (int channel : {CH_SERIAL, CH_MODEM, CH_TCP, CH_UDP}) {
        SCOPED_TRACE(channel);
        ComSetModemLines(channel == CH_MODEM ? &lines : nullptr);
        NetSetAdapterSource(LoopbackAdapter);
        ConsoleConfigXml s = Sections();
        s.tcp = "IP=\"127.0.0.1\" Port=\"" + std::to_string(listener.port) +
                "\" FirstChar=\"1300\" RevTimeOut=\"130\"";
        serial.Close();
        modem.Close();
        CQuillmarkDlg& c = Start(s);
        Choose(channel);
        const int open[] = {IDC_OPEN_PORT, IDC_OPEN_PORT, IDC_TCP_CONNECT, IDC_UDP_BIND};
        Press(open[channel]);
        ASSERT_TRUE(WaitUntil(
            [&] {
                return c.State().IsOpen(CH_SERIAL) || c.State().IsOpen(CH_TCP) ||
                       c.State().IsOpen(CH_UDP);
            },
            3000));
        const int peer = channel == CH_TCP ? listener.Accept(1000) : -1;

        c.OnCloseAll();
        EXPECT_EQ(Text(IDC_UDP_STATUS), "未绑定!");
        EXPECT_EQ(Text(IDC_COM_STATUS), channel == CH_MODEM ? "已挂断!" : "已关闭!");
        EXPECT_EQ(Text(IDC_TCP_STATUS), "未连接!");
        for (int id : {IDC_UDP_BIND, IDC_OPEN_PORT, IDC_TCP_CONNECT})
            EXPECT_TRUE(On(id)) << id;
        for (int id : {IDC_UDP_CLOSE, IDC_CLOSE_PORT, IDC_TCP_DISCONNECT})
            EXPECT_FALSE(On(id)) << id;
        EXPECT_FALSE(c.WorkerRuns());
        EXPECT_TRUE(PortFree(serial.path));
        EXPECT_TRUE(PortFree(modem.path));
        if (peer >= 0) {
            EXPECT_TRUE(PeerCloses(peer, 2000));
            close(peer);
        }
        dlg.reset();
        ComSetModemLines(nullptr);
    }
    EXPECT_TRUE(capture.boxes.empty());
}

TEST_F(ConsoleTest, EveryCloseStopsTimedSending) {
    ConsoleConfigXml s = Sections();
    s.com = R"(PortNo="200" BaudRate="19200" FirstChar="1000" RevTimeOut="110")";
    CQuillmarkDlg& c = Start(s);
    for (auto close : {&CQuillmarkDlg::OnUdpClose, &CQuillmarkDlg::OnClosePort,
                       &CQuillmarkDlg::OnTcpDisconnect}) {
        c.OnOpenPort();
        ASSERT_TRUE(c.State().IsOpen(CH_SERIAL));
        c.SetItemText(IDC_PROTOCOL_PERIOD, "10000");
        c.SetItemText(IDC_DIRECT_PERIOD, "10000");
        ASSERT_TRUE(c.ClickItem(IDC_PROTOCOL_TIMED));
        ASSERT_TRUE(c.ClickItem(IDC_DIRECT_TIMED));
        ASSERT_TRUE(c.HasTimer(TIMER_PROTOCOL_SEND) && c.HasTimer(TIMER_DIRECT_SEND));
        (c.*close)();
        EXPECT_FALSE(c.HasTimer(TIMER_PROTOCOL_SEND));
        EXPECT_FALSE(c.HasTimer(TIMER_DIRECT_SEND));
        EXPECT_FALSE(c.IsItemChecked(IDC_PROTOCOL_TIMED));
        EXPECT_FALSE(c.IsItemChecked(IDC_DIRECT_TIMED));
        EXPECT_FALSE(c.State().RowOn(ROW_PROTOCOL));
        EXPECT_FALSE(c.State().RowOn(ROW_DIRECT));
    }
}

TEST_F(ConsoleTest, ClosingTheConsoleStopsTheWorker) {
    TcpListener listener;
    ConsoleConfigXml s = Sections();
    s.tcp = "IP=\"127.0.0.1\" Port=\"" + std::to_string(listener.port) +
            "\" FirstChar=\"1300\" RevTimeOut=\"130\"";
    CQuillmarkDlg& c = Start(s);
    Choose(CH_TCP);
    Press(IDC_TCP_CONNECT);
    ASSERT_TRUE(WaitUntil([&] { return c.State().IsOpen(CH_TCP); }, 3000));
    const int peer = listener.Accept(1000);
    ASSERT_GE(peer, 0);
    EXPECT_TRUE(c.ClickItem(IDOK));
    EXPECT_FALSE(c.isVisible());
    dlg.reset();
    EXPECT_TRUE(PeerCloses(peer, 100));
    close(peer);
}

TEST_F(ConsoleTest, ConfigThatIsNoFileGetsTheMissingMessageWithoutBlocking) {
    for (const char* kind : {"fifo", "folder"}) {
        SCOPED_TRACE(kind);
        TempDir d;
        const std::string path = (d.path / "config.xml").string();
        if (std::string(kind) == "fifo")
            ASSERT_EQ(mkfifo(path.c_str(), 0644), 0);
        else
            ASSERT_EQ(mkdir(path.c_str(), 0755), 0);
        // Should the start-up open the FIFO, this writer lets it go on, so
        // that the fault fails the test instead of hanging it.
        std::atomic<bool> done{false};
        std::atomic<bool> opened{false};
        std::thread writer([&] {
            while (!done) {
                const int fd = open(path.c_str(), O_WRONLY | O_NONBLOCK);
                if (fd >= 0) {
                    opened = true;
                    close(fd);
                }
                std::this_thread::sleep_for(std::chrono::milliseconds(20));
            }
        });
        MessageCapture boxes;
        CQuillmarkApp app;
        EXPECT_EQ(app.InitInstance(path), 1);
        done = true;
        writer.join();
        EXPECT_FALSE(opened);
        ASSERT_EQ(boxes.boxes.size(), 1u);
        EXPECT_EQ(boxes.boxes[0].text, QString::fromUtf8("程序配置文件config.xml丢失,退出!"));
    }
}

TEST_F(ConsoleTest, SerialDeviceThatVanishesStillCloses) {
    CQuillmarkDlg& c = Start();
    Press(IDC_OPEN_PORT);
    ASSERT_TRUE(c.State().IsOpen(CH_SERIAL));
    ASSERT_TRUE(c.WorkerRuns());
    serial.CloseMaster();
    Pump(50);
    const auto t0 = Clock::now();
    Press(IDC_CLOSE_PORT);
    EXPECT_LT(std::chrono::duration_cast<std::chrono::milliseconds>(Clock::now() - t0).count(),
              2000);
    EXPECT_EQ(Text(IDC_COM_STATUS), "已关闭!");
    EXPECT_FALSE(c.State().IsOpen(CH_SERIAL));
    EXPECT_FALSE(c.WorkerRuns());
    EXPECT_TRUE(capture.boxes.empty());
}

// The adapter is pulled while the console waits for a reply: the wait ends
// with the receive error inside its time-out, and the next send fails.
TEST_F(ConsoleTest, SerialDeviceThatVanishesMidExchange) {
    CQuillmarkDlg& c = Start();
    Press(IDC_OPEN_PORT);
    ASSERT_TRUE(c.State().IsOpen(CH_SERIAL));
    dlg->SetItemText(IDC_COMMAND, "E4");
    dlg->SetItemText(IDC_PROTOCOL_DATA, "");
    dlg->SetItemText(IDC_FIRST_CHAR, "5000");
    ASSERT_TRUE(dlg->ClickItem(IDC_PROTOCOL_SEND));
    EXPECT_EQ(serial.Read(8, 3000).size(), 8u) << "the request";
    const auto t0 = Clock::now();
    serial.CloseMaster();
    ASSERT_TRUE(WaitUntil([&] { return !c.JobPending(); }, 5000));
    EXPECT_LT(std::chrono::duration_cast<std::chrono::milliseconds>(Clock::now() - t0).count(),
              4000);
    EXPECT_EQ(Text(IDC_RECV_STATUS), "接收数据错!");
    EXPECT_TRUE(capture.boxes.empty());

    ASSERT_TRUE(dlg->ClickItem(IDC_PROTOCOL_SEND));
    ASSERT_TRUE(WaitUntil([&] { return !capture.boxes.empty(); }, 3000));
    EXPECT_EQ(capture.boxes[0].text, "发送数据失败!");
    EXPECT_EQ(capture.boxes[0].caption, "失败");
    Press(IDC_CLOSE_PORT);
    EXPECT_FALSE(c.State().IsOpen(CH_SERIAL));
    EXPECT_FALSE(c.WorkerRuns());
}

} // namespace
