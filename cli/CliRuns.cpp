// The subcommands that talk to a terminal: each opens its channel, files
// jobs through the worker as the console does, and shows the results as the
// console's windows and dialogs do.
#include <unistd.h>

#include <cstdio>
#include <filesystem>
#include <string>
#include <vector>

#include "cli/CliCommands.h"
#include "cli/CliText.h"
#include "comm/CommThread.h"
#include "protocol/Diagnostics.h"
#include "protocol/DisplayText.h"
#include "protocol/Download.h"
#include "protocol/Frame.h"
#include "protocol/StatusText.h"

namespace {

constexpr int PROGRESS_BAR_WIDTH = 30;

void PrintStatus(const char* text, long value) {
    std::printf("状态: %s (%ld)\n", text, value);
    std::fflush(stdout);
}

void FileExchange(CCliChannel& ch, uint8_t* sendBuf, int sendBufSize, int len, uint8_t* recvBuf,
                  int recvBufSize, bool bNoReceive) {
    FillExchangeJob(ch.Job(), sendBuf, sendBufSize, len, recvBuf, recvBufSize, bNoReceive,
                    ch.Window());
    ch.File();
}

// Sends the frame in sendBuf, then shows it and the reply as the console's
// result handler does; pending holds the verdicts the reply is to get.
int ExchangeAndShow(CCliChannel& ch, uint8_t* sendBuf, int len, DiagPending pending) {
    uint8_t recvBuf[CLI_BUFFER_SIZE];
    FileExchange(ch, sendBuf, CLI_BUFFER_SIZE, len, recvBuf, CLI_BUFFER_SIZE, false);
    const CommResult sent = ch.WaitFor(RC_SENT);
    if (sent.nValue != 0) {
        PrintStatus(SEND_FAILED_TEXT, sent.nValue);
        return 1;
    }
    PrintText(TerminalText(FormatSent(sendBuf, len)));
    const int got = static_cast<int>(ch.WaitFor(RC_RECEIVED).nValue);
    const std::string text =
        got > 0 ? FormatRecvFrame(recvBuf, got, pending).text : RecvErrorAppendText(got);
    PrintText(TerminalText(text));
    PrintStatus(RecvStatusText(got), got);
    return got > 0 ? 0 : 1;
}

void ShowPubMessage(const PubMessage& m) {
    if (!m.text.empty())
        std::printf("%s\n", m.text.c_str());
}

void ShowPubField(const char* label, const std::optional<std::string>& value) {
    if (value)
        std::printf("%s: %s\n", label, value->c_str());
}

// Download progress: a bar that rewrites itself on a terminal, one line per
// new percentage otherwise.
class CProgress {
  public:
    explicit CProgress(const std::string& path) : m_bTty(isatty(STDOUT_FILENO) != 0) {
        std::error_code ec;
        const auto size = std::filesystem::file_size(path, ec);
        m_nFileSize = ec ? -1 : static_cast<long long>(size);
    }

    // The block phase begins; blockTotal is the file size / 128.
    void Start(long blockTotal) {
        // Every block and the closing byte sum report a step; a file of
        // unknown size counts its blocks from the total.
        const long long blocks =
            m_nFileSize >= 0 ? (m_nFileSize + DOWNLOAD_BLOCK - 1) / DOWNLOAD_BLOCK : blockTotal + 1;
        m_nSteps = (blocks > 0 ? blocks : 1) + 1;
        m_bStarted = true;
        Show();
    }

    void Step() {
        ++m_nDone;
        Show();
    }

    void Finish() {
        if (m_bStarted && m_bTty)
            std::printf("\n");
        std::fflush(stdout);
    }

  private:
    void Show() {
        const int percent = static_cast<int>(m_nDone >= m_nSteps ? 100 : m_nDone * 100 / m_nSteps);
        if (m_bTty) {
            const int filled = percent * PROGRESS_BAR_WIDTH / 100;
            std::printf("\r下载进度 [%s%s] %3d%%", std::string(filled, '#').c_str(),
                        std::string(PROGRESS_BAR_WIDTH - filled, '.').c_str(), percent);
        } else if (percent != m_nShown) {
            std::printf("下载进度 %d%%\n", percent);
        }
        m_nShown = percent;
        std::fflush(stdout);
    }

    const bool m_bTty;
    long long m_nFileSize = -1;
    long long m_nSteps = 1;
    long long m_nDone = 0;
    int m_nShown = -1;
    bool m_bStarted = false;
};

} // namespace

int RunExchange(const ChannelSpec& chan, int machine, const std::string& cmd,
                const std::string& data) {
    const std::vector<uint8_t> bytes = HexArgBytes(data);
    const int len = static_cast<int>(bytes.size());
    uint8_t sendBuf[CLI_BUFFER_SIZE];
    if (BuildFrame(static_cast<uint8_t>(machine), HexArgBytes(cmd)[0], bytes.data(), len, sendBuf) <
        0)
        return 1;
    CCliChannel ch;
    if (!ch.Open(chan))
        return 1;
    return ExchangeAndShow(ch, sendBuf, len + FRAME_OVERHEAD, DiagPending{});
}

