// `quillmark-cli run`'s steps: each is filed through the worker as the
// console files it, its reply judged against the script, its reply time
// taken from the worker's stamps around the exchange.
#include "cli/StepRun.h"

#include <algorithm>
#include <chrono>
#include <cstring>
#include <optional>
#include <thread>
#include <vector>

#include "comm/CommThread.h"
#include "protocol/Diagnostics.h"
#include "protocol/Download.h"
#include "protocol/Frame.h"
#include "protocol/StatusText.h"

namespace {

StepOutcome Passed() {
    StepOutcome o;
    o.bPass = true;
    return o;
}

// Hex cells as a message shows them: "(none)" for no bytes.
std::string OrNone(std::string hex) {
    return hex.empty() ? "(none)" : hex;
}

std::string Hex(const uint8_t* bytes, int n) {
    return OrNone(HexCells(bytes, n));
}

std::string ByteHex(int value) {
    const uint8_t byte = static_cast<uint8_t>(value);
    return HexCells(&byte, 1);
}

// "; reply C2 ...": the whole reply behind a judgement.
std::string ReplyTail(const uint8_t* reply, int n) {
    return "; reply " + Hex(reply, n);
}

// "expected WANT, got GOT": how every failed judgement reads.
std::string Mismatch(const std::string& want, const std::string& got) {
    return "expected " + want + ", got " + got;
}

std::string FieldText(const std::string& value) {
    return value;
}

std::string FieldText(int value) {
    return std::to_string(value);
}

// The fields of a reply judged one by one: those that differ are listed
// side by side in one mismatch text.
class CFieldJudge {
  public:
    void Differs(const std::string& field, const std::string& want, const std::string& got) {
        m_strWant += (m_strWant.empty() ? "" : ", ") + field + " " + want;
        m_strGot += (m_strGot.empty() ? "" : ", ") + field + " " + got;
    }

    // Judges a field when want holds a value; a field the reply lacks
    // shows as "(none)".
    template <typename T>
    void Judge(const std::string& field, const std::optional<T>& want,
               const std::optional<T>& have) {
        if (want && !(have && *have == *want))
            Differs(field, FieldText(*want), have ? FieldText(*have) : "(none)");
    }

    bool Passed() const { return m_strWant.empty(); }

    std::string Text() const { return Mismatch(m_strWant, m_strGot); }

  private:
    std::string m_strWant;
    std::string m_strGot;
};

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
        return code == RES_NO_START || (channel == CH_UDP && code == RES_UDP_RECV_FAILED);
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

void LoseLine(StepOutcome& o, const std::string& why) {
    o.bLineLost = true;
    o.strLost = why;
}

// The reply frame itself: on serial an acknowledgement stays in front.
void SkipAck(const uint8_t*& frame, int& n) {
    const int ackLen = LeadingAckLength(frame, n, FRAME_OVERHEAD);
    frame += ackLen;
    n -= ackLen;
}

// The UDP reader hands datagrams over unchecked: a reply is judged only
// when it is one whole frame with its checksum right. Returns n, or -10
// (not a frame, a wrong end byte included) or -9 (checksum) as the
// byte-stream readers would.
int CheckReply(const uint8_t* buf, int n) {
    const uint8_t* frame = buf;
    int len = n;
    SkipAck(frame, len);
    const int rc = CheckReplyFrame(frame, len, RES_NOT_FRAME);
    return rc < 0 ? rc : n;
}

StepOutcome SendFailed(int code) {
    StepOutcome o;
    o.strMessage = Mismatch("the request sent", std::to_string(code) + " " + SEND_FAILED_TEXT);
    LoseLine(o, o.strMessage);
    return o;
}

class CStepRunner {
  public:
    explicit CStepRunner(CCliChannel& ch) : m_ch(ch) {}

