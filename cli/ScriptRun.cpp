// `quillmark-cli run`: each step is filed through the worker as the console
// files it, its reply judged against the script, its reply time taken from
// the worker's stamps around the exchange.
#include "cli/ScriptRun.h"

#include <algorithm>
#include <chrono>
#include <cmath>
#include <cstdio>
#include <cstring>
#include <thread>

#include "cli/CliCommands.h"
#include "cli/CliOptions.h"
#include "cli/JUnitReport.h"
#include "comm/CommThread.h"
#include "protocol/Diagnostics.h"
#include "protocol/Download.h"
#include "protocol/Frame.h"
#include "protocol/StatusText.h"

namespace {

using Clock = std::chrono::steady_clock;

// What a step run gives before its name and elapsed time are added.
struct Outcome {
    bool bPass = false;
    double dReplyMs = -1.0;
    std::string strMessage;
    bool bLineLost = false; // the line to the terminal is gone
    std::string strLost;    // why
};

Outcome Passed() {
    Outcome o;
    o.bPass = true;
    return o;
}

std::string Hex(const uint8_t* bytes, int n) {
    std::string out;
    char cell[4];
    for (int i = 0; i < n; ++i) {
        std::snprintf(cell, sizeof cell, i == 0 ? "%02X" : " %02X", bytes[i]);
        out += cell;
    }
    return out.empty() ? "(none)" : out;
}

std::string PatternHex(const BytePattern& p) {
    std::string out;
    char cell[4];
    for (size_t i = 0; i < p.size(); ++i) {
        if (p[i] < 0)
            std::snprintf(cell, sizeof cell, i == 0 ? "??" : " ??");
        else
            std::snprintf(cell, sizeof cell, i == 0 ? "%02X" : " %02X", p[i]);
        out += cell;
    }
    return out.empty() ? "(none)" : out;
}

bool Matches(const BytePattern& p, const uint8_t* bytes, int n) {
    if (static_cast<int>(p.size()) != n)
        return false;
    for (int i = 0; i < n; ++i)
        if (p[i] >= 0 && p[i] != bytes[i])
            return false;
    return true;
}

std::string CodeText(int code) {
    return std::to_string(code) + " " + ReplyReadText(code);
}

// True when a receive that ended with code is what the step expects.
bool IsExpectedError(int expected, int code, int channel) {
    switch (expected) {
    case EXPECT_NO_REPLY:
        // A UDP reader cannot tell silence from a reply cut short.
        return code == RES_NO_START || (channel == CH_UDP && code == RES_INTER_TIMEOUT);
    case EXPECT_TIMEOUT:
        return code == RES_INTER_TIMEOUT;
    case EXPECT_RECV_ERROR:
        return code == RES_RECV_ERROR;
    case EXPECT_CHECKSUM:
        return code == RES_CHECKSUM;
    case EXPECT_NOT_FRAME:
        return code == RES_NOT_FRAME;
    case EXPECT_PEER_CLOSED:
        return code == RES_PEER_CLOSED;
    case EXPECT_CONN_LOST:
        return code == RES_CONN_LOST;
    default:
        return false;
    }
}

// A closed or broken connection ends every later step as well.
bool IsLineGone(int code) {
    return code == RES_PEER_CLOSED || code == RES_CONN_LOST;
}

class CStepRunner {
  public:
    CStepRunner(CCliChannel& ch, const ChannelSpec& chan) : m_ch(ch), m_chan(chan) {}

    Outcome Run(const ScriptStep& s) {
        switch (s.nKind) {
        case STEP_EXCHANGE:
            return Exchange(s);
        case STEP_RAW:
            return Raw(s);
        case STEP_DIAG:
            return Diag(s);
        case STEP_PUB:
            return Pub(s);
        case STEP_DOWNLOAD:
            return Download(s);
        default:
            std::this_thread::sleep_for(std::chrono::milliseconds(s.nPauseMs));
            return Passed();
        }
    }

