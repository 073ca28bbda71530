// Random but reproducible input to the real console against the simulator on
// TCP, until the time is up:
//   monkey SECONDS [SEED]
// The console runs in a child process, so that a crash or a sanitizer report
// still leaves a parent to print the seed and the last 50 actions. The child
// fails on no event processed for 5 s, two message boxes open at once, or
// config.xml changed other than by a settings dialog's OK. Every action goes
// to monkey-actions.log in the working folder.
#include <QAbstractButton>
#include <QApplication>
#include <QClipboard>
#include <QComboBox>
#include <QContextMenuEvent>
#include <QFile>
#include <QKeyEvent>
#include <QLineEdit>
#include <QMenu>
#include <QMessageBox>
#include <QMimeData>
#include <QMouseEvent>
#include <QPlainTextEdit>
#include <QTimer>
#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <deque>
#include <fstream>
#include <memory>
#include <random>
#include <string>
#include <thread>
#include <vector>

#include <fcntl.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include "TempDir.h"
#include "app/MessageBox.h"
#include "app/QuillmarkApp.h"
#include "app/QuillmarkDlg.h"
#include "app/Resource.h"
#include "app/SettingsDlgBase.h"
#include "app/Toolkit.h"
#include "comm/SerialPort.h"
#include "sim/ConsoleConfigXml.h"
#include "sim/SimProcess.h"

namespace {

using Clock = std::chrono::steady_clock;

constexpr int HANG_MS = 5000;
constexpr int TICK_MS = 2;
// The console's serial and modem port, bound to the simulator's line.
constexpr int COM = 200;

long long NowMs() {
    return std::chrono::duration_cast<std::chrono::milliseconds>(Clock::now().time_since_epoch())
        .count();
}

// Everything the child does, one line per action, written at once so that
// the parent reads it after a crash.
int g_logFd = -1;
long g_actions = 0;
void Log(const std::string& line) {
    ++g_actions;
    const std::string text = line + "\n";
    if (write(g_logFd, text.data(), text.size()) < 0)
        std::perror("monkey log");
}

[[noreturn]] void Fail(const std::string& why) {
    Log("FAIL " + why);
    _exit(2);
}

class Monkey {
  public:
    Monkey(unsigned seed, int seconds, const std::filesystem::path& dir)
        : m_rng(seed), m_dir(dir), m_config(dir / "config.xml"),
          m_end(Clock::now() + std::chrono::seconds(seconds)) {
        StartSim(0, 0);
        std::ofstream(m_dir / "app.bin", std::ios::binary) << std::string(3000, '\x5a');
        SetFileDialogHook([this](QString& path) {
            path = QString::fromStdString((m_dir / "app.bin").string());
            return Pick(4) == 0 ? IDCANCEL : IDOK;
        });
    }

    // Runs the console again and again until the time is up.
    int Run() {
        m_beat = NowMs();
        std::thread watchdog([this] { Watch(); });
        QTimer::singleShot(TICK_MS, [this] { Tick(); });
        int restarts = -1;
        while (!m_done) {
            ++restarts;
            // Settings the last console saved may name no simulator: each
            // console starts on the simulator's.
            WriteConfig();
            Log("start console");
            CQuillmarkApp app;
            if (app.InitInstance(m_config.string()) != 0)
                Fail("the console did not start on its config.xml");
        }
        // What follows (the simulator's end, the leak check at exit) is no
        // event loop's to measure.
        m_stopWatch = true;
        watchdog.join();
        Log("done: " + std::to_string(g_actions) + " actions, " + std::to_string(restarts) +
            " console restarts, " + std::to_string(m_simRestarts) + " simulator restarts");
        return 0;
    }

  private:
    int Pick(int n) { return std::uniform_int_distribution<int>(0, n - 1)(m_rng); }
    template <class T> T* PickOf(const std::vector<T*>& v) {
        return v.empty() ? nullptr : v[Pick(v.size())];
    }

    // A restart keeps the ports of config.xml; the serial line is a new
    // pseudo-terminal, bound to the console's COM number here rather than in
    // config.xml, which must not change.
    void StartSim(int tcpPort, int udpPort) {
        m_paused = true;
        m_sim.reset();
        const std::filesystem::path simDir = m_dir / "sim";
        std::filesystem::create_directories(simDir);
        std::filesystem::remove(simDir / "ports");
        m_sim = std::make_unique<SimProcess>(
            std::vector<std::string>{"--pty", "--tcp", "127.0.0.1:" + std::to_string(tcpPort),
                                     "--udp", "127.0.0.1:" + std::to_string(udpPort)},
            simDir);
        m_tcpPort = m_sim->Port("tcp");
        m_udpPort = m_sim->Port("udp");
        if (m_tcpPort <= 0 || m_udpPort <= 0)
            Fail("the simulator did not start");
        ComBindDevice(COM, m_sim->Line("pty").c_str());
        m_beat = NowMs();
        m_paused = false;
    }

