// Figures of the console itself, on the offscreen platform: appending a raw
// dump to a full receive window against re-setting its whole text, and
// timed protocol sending at 1 ms against back-to-back sending through the
// same console code, on loopback TCP to the terminal simulator. Prints the
// figures; the goals are reported, not asserted. An argument "append" or
// "sending" runs that part alone (to profile it).

#include <QApplication>
#include <QComboBox>
#include <QEventLoop>
#include <QTimer>
#include <time.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <string>
#include <vector>

#include "app/MessageBox.h"
#include "app/Toolkit.h"
#include "bench/BenchConsole.h"
#include "cli/ReplyStats.h"
#include "comm/SerialPort.h"
#include "protocol/DisplayText.h"
#include "sim/SimLauncher.h"

namespace {

using Clock = std::chrono::steady_clock;

constexpr int APPEND_SAMPLES = 200;
constexpr int WINDOW_LINES = 500;
constexpr int DUMP_BYTES = 512;
constexpr double APPEND_GOAL = 0.25;
constexpr int RUN_MS = 10000;
constexpr int DELAYED_RUN_MS = 5000;
constexpr int DELAY_MS = 5;
// Timed sending through the console against the baseline's rate.
constexpr double TIMED_GOAL = 0.9;
constexpr double CYCLE_GOAL_MS = 0.5;

// Microseconds of this thread's processor time: waiting for the frame's end
// is not counted, the work done then is.
double CpuUs() {
    timespec ts{};
    clock_gettime(CLOCK_THREAD_CPUTIME_ID, &ts);
    return ts.tv_sec * 1e6 + ts.tv_nsec / 1e3;
}

// Runs events until the window's deferred text is in and painted.
void WaitPainted(CDialogBase& dlg) {
    while (dlg.PaintPending())
        QCoreApplication::processEvents(QEventLoop::WaitForMoreEvents);
    QCoreApplication::processEvents();
}

void BenchAppend() {
    CQuillmarkDlg console;
    if (!console.Create()) {
        std::printf("append: the console did not start (config.xml beside the program?)\n");
        return;
    }
    uint8_t dump[DUMP_BYTES];
    for (int i = 0; i < DUMP_BYTES; ++i)
        dump[i] = static_cast<uint8_t>(i * 7);
    QString full;
    for (int i = 0; i < WINDOW_LINES - 1; ++i)
        full += QStringLiteral("00 01 02 03 04 05 06 07 08 09 0A 0B 0C 0D 0E 0F    %1\n")
                    .arg(i * 16 + 15, 4, 16, QChar('0'))
                    .toUpper();

    // Each side timed twice: the call alone, and the call with the paint
    // that shows it, which waits for the end of the frame the paint before
    // opened.
    std::vector<double> append, appendPaint, reset, resetPaint;
    for (int i = 0; i < APPEND_SAMPLES; ++i) {
        console.SetItemText(IDC_RECV, full);
        WaitPainted(console);
        double t0 = CpuUs();
        console.AppendItemText(IDC_RECV, QString::fromStdString(FormatRecvRaw(
                                             dump, DUMP_BYTES, console.GetLineCount(IDC_RECV))));
        double t1 = CpuUs();
        WaitPainted(console);
        append.push_back(t1 - t0);
        appendPaint.push_back(CpuUs() - t0);

        const QString result = console.GetItemText(IDC_RECV);
        console.SetItemText(IDC_RECV, full);
        WaitPainted(console);
        t0 = CpuUs();
        console.SetItemText(IDC_RECV, result);
        t1 = CpuUs();
        WaitPainted(console);
        reset.push_back(t1 - t0);
        resetPaint.push_back(CpuUs() - t0);
    }
    const double a = NearestRankMedian(append);
    const double r = NearestRankMedian(reset);
    const double ap = NearestRankMedian(appendPaint);
    const double rp = NearestRankMedian(resetPaint);
    std::printf("Raw dump of %d bytes into a receive window of %d lines (UI thread's processor "
                "time, nearest-rank median of %d)\n",
                DUMP_BYTES, WINDOW_LINES, APPEND_SAMPLES);
    std::printf("                    call alone   with repaint\n");
    std::printf("  append            %9.1f us   %9.1f us\n", a, ap);
    std::printf("  re-set whole text %9.1f us   %9.1f us\n", r, rp);
    std::printf("  append / re-set   %9.3f      %9.3f      (goal <= %.2f: %s)\n\n", a / r, ap / rp,
                APPEND_GOAL, a <= APPEND_GOAL * r && ap <= APPEND_GOAL * rp ? "met" : "NOT met");
}

struct SendRun {
    double seconds = 0;
    long exchanges = 0;
    long ticks = 0;
    long skipped = 0;
    long simRequests = 0;
    long simReplies = 0;
    long sentFrames = 0;
    long errors = 0;
    bool idleAfter = false;
    double Rate() const { return seconds > 0 ? exchanges / seconds : 0.0; }
};

// The baseline of timed sending: the console's state files the same
// exchange on a 1 ms window timer, and its results come back through the Qt
// event queue, to a dialog that is never shown and has no controls.
class CBaselineSender : public CDialogBase {
  public:
    CConsoleState state;
    long nTicks = 0, nShown = 0, nErrors = 0, nSkipped = 0;