  private:
    // Sends len bytes of sendBuf; with a receive buffer, reads the reply
    // frame. Returns the reply length or a code; sendCode gets RC_SENT's value.
    int FileExchange(const ScriptStep& s, uint8_t* sendBuf, int sendBufSize, int len,
                     uint8_t* recvBuf, int recvBufSize, int& sendCode) {
        CommJob& job = m_ch.Job();
        FillExchangeJob(job, sendBuf, sendBufSize, len, recvBuf, recvBufSize, recvBuf == nullptr,
                        m_ch.Window());
        job.nFirstCharTimeout = s.nFirstChar;
        job.nInterCharTimeout = s.nInterChar;
        m_ch.File();
        if (recvBuf == nullptr) {
            sendCode = static_cast<int>(m_ch.WaitFor(RC_SENT).nValue);
            return sendCode;
        }
        const CommResult r = m_ch.WaitReply();
        sendCode = r.nCode == RC_SENT ? static_cast<int>(r.nValue) : 0;
        return sendCode != 0 ? sendCode : static_cast<int>(r.nValue);
    }

    // Exchanges the frame in sendBuf and notes the reply time in o. Returns
    // true when o is already the step's outcome (a failed send, or a receive
    // error judged against what the step expects); else got is the reply's
    // length.
    bool ExchangeJudged(const ScriptStep& s, uint8_t* sendBuf, uint8_t* recvBuf, int bufSize,
                        int len, int& got, Outcome& o) {
        int sent = 0;
        got = FileExchange(s, sendBuf, bufSize, len, recvBuf, bufSize, sent);
        if (sent != 0) {
            o = SendFailed(sent);
            return true;
        }
        o.dReplyMs = ReplyMs();
        return JudgeError(s, got, recvBuf, o);
    }

    double ReplyMs() const {
        const CommJob& job = m_ch.Job();
        return static_cast<double>(job.nRecvDoneUs - job.nSendDoneUs) / 1000.0;
    }

    static Outcome SendFailed(int code) {
        Outcome o;
        o.strMessage = std::string("expected the request sent, got ") + std::to_string(code) + " " +
                       SEND_FAILED_TEXT;
        o.bLineLost = true;
        o.strLost = o.strMessage;
        return o;
    }

    // The reply frame itself: on serial an acknowledgement stays in front.
    static void SkipAck(const uint8_t*& frame, int& n) {
        const int ackLen = LeadingAckLength(frame, n, FRAME_OVERHEAD);
        frame += ackLen;
        n -= ackLen;
    }

    // The UDP reader hands datagrams over unchecked: a reply is judged only
    // when it is one whole frame with its checksum right. Returns n, or -10
    // (not a frame, a wrong end byte included) or -9 (checksum) as the
    // byte-stream readers would.
    static int CheckReply(const uint8_t* buf, int n) {
        const uint8_t* frame = buf;
        int len = n;
        SkipAck(frame, len);
        const int rc = CheckReplyFrame(frame, len, RES_NOT_FRAME);
        return rc < 0 ? rc : n;
    }

    // Judges a reply read that gave got bytes into reply, or a code, when
    // it failed or the step expects an error. Returns true when judged.
    bool JudgeError(const ScriptStep& s, int got, const uint8_t* reply, Outcome& o) const {
        const int code = got > 0 ? CheckReply(reply, got) : got;
        const std::string bytes = got > 0 ? "; reply " + Hex(reply, got) : "";
        if (s.nExpectError != EXPECT_NO_ERROR) {
            o.bPass = code <= 0 && IsExpectedError(s.nExpectError, code, m_chan.nChannel);
            if (!o.bPass)
                o.strMessage = std::string("expected ") + EXPECTED_ERROR_NAMES[s.nExpectError] +
                               ", got " +
                               (code > 0 ? "the reply " + Hex(reply, got) : CodeText(code) + bytes);
        } else if (code <= 0) {
            o.strMessage = "expected a reply, got " + CodeText(code) + bytes;
        } else {
            return false;
        }
        if (!o.bPass && IsLineGone(code)) {
            o.bLineLost = true;
            o.strLost = CodeText(code);
        }
        return true;
    }