    void WriteConfig() {
        const auto section = [](const std::string& head) {
            return head + " FirstChar=\"300\" RevTimeOut=\"100\"";
        };
        const std::string serial =
            section("PortNo=\"" + std::to_string(COM) + "\" BaudRate=\"19200\"");
        ConsoleConfigXml config;
        config.com = serial;
        config.modem = serial + " AddedNo=\"\" CalledNo=\"123\"";
        config.tcp = section("IP=\"127.0.0.1\" Port=\"" + std::to_string(m_tcpPort) + "\"");
        config.udp = section("IP=\"127.0.0.1\" Port=\"" + std::to_string(m_udpPort) + "\"");
        std::ofstream(m_config) << config.Xml();
        m_configText = ReadFile(m_config);
    }

    void Watch() {
        while (!m_stopWatch) {
            std::this_thread::sleep_for(std::chrono::milliseconds(200));
            if (!m_paused && NowMs() - m_beat > HANG_MS) {
                DumpStacks();
                Fail("no event processed for 5 s (threads' stacks in monkey-stacks.log, "
                     "where gdb is installed)");
            }
        }
    }

    // Where every thread stands, to see what a stall waits for.
    static void DumpStacks() {
        if (access("/usr/bin/gdb", X_OK) != 0)
            return;
        const std::string command = "gdb -batch -nx -p " + std::to_string(getpid()) +
                                    " -ex 'thread apply all bt 40' > monkey-stacks.log 2>&1";
        if (std::system(command.c_str()) != 0)
            Log("gdb could not take the stacks");
    }

    void Tick() {
        m_beat = NowMs();
        // Scheduled first: an action that opens a modal window runs the next
        // tick inside that window's event loop.
        QTimer::singleShot(TICK_MS, [this] { Tick(); });
        if (OpenMessageBoxes() > 1)
            Fail(std::to_string(OpenMessageBoxes()) + " message boxes open at once");
        CheckConfig();
        if (Clock::now() >= m_end)
            m_done = true;
        if (QWidget* popup = QApplication::activePopupWidget()) {
            UsePopup(popup);
            return;
        }
        QWidget* top = QApplication::activeModalWidget();
        if (!top)
            return;
        if (m_done) {
            Log("close " + Name(top));
            if (auto* dialog = qobject_cast<QDialog*>(top))
                dialog->reject();
            else
                top->close();
            return;
        }
        if (auto* box = qobject_cast<QMessageBox*>(top)) {
            if (Pick(3) == 0) {
                Log("answer message box: " + box->text().toStdString());
                box->accept();
                return;
            }
        }
        Act(top);
    }

    // config.xml changes only by a settings dialog's OK, which saves the file
    // and then ends the dialog, both before the next tick.
    void CheckConfig() {
        for (QWidget* w : QApplication::topLevelWidgets()) {
            auto* settings = dynamic_cast<CSettingsDlgBase*>(w);
            if (!settings || settings->property("monkeyWatched").toBool())
                continue;
            settings->setProperty("monkeyWatched", true);
            QObject::connect(settings, &QDialog::finished, [this](int result) {
                if (result == IDOK)
                    m_settingsConfirmed = true;
            });
        }
        const std::string now = ReadFile(m_config);
        if (now != m_configText && !m_settingsConfirmed)
            Fail("config.xml changed other than by a settings dialog's OK");
        m_configText = now;
        m_settingsConfirmed = false;
    }

    static std::string Name(QWidget* w) {
        std::string name = w->metaObject()->className();
        if (!w->objectName().isEmpty())
            name += " " + w->objectName().toStdString();
        if (auto* button = qobject_cast<QAbstractButton*>(w))
            name += " \"" + button->text().toStdString() + "\"";
        if (w->isWindow())
            name += " [" + w->windowTitle().toStdString() + "]";
        return name;
    }

    // The enabled, visible widgets of window top, not those of windows over it.
    template <class T> std::vector<T*> Controls(QWidget* top) {
        std::vector<T*> out;
        for (T* w : top->findChildren<T*>())
            if (w->window() == top && w->isVisible() && w->isEnabled())
                out.push_back(w);
        return out;
    }