    StepOutcome Run(const ScriptStep& s) {
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
                        int len, int& got, StepOutcome& o) {
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

    // Judges a reply read that gave got bytes into reply, or a code, when
    // it failed or the step expects an error. Returns true when judged.
    bool JudgeError(const ScriptStep& s, int got, const uint8_t* reply, StepOutcome& o) const {
        const int code = got > 0 ? CheckReply(reply, got) : got;
        const std::string bytes = got > 0 ? ReplyTail(reply, got) : "";
        if (s.nExpectError != EXPECT_NO_ERROR) {
            o.bPass = code <= 0 && IsExpectedError(s.nExpectError, code, m_ch.Channel());
            if (!o.bPass)
                o.strMessage =
                    Mismatch(EXPECTED_ERROR_NAMES[s.nExpectError],
                             code > 0 ? "the reply " + Hex(reply, got) : CodeText(code) + bytes);
        } else if (code <= 0) {
            o.strMessage = Mismatch("a reply", CodeText(code) + bytes);
        } else {
            return false;
        }
        if (!o.bPass && IsLineGone(code))
            LoseLine(o, CodeText(code));
        return true;
    }

    StepOutcome Exchange(const ScriptStep& s) {
        uint8_t sendBuf[CLI_BUFFER_SIZE];
        uint8_t recvBuf[CLI_BUFFER_SIZE];
        const int dataLen = static_cast<int>(s.data.size());
        const int len = BuildFrame(static_cast<uint8_t>(s.nMachine), s.nCommand, s.data.data(),
                                   dataLen, sendBuf);
        StepOutcome o;
        int got = 0;
        if (ExchangeJudged(s, sendBuf, recvBuf, CLI_BUFFER_SIZE, len, got, o))
            return o;
        const uint8_t* frame = recvBuf;
        int n = got;
        SkipAck(frame, n);
        const int status = frame[2];
        const int length = frame[3] * 256 + frame[4];
        const int dataCount = std::min(length, n - FRAME_OVERHEAD);
        CFieldJudge judge;
        if (s.nExpectStatus && *s.nExpectStatus != status)
            judge.Differs("status", ByteHex(*s.nExpectStatus), ByteHex(status));
        if (s.nExpectLength && *s.nExpectLength != length)
            judge.Differs("length", std::to_string(*s.nExpectLength), std::to_string(length));
        if (s.expectData && !Matches(*s.expectData, frame + 5, dataCount))
            judge.Differs("data", OrNone(PatternText(*s.expectData)), Hex(frame + 5, dataCount));
        o.bPass = judge.Passed();
        if (!o.bPass)
            o.strMessage = judge.Text() + ReplyTail(recvBuf, got);
        return o;
    }

    StepOutcome Raw(const ScriptStep& s) {
        uint8_t sendBuf[CLI_BUFFER_SIZE];
        std::vector<uint8_t> bytes = s.rawBytes;
        if (s.bCr)
            bytes.push_back(0x0D);
        std::copy(bytes.begin(), bytes.end(), sendBuf);
        int sent = 0;
        FileExchange(s, sendBuf, CLI_BUFFER_SIZE, static_cast<int>(bytes.size()), nullptr, 0, sent);
        if (sent != 0)
            return SendFailed(sent);
        if (!s.expectRaw && s.nExpectError == EXPECT_NO_ERROR)
            return Passed();
        const int64_t sentUs = m_ch.Job().nSendDoneUs;
        const RawCollected got = m_ch.CollectRaw(s.nFirstChar, s.nInterChar);
        const int n = static_cast<int>(got.bytes.size());
        StepOutcome o;
        if (n > 0)
            o.dReplyMs = static_cast<double>(got.nLastBytesUs - sentUs) / 1000.0;
        if (s.nExpectError != EXPECT_NO_ERROR) {
            // Nothing arriving is the raw form of no reply.
            const int code = n > 0 ? n : got.nLast == 0 ? RES_NO_START : got.nLast;
            o.bPass = n == 0 && IsExpectedError(s.nExpectError, code, m_ch.Channel());
            if (!o.bPass)
                o.strMessage =
                    Mismatch(EXPECTED_ERROR_NAMES[s.nExpectError],
                             n > 0 ? "bytes " + Hex(got.bytes.data(), n) : CodeText(code));
        } else {
            o.bPass = Matches(*s.expectRaw, got.bytes.data(), n);
            if (!o.bPass)
                o.strMessage = Mismatch("bytes " + OrNone(PatternText(*s.expectRaw)),
                                        n > 0            ? Hex(got.bytes.data(), n)
                                        : got.nLast == 0 ? std::string("nothing")
                                                         : CodeText(got.nLast));
        }
        if (!o.bPass && n == 0 && IsLineGone(got.nLast))
            LoseLine(o, CodeText(got.nLast));
        return o;
    }

    StepOutcome Diag(const ScriptStep& s) {
        uint8_t sendBuf[CLI_BUFFER_SIZE];
        uint8_t recvBuf[CLI_BUFFER_SIZE];
        const int len = BuildDiagFrame(s.nDiag, sendBuf);
        StepOutcome o;
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
            o.strMessage = Mismatch(std::string("verdict ") + VERDICT_NAMES[s.nExpectVerdict],
                                    VERDICT_NAMES[verdict]) +
                           ReplyTail(recvBuf, got);
        return o;
    }

    StepOutcome Pub(const ScriptStep& s) {
        PubRequest req;
        BuildPubRequest(s.pubInput, req);
        uint8_t sendBuf[PUB_BUFFER_SIZE];
        uint8_t recvBuf[PUB_BUFFER_SIZE];
        const int len = BuildFrame(req.machine, req.command, req.data, req.len, sendBuf);
        StepOutcome o;
        int got = 0;
        if (ExchangeJudged(s, sendBuf, recvBuf, PUB_BUFFER_SIZE, len, got, o))
            return o;
        const PubReply reply = DecodePubReply(req.command, recvBuf, got);
        if (reply.code != PUB_REPLY_OK) {
            o.strMessage =
                Mismatch("a decoded reply", reply.message.text) + ReplyTail(recvBuf, got);
            return o;
        }
        CFieldJudge judge;
        for (const PubExpectField& f : PUB_EXPECT_FIELDS) {
            if (f.number.expect != nullptr)
                judge.Judge(f.key, s.pubExpect.*f.number.expect, reply.*f.number.reply);
            else
                judge.Judge(f.key, s.pubExpect.*f.text.expect, reply.*f.text.reply);
        }
        o.bPass = judge.Passed();
        if (!o.bPass)
            o.strMessage = judge.Text() + ReplyTail(recvBuf, got);
        return o;
    }

    StepOutcome Download(const ScriptStep& s) {
        FillDownloadJob(m_ch.Job(), s.strFilePath, s.nMachine, m_ch.Window());
        m_ch.File();
        const int result = static_cast<int>(m_ch.WaitFor(RC_DOWNLOAD_DONE).nValue);
        StepOutcome o;
        o.bPass = result == 0;
        if (!o.bPass)
            o.strMessage = Mismatch(DownloadDoneText(0), DownloadDoneText(result));
        if (result == RES_SEND_FAILED || IsLineGone(result))
            LoseLine(o, DownloadDoneText(result));
        return o;
    }

    CCliChannel& m_ch;
};

} // namespace

StepOutcome RunStep(CCliChannel& ch, const ScriptStep& s) {
    return CStepRunner(ch).Run(s);
}