    Outcome Exchange(const ScriptStep& s) {
        uint8_t sendBuf[CLI_BUFFER_SIZE];
        uint8_t recvBuf[CLI_BUFFER_SIZE];
        const int dataLen = static_cast<int>(s.data.size());
        const int len = BuildFrame(static_cast<uint8_t>(s.nMachine), s.nCommand, s.data.data(),
                                   dataLen, sendBuf);
        Outcome o;
        int got = 0;
        if (ExchangeJudged(s, sendBuf, recvBuf, CLI_BUFFER_SIZE, len, got, o))
            return o;
        const uint8_t* frame = recvBuf;
        int n = got;
        SkipAck(frame, n);
        const int status = frame[2];
        const int length = frame[3] * 256 + frame[4];
        std::string expected;
        std::string came;
        char text[96];
        if (s.nExpectStatus && *s.nExpectStatus != status) {
            std::snprintf(text, sizeof text, "status %02X", *s.nExpectStatus);
            expected += text;
            std::snprintf(text, sizeof text, "status %02X", status);
            came += text;
        }
        if (s.nExpectLength && *s.nExpectLength != length) {
            expected +=
                (expected.empty() ? "" : ", ") + ("length " + std::to_string(*s.nExpectLength));
            came += (came.empty() ? "" : ", ") + ("length " + std::to_string(length));
        }
        const int dataCount = std::min(length, n - FRAME_OVERHEAD);
        if (s.expectData && !Matches(*s.expectData, frame + 5, dataCount)) {
            expected += (expected.empty() ? "" : ", ") + ("data " + PatternHex(*s.expectData));
            came += (came.empty() ? "" : ", ") + ("data " + Hex(frame + 5, dataCount));
        }
        o.bPass = expected.empty();
        if (!o.bPass)
            o.strMessage =
                "expected " + expected + ", got " + came + "; reply " + Hex(recvBuf, got);
        return o;
    }

    Outcome Raw(const ScriptStep& s) {
        uint8_t sendBuf[CLI_BUFFER_SIZE];
        std::vector<uint8_t> bytes = s.rawBytes;
        if (s.bCr)
            bytes.push_back(0x0D);
        std::copy(bytes.begin(), bytes.end(), sendBuf);
        int sent = 0;
        FileExchange(s, sendBuf, CLI_BUFFER_SIZE, static_cast<int>(bytes.size()), nullptr, 0, sent);
        if (sent != 0)
            return SendFailed(sent);
        const bool bReceive = s.expectRaw || s.nExpectError != EXPECT_NO_ERROR;
        if (!bReceive)
            return Passed();
        const int64_t sentUs = m_ch.Job().nSendDoneUs;
        std::vector<uint8_t> got;
        int64_t lastBytesUs = 0;
        const int result = Collect(s, got, lastBytesUs);
        Outcome o;
        if (!got.empty())
            o.dReplyMs = static_cast<double>(lastBytesUs - sentUs) / 1000.0;
        const int n = static_cast<int>(got.size());
        if (s.nExpectError != EXPECT_NO_ERROR) {
            // Nothing arriving is the raw form of no reply.
            const int code = n > 0 ? n : result == 0 ? RES_NO_START : result;
            const int channel = m_chan.nChannel;
            o.bPass = n == 0 && IsExpectedError(s.nExpectError, code, channel);
            if (!o.bPass)
                o.strMessage = std::string("expected ") + EXPECTED_ERROR_NAMES[s.nExpectError] +
                               ", got " + (n > 0 ? "bytes " + Hex(got.data(), n) : CodeText(code));
        } else {
            o.bPass = Matches(*s.expectRaw, got.data(), n);
            if (!o.bPass)
                o.strMessage = "expected bytes " + PatternHex(*s.expectRaw) + ", got " +
                               (n > 0         ? Hex(got.data(), n)
                                : result == 0 ? std::string("nothing")
                                              : CodeText(result));
        }
        if (!o.bPass && n == 0 && IsLineGone(result)) {
            o.bLineLost = true;
            o.strLost = CodeText(result);
        }
        return o;
    }

    // Collects raw bytes: up to F for the first, then until the line has
    // been quiet for I. Returns the last raw-receive code.
    int Collect(const ScriptStep& s, std::vector<uint8_t>& out, int64_t& lastBytesUs) {
        uint8_t recvBuf[CLI_BUFFER_SIZE];
        CommJob& job = m_ch.Job();
        auto deadline = Clock::now() + std::chrono::milliseconds(s.nFirstChar);
        int last = 0;
        for (;;) {
            FillRawReceiveJob(job, recvBuf, CLI_BUFFER_SIZE, m_ch.Window());
            m_ch.File();
            last = static_cast<int>(m_ch.WaitFor(RC_RAW_RECEIVED).nValue);
            if (last > 0) {
                out.insert(out.end(), recvBuf, recvBuf + last);
                lastBytesUs = job.nRecvDoneUs;
                if (static_cast<int>(out.size()) >= RAW_COLLECT_MAX)
                    break;
                deadline = Clock::now() + std::chrono::milliseconds(s.nInterChar);
                continue;
            }
            const bool bQuiet =
                last == 0 || (m_chan.nChannel == CH_UDP && last == RES_INTER_TIMEOUT);
            if (!bQuiet || Clock::now() >= deadline)
                break;
            if (last == 0)
                std::this_thread::sleep_for(RAW_POLL_PAUSE);
        }
        return last;
    }