    void Act(QWidget* top) {
        auto* console = dynamic_cast<CQuillmarkDlg*>(top);
        switch (Pick(console ? 12 : 9)) {
        case 0:
        case 1:
        case 2:
            if (QAbstractButton* b = PickOf(Controls<QAbstractButton>(top))) {
                // Mostly spared, so that a console lives long enough to get
                // somewhere; Escape and Return end it too.
                if (console && console->GetDlgItem(IDOK) == b && Pick(8) != 0)
                    break;
                Log("click " + Name(b));
                b->click();
            }
            break;
        case 3:
            if (QComboBox* c = PickOf(Controls<QComboBox>(top)); c && c->count() > 0) {
                const int i = Pick(c->count());
                Log("choose " + std::to_string(i) + " in " + Name(c));
                c->setCurrentIndex(i);
                emit c->activated(i);
            }
            break;
        case 4:
        case 5:
            Keys(top);
            break;
        case 6:
            Paste(top);
            break;
        case 7:
            if (QWidget* w = PickOf(TextWidgets(top))) {
                Log("context menu on " + Name(w));
                QWidget* target = w;
                if (auto* plain = qobject_cast<QPlainTextEdit*>(w))
                    target = plain->viewport();
                QContextMenuEvent event(QContextMenuEvent::Mouse, QPoint(4, 4),
                                        target->mapToGlobal(QPoint(4, 4)));
                QApplication::sendEvent(target, &event);
            }
            break;
        case 8:
            if (qobject_cast<QMessageBox*>(top)) {
                Log("Return on message box");
                Key(top, Qt::Key_Return);
            } else if (!console || Pick(64) == 0) {
                Log("Escape on " + Name(top));
                Key(top, Qt::Key_Escape);
            }
            break;
        case 9:
            Timed(*console);
            break;
        case 10:
            // A restart costs the simulator's start: one in a few hundred
            // actions.
            if (Pick(32) != 0) {
                Log("About box");
                console->OnSysCommand(IDM_ABOUTBOX);
            } else {
                Log("restart the simulator");
                ++m_simRestarts;
                StartSim(m_tcpPort, m_udpPort);
            }
            break;
        case 11:
            OpenDialog(*console);
            break;
        }
    }

    void Choose(CQuillmarkDlg& console, int channel) {
        if (auto* c = console.GetDlgItemAs<QComboBox>(IDC_CHANNEL)) {
            c->setCurrentIndex(channel);
            emit c->activated(channel);
        }
    }

    // The console's ways into its dialogs and its connection, more often than
    // random clicks would find them.
    void OpenDialog(CQuillmarkDlg& console) {
        switch (Pick(7)) {
        case 0:
            Log("choose TCP and connect");
            Choose(console, CH_TCP);
            console.ClickItem(IDC_TCP_CONNECT);
            break;
        case 1: {
            static const int setButtons[] = {IDC_COM_SET, IDC_COM_SET, IDC_TCP_SET, IDC_UDP_SET};
            const int channel = Pick(4);
            Log("settings of channel " + std::to_string(channel));
            Choose(console, channel);
            console.ClickItem(setButtons[channel]);
            break;
        }
        case 2:
            Log("choose the modem and dial");
            Choose(console, CH_MODEM);
            console.ClickItem(IDC_OPEN_PORT);
            break;
        case 3:
            Log("choose the download file");
            console.ClickItem(IDC_CHOOSE_FILE);
            break;
        case 4:
            Log("download to machine 1");
            console.SetItemText(IDC_LOAD_MACHINE_NO, "1");
            console.ClickItem(IDC_DOWNLOAD);
            break;
        case 5:
            Log("assist dialog");
            console.ClickItem(IDC_ASSIST);
            break;
        default:
            Log("public functions dialog");
            console.ClickItem(IDC_PUBFUNS);
            break;
        }
    }

    std::vector<QWidget*> TextWidgets(QWidget* top) {
        std::vector<QWidget*> out;
        for (QLineEdit* e : Controls<QLineEdit>(top))
            out.push_back(e);
        for (QPlainTextEdit* e : Controls<QPlainTextEdit>(top))
            out.push_back(e);
        return out;
    }

    static void Key(QWidget* to, int key, Qt::KeyboardModifiers mods = Qt::NoModifier,
                    const QString& text = {}) {
        QKeyEvent press(QEvent::KeyPress, key, mods, text);
        QApplication::sendEvent(to, &press);
        QKeyEvent release(QEvent::KeyRelease, key, mods, text);
        QApplication::sendEvent(to, &release);
    }

