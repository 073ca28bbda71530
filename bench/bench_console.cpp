// Figures of the console itself, on the offscreen platform: appending a raw
// dump to a full receive window against re-setting its whole text, and
// timed protocol sending at 1 ms against back-to-back sending through the
// same console code, on loopback TCP to the terminal simulator. Prints the
// figures; the goals are reported, not asserted.

#include <QApplication>
#include <QComboBox>
#include <QEventLoop>
#include <QTimer>
#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <string>
#include <vector>

#include "app/MessageBox.h"
#include "app/QuillmarkDlg.h"
#include "app/Resource.h"
#include "protocol/DisplayText.h"
#include "app/Toolkit.h"
#include "comm/Notify.h"
#include "comm/SerialPort.h"
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
constexpr double TIMED_GOAL = 800.0;
constexpr double CYCLE_GOAL_MS = 0.5;
// A small request, so that the display is not what is measured.
const char* const COMMAND = "10";
const char* const DATA = "A5A5A5A5";
constexpr int FRAME_LEN = 8 + 4;

double Median(std::vector<double> v) {
    std::sort(v.begin(), v.end());
    return v.empty() ? 0.0 : v[v.size() / 2];
}

double Us(Clock::duration d) {
    return std::chrono::duration<double, std::micro>(d).count();
}

// The console with a count of what its handlers saw. Back-to-back mode
// files the next protocol send from the result handler.
class CBenchConsole : public CQuillmarkDlg {
  public:
    using CQuillmarkDlg::CQuillmarkDlg;

    bool bBackToBack = false;
    long nTicks = 0;
    long nShown = 0;   // replies shown
    long nErrors = 0;  // failed sends or reads
    long nSkipped = 0; // ticks that found the worker busy

  protected:
    void OnCommResult(int code, long value) override {
        if (code == RC_RECEIVED)
            (value > 0 ? nShown : nErrors)++;
        if (code == RC_SENT && value != 0)
            ++nErrors;
        CQuillmarkDlg::OnCommResult(code, value);
        if (bBackToBack && code == RC_RECEIVED && !JobPending())
            SendByProtocol();
    }
    void OnTimer(int id) override {
        ++nTicks;
        if (JobPending())
            ++nSkipped;
        CQuillmarkDlg::OnTimer(id);
    }
};

void RunEvents(int ms) {
    QEventLoop loop;
    QTimer::singleShot(ms, &loop, &QEventLoop::quit);
    loop.exec();
}

bool WaitIdle(CBenchConsole& c, int ms) {
    const auto until = Clock::now() + std::chrono::milliseconds(ms);
    while (c.JobPending() && Clock::now() < until)
        QCoreApplication::processEvents(QEventLoop::AllEvents, 5);
    QCoreApplication::processEvents();
    return !c.JobPending();
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

    // Each side timed twice: the call alone, and the call with the repaint
    // that follows it.
    std::vector<double> append, appendPaint, reset, resetPaint;
    for (int i = 0; i < APPEND_SAMPLES; ++i) {
        console.SetItemText(IDC_RECV, full);
        QCoreApplication::processEvents();
        auto t0 = Clock::now();
        console.AppendItemText(IDC_RECV, QString::fromStdString(FormatRecvRaw(
                                             dump, DUMP_BYTES, console.GetLineCount(IDC_RECV))));
        auto t1 = Clock::now();
        QCoreApplication::processEvents();
        append.push_back(Us(t1 - t0));
        appendPaint.push_back(Us(Clock::now() - t0));

        const QString result = console.GetItemText(IDC_RECV);
        console.SetItemText(IDC_RECV, full);
        QCoreApplication::processEvents();
        t0 = Clock::now();
        console.SetItemText(IDC_RECV, result);
        t1 = Clock::now();
        QCoreApplication::processEvents();
        reset.push_back(Us(t1 - t0));
        resetPaint.push_back(Us(Clock::now() - t0));
    }
    const double a = Median(append);
    const double r = Median(reset);
    const double ap = Median(appendPaint);
    const double rp = Median(resetPaint);
    std::printf(
        "Raw dump of %d bytes into a receive window of %d lines (UI thread, median of %d)\n",
        DUMP_BYTES, WINDOW_LINES, APPEND_SAMPLES);
    std::printf("                    call alone   with repaint\n");
    std::printf("  append            %9.1f us   %9.1f us\n", a, ap);
    std::printf("  re-set whole text %9.1f us   %9.1f us\n", r, rp);
    std::printf("  append / re-set   %9.3f      %9.3f      (goal <= %.2f: %s)\n\n", a / r, ap / rp,
                APPEND_GOAL, a <= APPEND_GOAL * r ? "met" : "NOT met");
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
};