    Outcome Diag(const ScriptStep& s) {
        uint8_t sendBuf[CLI_BUFFER_SIZE];
        uint8_t recvBuf[CLI_BUFFER_SIZE];
        const int len = BuildDiagFrame(s.nDiag, sendBuf);
        Outcome o;
        int got = 0;
        if (ExchangeJudged(s, sendBuf, recvBuf, CLI_BUFFER_SIZE, len, got, o))
            return o;
        const uint8_t* frame = recvBuf;
        int n = got;
        SkipAck(frame, n);
        int verdict = VERDICT_OK;
        if (n == static_cast<int>(sizeof TransferErrorFrame) &&
            std::memcmp(frame, TransferErrorFrame, sizeof TransferErrorFrame) == 0)
            verdict = VERDICT_TRANSFER_ERROR;
        else if (s.nDiag == DIAG_POWER_ON && frame[4] <= 1)
            verdict = VERDICT_NO_CARD;
        o.bPass = verdict == s.nExpectVerdict;
        if (!o.bPass)
            o.strMessage = std::string("expected verdict ") + VERDICT_NAMES[s.nExpectVerdict] +
                           ", got " + VERDICT_NAMES[verdict] + "; reply " + Hex(recvBuf, got);
        return o;
    }

    Outcome Pub(const ScriptStep& s) {
        PubRequest req;
        BuildPubRequest(s.pubInput, req);
        uint8_t sendBuf[PUB_BUFFER_SIZE];
        uint8_t recvBuf[PUB_BUFFER_SIZE];
        const int len = BuildFrame(req.machine, req.command, req.data, req.len, sendBuf);
        Outcome o;
        int got = 0;
        if (ExchangeJudged(s, sendBuf, recvBuf, PUB_BUFFER_SIZE, len, got, o))
            return o;
        const PubReply reply = DecodePubReply(req.command, recvBuf, got);
        if (reply.code != PUB_REPLY_OK) {
            o.strMessage = "expected a decoded reply, got " + reply.message.text + "; reply " +
                           Hex(recvBuf, got);
            return o;
        }
        std::string expected;
        std::string came;
        auto judge = [&](const char* field, const auto& want, const auto& have, auto show) {
            if (!want || (have && *have == *want))
                return;
            expected += (expected.empty() ? "" : ", ") + std::string(field) + " " + show(*want);
            came += (came.empty() ? "" : ", ") + std::string(field) + " " +
                    (have ? show(*have) : std::string("(none)"));
        };
        const auto text = [](const std::string& v) { return v; };
        const auto number = [](int v) { return std::to_string(v); };
        const PubExpect& e = s.pubExpect;
        judge("id", e.strId, reply.strId, text);
        judge("low_id", e.strLowId, reply.strLowId, text);
        judge("machine", e.nMachineNo, reply.nMachineNo, number);
        judge("type", e.strType, reply.strType, text);
        judge("version", e.strVersion, reply.strVersion, text);
        judge("done_time", e.strDoneTime, reply.strDoneTime, text);
        o.bPass = expected.empty();
        if (!o.bPass)
            o.strMessage =
                "expected " + expected + ", got " + came + "; reply " + Hex(recvBuf, got);
        return o;
    }

    Outcome Download(const ScriptStep& s) {
        FillDownloadJob(m_ch.Job(), s.strFilePath, s.nMachine, m_ch.Window());
        m_ch.File();
        const int result = static_cast<int>(m_ch.WaitFor(RC_DOWNLOAD_DONE).nValue);
        Outcome o;
        o.bPass = result == 0;
        if (!o.bPass)
            o.strMessage = "expected " + DownloadDoneText(0) + ", got " + DownloadDoneText(result);
        if (result == RES_SEND_FAILED || IsLineGone(result)) {
            o.bLineLost = true;
            o.strLost = DownloadDoneText(result);
        }
        return o;
    }

