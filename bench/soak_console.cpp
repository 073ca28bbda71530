// The console's side of scripts/soak.sh: timed protocol sending at 1 ms on
// loopback TCP to a simulator the script started, for a given time, on the
// offscreen platform. Prints what it sent and showed, the message boxes, and
// its resident memory, open descriptors and threads once the warm-up is over
// and at the end (the counts once Qt's pool threads have ended), as
// "key value" lines.
//
//   quillmark-soak-console TCP_PORT UDP_PORT PTY SECONDS WARMUP_SECONDS

#include <QApplication>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <string>

#include "app/MessageBox.h"
#include "app/Toolkit.h"
#include "bench/BenchConsole.h"
#include "comm/Clock.h"
#include "comm/SerialPort.h"
#include "sim/SimLauncher.h"

namespace {

// A number after key in /proc/self/status, in its unit (kB for memory).
long StatusField(const char* key) {
    std::ifstream status("/proc/self/status");
    for (std::string line; std::getline(status, line);)
        if (line.rfind(key, 0) == 0)
            return std::atol(line.c_str() + std::char_traits<char>::length(key));
    return -1;
}

long OpenFds() {
    long n = 0;
    for ([[maybe_unused]] const auto& entry : std::filesystem::directory_iterator("/proc/self/fd"))
        ++n;
    return n;
}

// Threads of Qt's thread pools, the raster engine's fill pool among them.
long PooledThreads() {
    long n = 0;
    for (const auto& task : std::filesystem::directory_iterator("/proc/self/task")) {
        std::string name;
        std::getline(std::ifstream(task.path() / "comm"), name);
        n += name == "Thread (pooled)";
    }
    return n;
}

// A pool's thread, and the descriptor of its event dispatcher, end 30 s
// after its last task: they come and go with what the toolkit last drew, not
// with anything the console keeps. Descriptors and threads are counted once
// they are gone (events still run meanwhile), for at most a little longer.
void WaitForPoolsToEnd() {
    constexpr int POOL_EXPIRY_MS = 30000;
    for (int waited = 0; PooledThreads() > 0 && waited < POOL_EXPIRY_MS + 5000; waited += 200)
        RunEvents(200);
}

void PrintMemory(const char* when) {
    std::printf("%s_rss_kb %ld\n", when, StatusField("VmRSS:"));
    std::fflush(stdout);
}

void PrintCounts(const char* when) {
    WaitForPoolsToEnd();
    std::printf("%s_fds %ld\n%s_threads %ld\n", when, OpenFds(), when, StatusField("Threads:"));
    std::fflush(stdout);
}

} // namespace

int main(int argc, char** argv) {
    if (argc != 6) {
        std::fprintf(stderr, "usage: %s TCP_PORT UDP_PORT PTY SECONDS WARMUP_SECONDS\n", argv[0]);
        return 2;
    }
    qputenv("QT_QPA_PLATFORM", "offscreen");
    QApplication app(argc, argv);
    InitToolkit();
    long boxes = 0;
    SetMessageBoxHook([&](QWidget*, const QString& text, const QString&, int) {
        ++boxes;
        std::fprintf(stderr, "message: %s\n", text.toUtf8().constData());
        return IDOK;
    });
    const int seconds = std::atoi(argv[4]);
    const int warmup = std::atoi(argv[5]);

    char dirName[] = "/tmp/quillmark-soak-XXXXXX";
    if (mkdtemp(dirName) == nullptr)
        return 1;
    const std::string config = std::string(dirName) + "/config.xml";
    std::ofstream(config) << SimConsoleConfig(std::atoi(argv[1]), std::atoi(argv[2]), argv[3]);
    int rc = 1;
    {
        CBenchConsole console(nullptr, config);
        if (console.Create() && ConnectTcp(console)) {
            SetProtocolSend(console, 1);
            console.ClickItem(IDC_PROTOCOL_TIMED);
            const auto until = DeadlineIn(seconds * 1000);
            RunEvents(warmup * 1000);
            PrintMemory("start");
            PrintCounts("start");
            // The wait for the pools is part of the run, not added to it.
            RunEvents(MsUntil(until));
            console.ClickItem(IDC_PROTOCOL_TIMED);
            RunEvents(1000);
            PrintMemory("end");
            PrintCounts("end");
            std::printf("shown %ld\nsent %d\nerrors %ld\nticks %ld\nboxes %ld\n", console.nShown,
                        console.State().SendCount() / BENCH_FRAME_LEN, console.nErrors,
                        console.nTicks, boxes);
            rc = console.JobPending() ? 1 : 0;
            console.StopWorker();
        }
    }
    std::filesystem::remove_all(dirName);
    ComBindDevice(CSimLauncher::SIM_COM, "");
    return rc;
}