// One run against a fresh simulator: timed at 1 ms, or back-to-back.
SendRun RunSends(const std::vector<std::string>& simOptions, bool backToBack, int ms) {
    SendRun run;
    CSimLauncher sim(simOptions);
    if (!sim.Ready()) {
        std::printf("the simulator did not start\n");
        return run;
    }
    char dirName[] = "/tmp/quillmark-bench-XXXXXX";
    const std::string dir = mkdtemp(dirName) ? dirName : "/tmp";
    std::ofstream(dir + "/config.xml") << sim.ConsoleConfig();
    {
        CBenchConsole console(nullptr, dir + "/config.xml");
        if (!console.Create())
            return run;
        auto* combo = console.GetDlgItemAs<QComboBox>(IDC_CHANNEL);
        combo->setCurrentIndex(CH_TCP);
        emit combo->activated(CH_TCP);
        console.ClickItem(IDC_TCP_CONNECT);
        const auto until = Clock::now() + std::chrono::seconds(5);
        while (!console.State().IsOpen(CH_TCP) && Clock::now() < until)
            QCoreApplication::processEvents(QEventLoop::AllEvents, 5);
        console.SetItemText(IDC_COMMAND, COMMAND);
        console.SetItemText(IDC_PROTOCOL_DATA, DATA);
        console.SetItemText(IDC_PROTOCOL_PERIOD, "1");

        const auto t0 = Clock::now();
        if (backToBack) {
            console.bBackToBack = true;
            console.SendByProtocol();
            RunEvents(ms);
            console.bBackToBack = false;
        } else {
            console.ClickItem(IDC_PROTOCOL_TIMED);
            RunEvents(ms);
            console.ClickItem(IDC_PROTOCOL_TIMED);
        }
        run.idleAfter = WaitIdle(console, 3000);
        run.seconds = std::chrono::duration<double>(Clock::now() - t0).count();
        RunEvents(50);
        run.exchanges = console.nShown;
        run.ticks = console.nTicks;
        run.skipped = console.nSkipped;
        run.errors = console.nErrors;
        run.sentFrames = console.State().SendCount() / FRAME_LEN;
        console.StopWorker();
    }
    std::string cleanup = dir + "/config.xml";
    std::remove(cleanup.c_str());
    std::remove(dir.c_str());
    run.simRequests = sim.CountLines("RX tcp");
    run.simReplies = sim.CountLines("TX tcp");
    return run;
}

void PrintRun(const char* name, const SendRun& r) {
    const bool whole = r.errors == 0 && r.idleAfter && r.exchanges == r.simRequests &&
                       r.exchanges == r.simReplies && r.exchanges == r.sentFrames;
    std::printf("  %-26s %7ld exchanges in %5.2f s = %7.1f /s", name, r.exchanges, r.seconds,
                r.seconds > 0 ? r.exchanges / r.seconds : 0.0);
    if (r.ticks > 0)
        std::printf(", %ld ticks (%ld skipped, %.2f ticks/exchange)", r.ticks, r.skipped,
                    r.exchanges ? double(r.ticks) / r.exchanges : 0.0);
    std::printf("\n  %-26s requests %ld, replies %ld, sent %ld, shown %ld, errors %ld: %s\n", "",
                r.simRequests, r.simReplies, r.sentFrames, r.exchanges, r.errors,
                whole ? "none lost, none twice" : "MISMATCH");
}

void BenchTimedSending() {
    std::printf("Protocol sending on loopback TCP to the simulator (command %s, %d-byte frames)\n",
                COMMAND, FRAME_LEN);
    const SendRun b2b = RunSends({}, true, RUN_MS);
    const SendRun timed = RunSends({}, false, RUN_MS);
    PrintRun("back-to-back", b2b);
    PrintRun("timed, 1 ms", timed);
    const double cycleMs = b2b.exchanges ? b2b.seconds * 1000.0 / b2b.exchanges : 0.0;
    const double rate = timed.seconds > 0 ? timed.exchanges / timed.seconds : 0.0;
    std::printf("  back-to-back cycle %.3f ms; ", cycleMs);
    if (cycleMs < CYCLE_GOAL_MS)
        std::printf("timed rate goal >= %.0f /s: %s\n", TIMED_GOAL,
                    rate >= TIMED_GOAL ? "met" : "NOT met");
    else
        std::printf("cycle not under %.1f ms, the rate goal does not apply\n", CYCLE_GOAL_MS);

    const SendRun slow =
        RunSends({"--fault", "first-delay", "--first-delay", std::to_string(DELAY_MS)}, false,
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
    BenchAppend();
    BenchTimedSending();
    ComBindDevice(CSimLauncher::SIM_COM, "");
    return boxes == 0 ? 0 : 1;
}