    CCliChannel& m_ch;
    const ChannelSpec& m_chan;
};

std::string Ms(double ms) {
    char text[32];
    std::snprintf(text, sizeof text, "%.3f", ms);
    return text;
}

void PrintResult(const StepResult& r) {
    std::string line = r.strName + " " + (r.bPass ? "PASS" : "FAIL") + " " +
                       (r.dReplyMs >= 0 ? Ms(r.dReplyMs) + " ms" : "-");
    if (!r.bPass)
        line += ": " + r.strMessage;
    std::printf("%s\n", line.c_str());
    std::fflush(stdout);
}

} // namespace

int RunScript(const ChannelSpec& chan, const Script& script, const RunOptions& opt) {
    const auto t0 = Clock::now();
    CCliChannel ch;
    if (!ch.Open(chan))
        return 1;
    CStepRunner runner(ch, chan);

    std::vector<int> runsOf(script.steps.size(), 0);
    std::vector<StepResult> results;
    std::string lost;
    bool bStopped = false;
    const size_t stepCount = script.steps.size();
    for (int round = 0; round < script.nRepeat && !bStopped && lost.empty(); ++round) {
        for (size_t i = 0; i < stepCount && !bStopped && lost.empty(); ++i) {
            const ScriptStep& s = script.steps[i];
            const long long total = static_cast<long long>(s.nRepeat) * script.nRepeat;
            for (int k = 0; k < s.nRepeat; ++k) {
                StepResult r;
                r.nStep = static_cast<int>(i);
                r.strName = s.strName;
                if (total > 1)
                    r.strName += " #" + std::to_string(++runsOf[i]);
                const auto start = Clock::now();
                const Outcome o = runner.Run(s);
                r.dElapsedMs =
                    std::chrono::duration<double, std::milli>(Clock::now() - start).count();
                r.bPass = o.bPass;
                r.dReplyMs = o.dReplyMs;
                r.strMessage = o.strMessage;
                PrintResult(r);
                results.push_back(r);
                if (o.bLineLost) {
                    lost = o.strLost;
                    break;
                }
                if (!o.bPass && opt.bStopOnFail) {
                    bStopped = true;
                    break;
                }
            }
        }
    }
    if (!lost.empty()) {
        // Every later step of the script fails once, with the reason.
        for (size_t i = static_cast<size_t>(results.back().nStep) + 1; i < stepCount; ++i) {
            StepResult r;
            r.nStep = static_cast<int>(i);
            r.strName = script.steps[i].strName;
            r.strMessage = "not run: the line to the terminal is gone (" + lost + ")";
            PrintResult(r);
            results.push_back(r);
        }
    }

    int passed = 0;
    for (const StepResult& r : results)
        passed += r.bPass ? 1 : 0;
    const int failed = static_cast<int>(results.size()) - passed;
    std::printf("\npassed %d, failed %d%s\n", passed, failed,
                bStopped ? " (stopped at the first failure)" : "");
    bool bHeader = false;
    for (size_t i = 0; i < stepCount; ++i) {
        std::vector<double> times;
        int runs = 0;
        for (const StepResult& r : results) {
            if (r.nStep != static_cast<int>(i))
                continue;
            ++runs;
            if (r.dReplyMs >= 0)
                times.push_back(r.dReplyMs);
        }
        if (runs < 2 || times.empty())
            continue;
        if (!bHeader) {
            std::printf("reply times (ms): runs, min, median, p95, max\n");
            bHeader = true;
        }
        const ReplyStats st = ComputeReplyStats(times);
        std::printf("%s: %d, %s, %s, %s, %s\n", script.steps[i].strName.c_str(), st.nRuns,
                    Ms(st.dMin).c_str(), Ms(st.dMedian).c_str(), Ms(st.dP95).c_str(),
                    Ms(st.dMax).c_str());
    }
    std::fflush(stdout);
    ch.Close();

    if (!opt.strJUnitPath.empty()) {
        const double seconds = std::chrono::duration<double>(Clock::now() - t0).count();
        std::string error;
        if (!WriteJUnitReport(opt.strJUnitPath, opt.strSuiteName, results, seconds, error)) {
            std::fprintf(stderr, "%s\n", error.c_str());
            return 1;
        }
    }
    return failed == 0 ? 0 : 1;
}
