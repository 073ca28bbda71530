// Captures from a shell: a run recorded to a capture file, and a capture
// file shown as the console shows bytes.
#include <time.h>

#include <cstdio>
#include <string>

#include "cli/CliCommands.h"
#include "cli/CliText.h"
#include "comm/CaptureReader.h"
#include "protocol/DisplayText.h"

namespace {

constexpr char PROGRAM[] = "quillmark-cli";

const char* SideText(int side) {
    switch (side) {
    case CAPTURE_SIDE_HOST:
        return "host side: requests TX, replies RX";
    case CAPTURE_SIDE_TERMINAL:
        return "terminal side: requests RX, replies TX";
    default:
        return "side not stated";
    }
}

const char* DirectionText(int direction) {
    switch (direction) {
    case CAPTURE_IN:
        return "RX";
    case CAPTURE_OUT:
        return "TX";
    default:
        return "--";
    }
}

// "2024-05-17 10:23:45.123456", local time.
std::string TimeText(int64_t us) {
    const time_t seconds = static_cast<time_t>(us / 1000000 - (us % 1000000 < 0 ? 1 : 0));
    const long micros = static_cast<long>(us - static_cast<int64_t>(seconds) * 1000000);
    tm local{};
    char date[32] = "?";
    if (localtime_r(&seconds, &local) != nullptr)
        std::strftime(date, sizeof date, "%Y-%m-%d %H:%M:%S", &local);
    char text[48];
    std::snprintf(text, sizeof text, "%s.%06ld", date, micros);
    return text;
}

} // namespace

int RunCaptured(ChannelSpec chan, const std::string& path, const std::string& what,
                const std::function<int(const ChannelSpec&)>& run) {
    if (path.empty())
        return run(chan);
    CCaptureWriter capture;
    const int opened = capture.Open(path, CAPTURE_SIDE_HOST, PROGRAM);
    if (opened != 0) {
        std::fprintf(stderr, "%s\n", CaptureOpenFailedText(path, opened).c_str());
        return 1;
    }
    chan.pCapture = &capture;
    chan.strCaptureNote = std::string(PROGRAM) + " " + what;
    int status = run(chan);
    const int closed = capture.Close();
    if (closed != 0) {
        std::fprintf(stderr, "%s\n", CaptureWriteFailedText(path, closed).c_str());
        if (status == 0)
            status = 1;
    }
    return status;
}

int RunShow(const std::string& path) {
    Capture cap;
    std::string error;
    const int rc = LoadCapture(path, cap, error);
    if (rc == CAPTURE_NOT_PCAPNG) {
        std::fprintf(stderr, "%s\n", error.c_str());
        return CLI_EXIT_BAD_ARGS;
    }
    for (size_t i = 0; i < cap.interfaces.size(); ++i) {
        const CaptureInterface& f = cap.interfaces[i];
        std::printf("# if%zu %s", i, f.strName.empty() ? "(no name)" : f.strName.c_str());
        if (!f.strDescription.empty())
            std::printf(" (%s)", f.strDescription.c_str());
        std::printf(", written by %s, %s\n",
                    f.strProgram.empty() ? "an unnamed program" : f.strProgram.c_str(),
                    SideText(f.nSide));
    }
    for (const CapturePacket& p : cap.packets) {
        const int n = static_cast<int>(p.bytes.size());
        std::printf("%s if%d %s %d\n", TimeText(p.nTimeUs).c_str(), p.nInterface,
                    DirectionText(p.nDirection), n);
        // One dump into an empty receive window, as a raw receive shows it.
        PrintText(TerminalText(FormatRecvRaw(p.bytes.data(), n, 1)));
        if (!p.strComment.empty())
            std::printf("  # %s\n", p.strComment.c_str());
    }
    if (cap.nSkippedBlocks > 0)
        std::printf("# %d blocks of other kinds (statistics, names) skipped\n", cap.nSkippedBlocks);
    std::fflush(stdout);
    if (rc != CAPTURE_READ_OK) {
        std::fprintf(stderr, "%s\n", error.c_str());
        return 1;
    }
    return 0;
}