    void Keys(QWidget* top) {
        std::vector<QWidget*> targets = TextWidgets(top);
        for (QAbstractButton* b : Controls<QAbstractButton>(top))
            targets.push_back(b);
        QWidget* w = PickOf(targets);
        if (!w)
            return;
        w->setFocus();
        // Chosen and logged before any is sent: a key may open a window whose
        // own actions come next in the log.
        struct Press {
            int key;
            Qt::KeyboardModifiers mods;
            QString text;
        };
        static const char* const hex = "0123456789abcdefABCDEF";
        static const char* const other = "ghxyzGHXYZ .,;-";
        // Escape last: the console's own Escape is rarer (Act), so that a
        // console lives long enough to get somewhere.
        static const std::pair<int, const char*> named[] = {
            {Qt::Key_Tab, "<Tab>"},       {Qt::Key_Backtab, "<Shift+Tab>"},
            {Qt::Key_Delete, "<Delete>"}, {Qt::Key_Backspace, "<BackSpace>"},
            {Qt::Key_Return, "<Return>"}, {Qt::Key_Left, "<Left>"},
            {Qt::Key_Right, "<Right>"},   {Qt::Key_Up, "<Up>"},
            {Qt::Key_Down, "<Down>"},     {Qt::Key_Escape, "<Escape>"}};
        const int nNamed =
            static_cast<int>(std::size(named)) - (dynamic_cast<CQuillmarkDlg*>(top) ? 1 : 0);
        static const char ctrl[] = "ACXVZ";
        std::vector<Press> presses;
        std::string typed;
        for (int n = 1 + Pick(6); n > 0; --n) {
            const int kind = Pick(8);
            if (kind <= 3) {
                const char c = kind < 3 ? hex[Pick(22)] : other[Pick(15)];
                typed += c;
                const QString text(QChar::fromLatin1(c));
                presses.push_back({QKeySequence(text.toUpper())[0].key(), Qt::NoModifier, text});
            } else if (kind == 4) {
                const auto& [key, name] = named[Pick(nNamed)];
                typed += name;
                presses.push_back(
                    {key, key == Qt::Key_Backtab ? Qt::ShiftModifier : Qt::NoModifier, {}});
            } else {
                const char c = ctrl[Pick(5)];
                typed += std::string("<Ctrl+") + c + ">";
                presses.push_back({Qt::Key_A + (c - 'A'), Qt::ControlModifier, {}});
            }
        }
        Log("keys " + typed + " to " + Name(w));
        for (const Press& p : presses) {
            Key(w, p.key, p.mods, p.text);
            if (QApplication::activeModalWidget() != top)
                break;
        }
    }

    void SetClipboard() {
        QClipboard* clipboard = QGuiApplication::clipboard();
        switch (Pick(5)) {
        case 0:
            Log("clipboard cleared");
            clipboard->clear();
            break;
        case 1:
            Log("clipboard empty data");
            clipboard->setMimeData(new QMimeData);
            break;
        case 2:
            Log("clipboard hex");
            clipboard->setText("00 A4 04 00 08 A0000003330101");
            break;
        case 3:
            Log("clipboard Chinese");
            clipboard->setText(QString::fromUtf8("请输入十六进制字符\n第二行"));
            break;
        default:
            Log("clipboard 10000 characters");
            clipboard->setText(QString(10000, QChar('7')));
            break;
        }
    }

    void Paste(QWidget* top) {
        QWidget* w = PickOf(TextWidgets(top));
        if (!w)
            return;
        SetClipboard();
        w->setFocus();
        if (auto* plain = qobject_cast<QPlainTextEdit*>(w); plain && Pick(3) == 0) {
            Log("middle-click " + Name(w));
            for (QEvent::Type type : {QEvent::MouseButtonPress, QEvent::MouseButtonRelease}) {
                QMouseEvent click(type, QPointF(4, 4),
                                  plain->viewport()->mapToGlobal(QPointF(4, 4)), Qt::MiddleButton,
                                  type == QEvent::MouseButtonPress ? Qt::MiddleButton
                                                                   : Qt::NoButton,
                                  Qt::NoModifier);
                QApplication::sendEvent(plain->viewport(), &click);
            }
            return;
        }
        Log("Ctrl+V into " + Name(w));
        Key(w, Qt::Key_V, Qt::ControlModifier);
    }