    bool Open(const std::string& config) {
        if (!state.LoadConfig(config))
            return false;
        state.CreateEvents();
        state.SelectChannel(CH_TCP);
        state.ReadTimeouts(m_nFirstChar, m_nInterChar);
        if (state.OpenChannel(GetSafeHwnd()) != 0)
            return false;
        const auto until = Clock::now() + std::chrono::seconds(5);
        while (!state.IsOpen(CH_TCP) && Clock::now() < until)
            QCoreApplication::processEvents(QEventLoop::AllEvents, 5);
        return state.IsOpen(CH_TCP);
    }
    void Run(bool on) {
        state.SetRowOn(ROW_PROTOCOL, on);
        if (on)
            SetTimer(ROW_PROTOCOL, 1);
        else
            KillTimer(ROW_PROTOCOL);
    }

  protected:
    void OnTimer(int) override {
        ++nTicks;
        if (!state.TickMayFile(ROW_PROTOCOL, false)) {
            ++nSkipped;
            return;
        }
        int badPos = 0;
        const int len =
            state.BuildProtocolRequest(BENCH_MACHINE, BENCH_COMMAND, BENCH_DATA, badPos);
        state.FileExchange(len, ROW_PROTOCOL, true, false, m_nFirstChar, m_nInterChar,
                           GetSafeHwnd());
    }
    void OnCommResult(int code, long value) override {
        if (code == RC_RECEIVED)
            (value > 0 ? nShown : nErrors)++;
        if (code == RC_SENT && value != 0)
            ++nErrors;
        state.OnResult(code, value, m_windows);
    }