int RunDiag(const ChannelSpec& chan, int cmd) {
    uint8_t sendBuf[CLI_BUFFER_SIZE];
    DiagPending pending;
    const int len = BuildDiagFrame(cmd, sendBuf);
    if (len < 0 || !SetDiagPending(cmd, pending))
        return 1;
    CCliChannel ch;
    if (!ch.Open(chan))
        return 1;
    return ExchangeAndShow(ch, sendBuf, len, pending);
}

int RunRaw(const ChannelSpec& chan, const RawOptions& opt) {
    std::vector<uint8_t> bytes;
    if (opt.bSend) {
        bytes = opt.bHex ? HexArgBytes(opt.strData)
                         : std::vector<uint8_t>(opt.strData.begin(), opt.strData.end());
        if (opt.bCr)
            bytes.push_back(0x0D);
    }
    if (static_cast<int>(bytes.size()) > CLI_BUFFER_SIZE)
        return 1;
    CCliChannel ch;
    if (!ch.Open(chan))
        return 1;
    if (opt.bSend) {
        uint8_t sendBuf[CLI_BUFFER_SIZE];
        std::copy(bytes.begin(), bytes.end(), sendBuf);
        const int len = static_cast<int>(bytes.size());
        FileExchange(ch, sendBuf, CLI_BUFFER_SIZE, len, nullptr, 0, true);
        const CommResult sent = ch.WaitFor(RC_SENT);
        if (sent.nValue != 0) {
            PrintStatus(SEND_FAILED_TEXT, sent.nValue);
            return 1;
        }
        PrintText(TerminalText(FormatSent(sendBuf, len)));
    }
    if (opt.bNoReceive)
        return 0;
    const RawCollected got = ch.CollectRaw(chan.nFirstChar, chan.nInterChar);
    const int n = static_cast<int>(got.bytes.size());
    const int result = n > 0 ? n : got.nLast;
    // One dump into an empty receive window, which counts as one line.
    PrintText(TerminalText(FormatRecvRaw(got.bytes.data(), n, 1)));
    PrintStatus(RawRecvStatusText(result), result);
    return result > 0 ? 0 : 1;
}

int RunPub(const ChannelSpec& chan, const PubInput& in) {
    PubRequest req;
    if (BuildPubRequest(in, req) != PUB_INPUT_OK)
        return 1;
    uint8_t sendBuf[PUB_BUFFER_SIZE];
    uint8_t recvBuf[PUB_BUFFER_SIZE];
    const int len = BuildFrame(req.machine, req.command, req.data, req.len, sendBuf);
    CCliChannel ch;
    if (!ch.Open(chan))
        return 1;
    FileExchange(ch, sendBuf, PUB_BUFFER_SIZE, len, recvBuf, PUB_BUFFER_SIZE, false);
    const CommResult sent = ch.WaitFor(RC_SENT);
    if (sent.nValue != 0) {
        ShowPubMessage(PubSendResultMessage(static_cast<int>(sent.nValue)));
        return 1;
    }
    const int got = static_cast<int>(ch.WaitFor(RC_RECEIVED).nValue);
    if (got <= 0) {
        ShowPubMessage(PubRecvErrorMessage(got));
        return 1;
    }
    const PubReply reply = DecodePubReply(req.command, recvBuf, got);
    ShowPubField("ID号(HEX)", reply.strId);
    ShowPubField("低位ID号", reply.strLowId);
    if (reply.nMachineNo)
        std::printf("设备机号: %d\n", *reply.nMachineNo);
    ShowPubField("机器类型", reply.strType);
    ShowPubField("程序版本", reply.strVersion);
    ShowPubField("程序完成时间", reply.strDoneTime);
    ShowPubMessage(reply.message);
    std::fflush(stdout);
    return reply.code == PUB_REPLY_OK ? 0 : 1;
}

int RunDownload(const ChannelSpec& chan, const std::string& path, int machine) {
    CCliChannel ch;
    if (!ch.Open(chan))
        return 1;
    FillDownloadJob(ch.Job(), path, machine, ch.Window());
    ch.File();

    CProgress progress(path);
    for (;;) {
        const CommResult r = ch.Next();
        if (r.nCode == RC_DOWNLOAD_START) {
            progress.Start(r.nValue);
        } else if (r.nCode == RC_DOWNLOAD_STEP) {
            progress.Step();
        } else if (r.nCode == RC_DOWNLOAD_DONE) {
            progress.Finish();
            std::printf("%s\n", DownloadDoneText(static_cast<int>(r.nValue)).c_str());
            std::fflush(stdout);
            return r.nValue == 0 ? 0 : 1;
        }
    }
}