    void UsePopup(QWidget* popup) {
        auto* menu = qobject_cast<QMenu*>(popup);
        std::vector<QAction*> actions;
        if (menu)
            for (QAction* a : menu->actions())
                if (a->isEnabled() && !a->isSeparator())
                    actions.push_back(a);
        if (QAction* a = PickOf(actions); a && Pick(2) == 0) {
            if (a->text().contains("Paste") || a->text().contains(QString::fromUtf8("粘贴")))
                SetClipboard();
            Log("menu " + a->text().toStdString());
            popup->close();
            a->trigger();
            return;
        }
        Log("close popup");
        popup->close();
    }

    void Timed(CQuillmarkDlg& console) {
        const bool protocol = Pick(2) == 0;
        console.SetItemText(protocol ? IDC_PROTOCOL_PERIOD : IDC_DIRECT_PERIOD, "1");
        if (protocol)
            console.SetItemText(IDC_PROTOCOL_DATA, "00A40400");
        else
            console.SetItemText(IDC_DIRECT_DATA, "0102");
        Log(std::string("timed ") + (protocol ? "protocol" : "direct") + " send at 1 ms");
        console.ClickItem(protocol ? IDC_PROTOCOL_TIMED : IDC_DIRECT_TIMED);
    }

    std::mt19937 m_rng;
    std::filesystem::path m_dir;
    std::filesystem::path m_config;
    std::string m_configText;
    Clock::time_point m_end;
    std::unique_ptr<SimProcess> m_sim;
    int m_tcpPort = 0;
    int m_udpPort = 0;
    std::atomic<long long> m_beat{0};
    std::atomic<bool> m_paused{false};
    std::atomic<bool> m_stopWatch{false};
    bool m_done = false;
    bool m_settingsConfirmed = false;
    int m_simRestarts = 0;
};

void DropQtMessages(QtMsgType type, const QMessageLogContext&, const QString& msg) {
    if (type == QtFatalMsg) {
        Log("FAIL Qt: " + msg.toStdString());
        std::abort();
    }
}

int Child(int seconds, unsigned seed, const std::filesystem::path& dir) {
    qputenv("QT_QPA_PLATFORM", "offscreen");
    int argc = 1;
    char name[] = "monkey";
    char* argv[] = {name, nullptr};
    QApplication app(argc, argv);
    InitToolkit();
    qInstallMessageHandler(DropQtMessages);
    Monkey monkey(seed, seconds, dir);
    return monkey.Run();
}

} // namespace

int main(int argc, char** argv) {
    if (argc < 2) {
        std::fprintf(stderr, "usage: monkey SECONDS [SEED]\n");
        return 2;
    }
    const int seconds = std::atoi(argv[1]);
    const unsigned seed = argc > 2 ? static_cast<unsigned>(std::strtoul(argv[2], nullptr, 10))
                                   : std::random_device{}();
    std::printf("monkey: seed %u, %d s\n", seed, seconds);
    std::fflush(stdout);
    TempDir dir;
    // Kept after the run, in the working folder, for a look at what was done.
    const std::filesystem::path logPath = "monkey-actions.log";
    g_logFd = open(logPath.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_APPEND | O_CLOEXEC, 0644);
    if (g_logFd < 0) {
        std::perror("monkey log");
        return 2;
    }
    const pid_t pid = fork();
    if (pid == 0) {
        // Its own group, so that the simulator of a child that died goes too.
        setpgid(0, 0);
        // exit, not _exit: the leak check runs at exit.
        std::exit(Child(seconds, seed, dir.path));
    }
    int status = 0;
    waitpid(pid, &status, 0);
    kill(-pid, SIGKILL);

    std::deque<std::string> last;
    std::ifstream log(logPath);
    long actions = 0;
    std::string summary;
    for (std::string line; std::getline(log, line);) {
        if (line.rfind("done:", 0) == 0) {
            summary = line;
            continue;
        }
        ++actions;
        last.push_back(line);
        if (last.size() > 50)
            last.pop_front();
    }
    const bool clean = WIFEXITED(status) && WEXITSTATUS(status) == 0 && !summary.empty();
    if (clean) {
        std::printf("monkey: seed %u %s\n", seed, summary.c_str());
        return 0;
    }
    std::printf("monkey FAILED: seed %u, ", seed);
    if (WIFSIGNALED(status))
        std::printf("killed by signal %d", WTERMSIG(status));
    else
        std::printf("exit status %d", WEXITSTATUS(status));
    std::printf(" after %ld log lines; the last %zu:\n", actions, last.size());
    for (const std::string& line : last)
        std::printf("  %s\n", line.c_str());
    std::printf("replay: monkey %d %u\n", seconds, seed);
    return 1;
}