  private:
    // Windows that hold nothing.
    struct CNoWindows : CConsoleWindows {
        int LineCount(int) const override { return 1; }
        void SetText(int, const std::string&) override {}
        void Append(int, const std::string&) override {}
    } m_windows;
    int m_nFirstChar = 1000;
    int m_nInterChar = 300;
};

enum SendMode { BACK_TO_BACK, TIMED, BASELINE };

template <class Sender> void TakeCounts(const Sender& s, const CConsoleState& state, SendRun& run) {
    run.exchanges = s.nShown;
    run.ticks = s.nTicks;
    run.skipped = s.nSkipped;
    run.errors = s.nErrors;
    run.sentFrames = state.SendCount() / BENCH_FRAME_LEN;
}

// Runs events for ms, then until the last exchange ended (up to 3 s).
template <class Idle> void RunThenWait(int ms, Idle idle, SendRun& run, Clock::time_point t0) {
    RunEvents(ms);
    const auto until = Clock::now() + std::chrono::seconds(3);
    while (!idle() && Clock::now() < until)
        QCoreApplication::processEvents(QEventLoop::AllEvents, 5);
    QCoreApplication::processEvents();
    run.idleAfter = idle();
    run.seconds = std::chrono::duration<double>(Clock::now() - t0).count();
    RunEvents(50);
}

// One run against a fresh simulator.
SendRun RunSends(const std::vector<std::string>& simOptions, SendMode mode, int ms) {
    SendRun run;
    CSimLauncher sim(simOptions);
    if (!sim.Ready()) {
        std::printf("the simulator did not start\n");
        return run;
    }
    char dirName[] = "/tmp/quillmark-bench-XXXXXX";
    const std::string dir = mkdtemp(dirName) ? dirName : "/tmp";
    const std::string config = dir + "/config.xml";
    std::ofstream(config) << sim.ConsoleConfig();
    if (mode == BASELINE) {
        CBaselineSender sender;
        if (sender.Open(config)) {
            const auto t0 = Clock::now();
            sender.Run(true);
            RunThenWait(
                ms,
                [&] {
                    sender.Run(false);
                    return !sender.state.JobPending();
                },
                run, t0);
            TakeCounts(sender, sender.state, run);
        }
    } else {
        CBenchConsole console(nullptr, config);
        if (console.Create() && ConnectTcp(console)) {
            SetProtocolSend(console, 1);
            const auto t0 = Clock::now();
            if (mode == BACK_TO_BACK) {
                console.bBackToBack = true;
                console.SendByProtocol();
            } else {
                console.ClickItem(IDC_PROTOCOL_TIMED);
            }
            RunThenWait(
                ms,
                [&] {
                    if (console.bBackToBack)
                        console.bBackToBack = false;
                    else if (console.IsItemChecked(IDC_PROTOCOL_TIMED))
                        console.ClickItem(IDC_PROTOCOL_TIMED);
                    return !console.JobPending();
                },
                run, t0);
            TakeCounts(console, console.State(), run);
            console.StopWorker();
        }
    }
    std::remove(config.c_str());
    std::remove(dir.c_str());
    run.simRequests = sim.CountLines("RX tcp");
    run.simReplies = sim.CountLines("TX tcp");
    return run;
}

void PrintRun(const char* name, const SendRun& r) {
    const bool whole = r.errors == 0 && r.idleAfter && r.exchanges == r.simRequests &&
                       r.exchanges == r.simReplies && r.exchanges == r.sentFrames;
    std::printf("  %-26s %7ld exchanges in %5.2f s = %7.1f /s", name, r.exchanges, r.seconds,
                r.Rate());
    if (r.ticks > 0)
        std::printf(", %ld ticks (%ld skipped, %.2f ticks/exchange)", r.ticks, r.skipped,
                    r.exchanges ? double(r.ticks) / r.exchanges : 0.0);
    std::printf("\n  %-26s requests %ld, replies %ld, sent %ld, shown %ld, errors %ld: %s\n", "",
                r.simRequests, r.simReplies, r.sentFrames, r.exchanges, r.errors,
                whole ? "none lost, none twice" : "MISMATCH");
}

void BenchTimedSending() {
    std::printf("Protocol sending on loopback TCP to the simulator (command %s, %d-byte frames)\n",
                BENCH_COMMAND, BENCH_FRAME_LEN);
    const SendRun b2b = RunSends({}, BACK_TO_BACK, RUN_MS);
    const SendRun timed = RunSends({}, TIMED, RUN_MS);
    const SendRun baseline = RunSends({}, BASELINE, RUN_MS);
    PrintRun("back-to-back", b2b);
    PrintRun("timed, 1 ms", timed);
    PrintRun("baseline: timer, no window", baseline);
    const double cycleMs = b2b.exchanges ? b2b.seconds * 1000.0 / b2b.exchanges : 0.0;
    const double ratio = baseline.Rate() > 0 ? timed.Rate() / baseline.Rate() : 0.0;
    std::printf("  back-to-back cycle %.3f ms (goal < %.1f ms: %s)\n", cycleMs, CYCLE_GOAL_MS,
                cycleMs > 0 && cycleMs < CYCLE_GOAL_MS ? "met" : "NOT met");
    std::printf("  timed / baseline rate %.3f (goal >= %.2f: %s)\n", ratio, TIMED_GOAL,
                ratio >= TIMED_GOAL ? "met" : "NOT met");

    const SendRun slow =
        RunSends({"--fault", "first-delay", "--first-delay", std::to_string(DELAY_MS)}, TIMED,
                 DELAYED_RUN_MS);
    std::printf("Against a reply delayed %d ms:\n", DELAY_MS);
    PrintRun("timed, 1 ms", slow);
    std::printf("  busy ticks are skipped, not queued: %s\n",
                slow.idleAfter ? "the window kept up" : "the window fell behind");
}

} // namespace

int main(int argc, char** argv) {
    qputenv("QT_QPA_PLATFORM", "offscreen");
    QApplication app(argc, argv);
    InitToolkit();
    int boxes = 0;
    SetMessageBoxHook([&](QWidget*, const QString& text, const QString&, int) {
        ++boxes;
        std::fprintf(stderr, "message: %s\n", text.toUtf8().constData());
        return IDOK;
    });
    const std::string part = argc > 1 ? argv[1] : "";
    if (part.empty() || part == "append")
        BenchAppend();
    if (part.empty() || part == "sending")
        BenchTimedSending();
    ComBindDevice(CSimLauncher::SIM_COM, "");
    return boxes == 0 ? 0 : 1;
}
