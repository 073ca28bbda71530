// The console's state without a window: what a worker result writes to the
// two windows, the counters, the receive status and the verdicts; which
// timed row a failed send ends; when a tick may file; where the job stands;
// what each link's status label says; the command clock.
#include <array>
#include <climits>
#include <cstring>
#include <functional>
#include <gtest/gtest.h>
#include <string>
#include <vector>

#include "FrameUtil.h"
#include "TempDir.h"
#include "TextUtil.h"
#include "comm/CaptureReader.h"
#include "comm/Notify.h"
#include "console/ConsoleState.h"
#include "protocol/DisplayText.h"
#include "protocol/Frame.h"

namespace {

// The windows as plain strings, line breaks shown as the widget shows them.
class FakeWindows : public CConsoleWindows {
  public:
    int LineCount(int window) const override { return WindowLineCount(m_text[window]); }
    void SetText(int window, const std::string& text) override { m_text[window] = text; }
    void Append(int window, const std::string& text) override { m_text[window] += text; }

    std::string Shown(int window) const {
        std::string out;
        for (char ch : m_text[window])
            if (ch != '\r')
                out += ch;
        return out;
    }
    void Clear() { m_text[WND_RECV].clear(), m_text[WND_SEND].clear(); }
    // A window of exactly n lines.
    void Fill(int window, int n) { m_text[window] = std::string(n - 1, '\n'); }

  private:
    std::string m_text[2];
};

int64_t g_nowMs = 0;
int64_t FakeNow() {
    return g_nowMs;
}

std::string Repeat(const std::string& s, int n) {
    std::string out;
    for (int i = 0; i < n; ++i)
        out += s;
    return out;
}

DiagPending AllPending() {
    return {true, true, true, true};
}

int PendingCount(const CConsoleState& state) {
    const DiagPending& p = state.Pending();
    return p.bWaitVersion + p.bWaitReaderId + p.bWaitPowerOn + p.bWaitPowerOff;
}

class ConsoleStateTest : public ::testing::Test {
  protected:
    ConsoleStateTest() : state((g_nowMs = 5'000'000'000, FakeNow)) { state.CreateEvents(); }

    // A result as the worker posts it, the bytes in the receive buffer.
    ResultActions Result(int code, long value, const std::vector<uint8_t>& bytes = {}) {
        if (!bytes.empty())
            std::memcpy(state.RecvBuf(), bytes.data(), bytes.size());
        return state.OnResult(code, value, windows);
    }
    // Files an exchange of the given request bytes as the console does.
    void File(const std::vector<uint8_t>& request, int row = ROW_NONE, bool timed = false) {
        std::memcpy(state.SendBuf(), request.data(), request.size());
        state.FileExchange(static_cast<int>(request.size()), row, timed, false, 1000, 100,
                           NO_WINDOW);
    }
    std::string Recv() const { return windows.Shown(WND_RECV); }
    std::string Sent() const { return windows.Shown(WND_SEND); }

    CConsoleState state;
    FakeWindows windows;
};

TEST_F(ConsoleStateTest, FrameLinesRunSixteenDataCellsALine) {
    Result(RC_RECEIVED, 10, {0xC2, 0x01, 0xE4, 0x00, 0x02, 0x12, 0x34, 0xAB, 0xCD, 0xC3});
    EXPECT_EQ(Recv(), "C2 01 E4 00 02 \n12 34 \nAB CD C3 \n\n");
    struct Case {
        int dataBytes;
        std::vector<size_t> dataLineCells;
    } cases[] = {{0, {}}, {1, {1}}, {16, {16}}, {17, {16, 1}}, {40, {16, 16, 8}}};
    for (const Case& c : cases) {
        SCOPED_TRACE(c.dataBytes);
        windows.Clear();
        const std::vector<uint8_t> reply =
            MakeReply(0x01, 0x00, std::vector<uint8_t>(c.dataBytes, 0x5A));
        Result(RC_RECEIVED, static_cast<long>(reply.size()), reply);
        const std::vector<std::string> lines = Lines(Recv());
        ASSERT_EQ(lines.size(), c.dataLineCells.size() + 3);
        EXPECT_EQ(lines[0].size(), 15u) << "header: five cells";
        for (size_t i = 0; i < c.dataLineCells.size(); ++i)
            EXPECT_EQ(lines[1 + i], Repeat("5A ", static_cast<int>(c.dataLineCells[i])));
        EXPECT_EQ(lines[lines.size() - 2].substr(6), "C3 ") << "trailer";
        EXPECT_EQ(lines.back(), "");
    }
    EXPECT_STREQ(state.RecvStatus(), "接收成功!");
}

TEST_F(ConsoleStateTest, AcknowledgementGetsItsOwnLineAndTheFlag) {
    const std::vector<uint8_t> reply = MakeReply(0x01, 0x00, {0x11, 0x22});
    const std::vector<uint8_t> both = Concat(AckBytes(), reply);
    Result(RC_RECEIVED, static_cast<long>(both.size()), both);
    const std::vector<std::string> lines = Lines(Recv());
    ASSERT_EQ(lines.size(), 5u);
    EXPECT_EQ(lines[0], "确认包：C2 FF AC 00 01 54 3C 51 C3 ");
    EXPECT_EQ(lines[1], "C2 01 00 00 02 ");
    EXPECT_EQ(lines[2], "11 22 ");
    EXPECT_EQ(lines[4], "");
    EXPECT_TRUE(g_bConfirmPacket);

    Result(RC_RECEIVED, static_cast<long>(reply.size()), reply);
    EXPECT_FALSE(g_bConfirmPacket);
}

TEST_F(ConsoleStateTest, TransferErrorFrameReplacesTheVerdicts) {
    state.SetPending(AllPending());
    const std::vector<uint8_t> frame(TransferErrorFrame, TransferErrorFrame + 9);
    Result(RC_RECEIVED, 9, frame);
    EXPECT_EQ(Recv(), "C2 FF CE 00 01 \nE6 \n0F 72 C3 \n\n通信线路异常，PC数据发送传输错误！\n\n");
    EXPECT_EQ(PendingCount(state), 0);
}

TEST_F(ConsoleStateTest, RawDumpsCarryTheWindowsAddressColumn) {
    Result(RC_RAW_RECEIVED, 5, {0xAA, 0xBB, 0xCC, 0xDD, 0xEE});
    EXPECT_EQ(Recv(), "AA BB CC DD EE    000F\n");

    windows.Clear();
    std::vector<uint8_t> bytes(17);
    for (int i = 0; i < 17; ++i)
        bytes[i] = static_cast<uint8_t>(i);
    Result(RC_RAW_RECEIVED, 17, bytes);
    Result(RC_RAW_RECEIVED, 1, {0x7E});
    const std::vector<std::string> lines = Lines(Recv());
    ASSERT_EQ(lines.size(), 3u);
    EXPECT_EQ(lines[0], "00 01 02 03 04 05 06 07 08 09 0A 0B 0C 0D 0E 0F    000F");
    EXPECT_EQ(lines[1], "10    001F");
    EXPECT_EQ(lines[2], "7E    002F");
    EXPECT_EQ(state.RecvCount(), 5 + 17 + 1);
}

TEST_F(ConsoleStateTest, WindowsAreEmptiedOnlyPastTheirLimits) {
    const std::string emptied = "*The Length of the Text is too long, Emptied Automaticly!*\n";
    const std::vector<uint8_t> reply = MakeReply(0x01, 0x00, {});
    struct Case {
        const char* name;
        int window;
        int lines;
        int code; // RC_RECEIVED, RC_RAW_RECEIVED, or RC_SENT
        bool emptied;
    } cases[] = {
        {"frame at 400", WND_RECV, 400, RC_RECEIVED, false},
        {"frame at 401", WND_RECV, 401, RC_RECEIVED, true},
        {"raw at 512", WND_RECV, 512, RC_RAW_RECEIVED, false},
        {"raw at 513", WND_RECV, 513, RC_RAW_RECEIVED, true},
        {"sent at 400", WND_SEND, 400, RC_SENT, false},
        {"sent at 401", WND_SEND, 401, RC_SENT, true},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        windows.Fill(c.window, c.lines);
        if (c.code == RC_SENT) {
            File(reply);
            Result(RC_SENT, 0);
        } else {
            Result(c.code, static_cast<long>(reply.size()), reply);
        }
        const std::string text = windows.Shown(c.window);
        EXPECT_EQ(text.rfind(emptied, 0) == 0, c.emptied);
        EXPECT_EQ(windows.LineCount(c.window) > c.lines, !c.emptied);
    }
}

TEST_F(ConsoleStateTest, ReceiveErrorsSetStatusAppendAndKeepOrDropVerdicts) {
    const std::string noAnswer =
        "\n读写器终端机无反应，请检查\n1、PC和读写器之间的物理连接；\n2、端口选择是否正确!\n";
    struct Case {
        long value;
        const char* status;
        std::string appended;
        bool kept;
    } cases[] = {
        {-10, "非Tavoframe88格式数据包!", "", true},
        {-9, "数据校验错误!", "通信线路异常，PC数据接收传输错误！\n\n", false},
        {-4, "接收数据超时!", "", true},
        {-2, "接收数据错!", "", true},
        {-6, "终端机无反应，接收失败!", noAnswer, false},
        {-16, "终端机无反应，接收失败!", noAnswer, false},
        {0, "终端机无反应，接收失败!", noAnswer, false},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.value);
        windows.Clear();
        state.SetPending(AllPending());
        Result(RC_RECEIVED, c.value);
        EXPECT_STREQ(state.RecvStatus(), c.status);
        EXPECT_EQ(Recv(), c.appended);
        EXPECT_EQ(PendingCount(state), c.kept ? 4 : 0);
    }
    EXPECT_EQ(state.RecvCount(), 0);
}

TEST_F(ConsoleStateTest, RawReceiveStatuses) {
    struct Case {
        long value;
        const char* status;
    } cases[] = {{0, "没有数据!"},
                 {-4, "接收数据超时!"},
                 {-2, "接收数据错!"},
                 {-15, "终端机无反应，接收失败!"}};
    for (const Case& c : cases) {
        SCOPED_TRACE(c.value);
        Result(RC_RAW_RECEIVED, c.value);
        EXPECT_STREQ(state.RecvStatus(), c.status);
    }
    EXPECT_EQ(Recv(), "");
}

TEST_F(ConsoleStateTest, SentBytesAndAFailedSend) {
    std::vector<uint8_t> request(17);
    for (int i = 0; i < 17; ++i)
        request[i] = static_cast<uint8_t>(0xA0 + i);
    File(request);
    EXPECT_FALSE(Result(RC_SENT, 0).bSendFailed);
    EXPECT_EQ(Sent(), "A0 A1 A2 A3 A4 A5 A6 A7 A8 A9 AA AB AC AD AE AF \nB0 \n");
    EXPECT_EQ(state.SendCount(), 17);
    EXPECT_TRUE(state.JobPending()) << "the reply is still awaited";

    File(request);
    const ResultActions failed = Result(RC_SENT, -3);
    EXPECT_TRUE(failed.bSendFailed);
    EXPECT_EQ(failed.nStoppedRow, ROW_NONE);
    EXPECT_FALSE(state.JobPending()) << "no reply follows a failed send";
    EXPECT_EQ(state.SendCount(), 17);
    EXPECT_EQ(Lines(Sent()).size(), 2u) << "the failed send added nothing";
}

// A failed send ends the timed row that filed it, and only that row; other
// endings of a job leave timed sending running.
TEST_F(ConsoleStateTest, FailedSendStopsOnlyTheRowThatFiledIt) {
    const std::vector<uint8_t> request = {0x01, 0x02};
    struct Case {
        const char* name;
        int filedBy;
        int code;
        long value;
        int stopped;
    } cases[] = {
        {"protocol tick fails", ROW_PROTOCOL, RC_SENT, -3, ROW_PROTOCOL},
        {"direct tick fails", ROW_DIRECT, RC_SENT, -1, ROW_DIRECT},
        {"click fails", ROW_NONE, RC_SENT, -3, ROW_NONE},
        {"tick sent", ROW_PROTOCOL, RC_SENT, 0, ROW_NONE},
        {"tick's reply times out", ROW_PROTOCOL, RC_RECEIVED, -4, ROW_NONE},
        {"tick's terminal silent", ROW_DIRECT, RC_RECEIVED, 0, ROW_NONE},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        state.SetRowOn(ROW_PROTOCOL, true);
        state.SetRowOn(ROW_DIRECT, true);
        File(request, c.filedBy);
        EXPECT_EQ(state.PendingRow(), c.filedBy);
        EXPECT_EQ(Result(c.code, c.value).nStoppedRow, c.stopped);
        EXPECT_EQ(state.RowOn(ROW_PROTOCOL), c.stopped != ROW_PROTOCOL);
        EXPECT_EQ(state.RowOn(ROW_DIRECT), c.stopped != ROW_DIRECT);
        if (state.JobPending())
            Result(RC_RECEIVED, 0);
        EXPECT_EQ(state.PendingRow(), ROW_NONE);
    }
}

TEST_F(ConsoleStateTest, TickFilesOnlyWhenRowRunsAndNothingHoldsTheConsole) {
    EXPECT_FALSE(state.TickMayFile(ROW_PROTOCOL, false)) << "row off";
    state.SetRowOn(ROW_PROTOCOL, true);
    EXPECT_TRUE(state.TickMayFile(ROW_PROTOCOL, false));
    EXPECT_FALSE(state.TickMayFile(ROW_DIRECT, false)) << "the other row is off";
    EXPECT_FALSE(state.TickMayFile(ROW_PROTOCOL, true)) << "a message box is open";
    EXPECT_FALSE(state.TickMayFile(ROW_NONE, false));

    File({0x01}, ROW_PROTOCOL);
    EXPECT_FALSE(state.TickMayFile(ROW_PROTOCOL, false)) << "the last job is pending";
    Result(RC_SENT, 0);
    Result(RC_RECEIVED, 0);
    EXPECT_TRUE(state.TickMayFile(ROW_PROTOCOL, false));

    state.LendJob();
    EXPECT_FALSE(state.TickMayFile(ROW_PROTOCOL, false)) << "a dialog holds the job";
    state.ReturnJob(NO_WINDOW);
    EXPECT_TRUE(state.TickMayFile(ROW_PROTOCOL, false));
}

// A dialog holding the record keeps it through whatever reaches the console
// meanwhile: a stray result, and the close-all a download ends with. A stop
// ends a filed job and a connect attempt.
TEST_F(ConsoleStateTest, StopEndsFiledJobsButNotALentRecord) {
    File({0x01}, ROW_DIRECT);
    state.StopWorker();
    EXPECT_FALSE(state.JobPending());
    EXPECT_EQ(state.PendingRow(), ROW_NONE);

    state.SetRowOn(ROW_DIRECT, true);
    state.LendJob();
    Result(RC_RECEIVED, 0);
    Result(RC_SENT, -3);
    EXPECT_TRUE(state.JobLent());
    state.StopWorker();
    EXPECT_TRUE(state.JobLent());
    EXPECT_FALSE(state.TickMayFile(ROW_DIRECT, false));
    state.ReturnJob(NO_WINDOW);
    EXPECT_FALSE(state.JobLent());
    EXPECT_TRUE(state.TickMayFile(ROW_DIRECT, false));

    state.SelectChannel(CH_TCP);
    ASSERT_EQ(state.OpenChannel(NO_WINDOW), 0);
    EXPECT_TRUE(state.WorkerRuns());
    EXPECT_FALSE(state.JobPending()) << "a connect attempt is no filed job";
    state.StopWorker();
    EXPECT_FALSE(state.WorkerRuns());
    EXPECT_FALSE(Result(RC_CONNECTED, CH_TCP).bConnectOutcome) << "from the stopped worker";
    EXPECT_FALSE(state.IsOpen(CH_TCP));
}

// Each link's label, step by step: the choice of a channel sets every label
// idle (the port's after the chosen one of serial and modem), a failed
// outcome of the awaited channel says so, an outcome for anything else is
// dropped, an open link shows its opening, the user's close says closed.
TEST_F(ConsoleStateTest, LinkLabelsFollowChoiceOutcomeAndClose) {
    struct Step {
        const char* name;
        std::function<void()> act;
        bool outcome; // the step's result was taken as a connect outcome
        std::array<const char*, LINK_COUNT> labels;
    };
    bool outcome = false;
    auto result = [&](int code, int channel) {
        return [&, code, channel] { outcome = Result(code, channel).bConnectOutcome; };
    };
    auto connect = [&] { ASSERT_EQ(state.OpenChannel(NO_WINDOW), 0); };
    const Step steps[] = {
        {"modem chosen",
         [&] { state.SelectChannel(CH_MODEM); },
         false,
         {"未连线", "未连接", "未绑定"}},
        {"hung up", [&] { state.CloseLink(LINK_PORT); }, false, {"已挂断!", "未连接", "未绑定"}},
        {"TCP chosen", [&] { state.SelectChannel(CH_TCP); }, false, {"未打开", "未连接", "未绑定"}},
        {"UDP closed", [&] { state.CloseLink(LINK_UDP); }, false, {"未打开", "未连接", "未绑定!"}},
        {"connecting", connect, false, {"未打开", "未连接", "未绑定!"}},
        {"UDP outcome", result(RC_CONNECT_FAILED, CH_UDP), false, {"未打开", "未连接", "未绑定!"}},
        {"TCP failed", result(RC_CONNECT_FAILED, CH_TCP), true, {"未打开", "连接失败!", "未绑定!"}},
        {"late outcome", result(RC_CONNECTED, CH_TCP), false, {"未打开", "连接失败!", "未绑定!"}},
        {"connecting again", connect, false, {"未打开", "连接失败!", "未绑定!"}},
        {"TCP connected", result(RC_CONNECTED, CH_TCP), true, {"未打开", "已连接!", "未绑定!"}},
        {"TCP closed", [&] { state.CloseLink(LINK_TCP); }, false, {"未打开", "未连接!", "未绑定!"}},
        {"serial chosen",
         [&] { state.SelectChannel(CH_SERIAL); },
         false,
         {"未打开", "未连接", "未绑定"}},
        {"closed", [&] { state.CloseLink(LINK_PORT); }, false, {"已关闭!", "未连接", "未绑定"}},
    };
    for (const Step& step : steps) {
        SCOPED_TRACE(step.name);
        outcome = false;
        step.act();
        EXPECT_EQ(outcome, step.outcome);
        for (int link = 0; link < LINK_COUNT; ++link)
            EXPECT_STREQ(state.LinkStatus(link), step.labels[link]) << link;
    }
    EXPECT_EQ(state.Label(LINK_PORT), LABEL_CLOSED);
    EXPECT_EQ(state.Label(LINK_TCP), LABEL_IDLE);
    EXPECT_FALSE(state.WorkerRuns());
    EXPECT_STREQ(state.LinkStatus(-1), "");
}

// The command clock counts from the state's creation, whatever the steady
// clock's origin, and what it shows always passes the field's 0..2^31-1
// read-back. Timed sends restart it; a direct send does not.
TEST_F(ConsoleStateTest, CommandClockCountsFromStartAndIsClamped) {
    g_nowMs += 1234;
    Result(RC_RAW_RECEIVED, 0);
    EXPECT_EQ(state.CmdTime(), 1234) << "before any timed send: time since the start";

    File({0x01}, ROW_NONE, true);
    g_nowMs += 7;
    Result(RC_SENT, 0);
    Result(RC_RECEIVED, 0);
    EXPECT_EQ(state.CmdTime(), 7);

    File({0x01}, ROW_NONE, false);
    g_nowMs += 5;
    Result(RC_SENT, 0);
    Result(RC_RECEIVED, 0);
    EXPECT_EQ(state.CmdTime(), 12) << "a direct send leaves the clock running";

    g_nowMs += int64_t{INT_MAX} + 1000;
    Result(RC_RAW_RECEIVED, 0);
    EXPECT_EQ(state.CmdTime(), INT_MAX);

    g_nowMs -= int64_t{INT_MAX} * 2;
    Result(RC_RAW_RECEIVED, 0);
    EXPECT_EQ(state.CmdTime(), 0) << "a clock that went back shows 0";
}

// A recording links every job filed from its start to one interface per
// channel; a stop unlinks the next job, and a file that cannot be created
// leaves the recording off.
TEST_F(ConsoleStateTest, RecordingLinksJobsToOneInterfacePerChannel) {
    TempDir dir;
    const std::string path = (dir.path / "c.pcapng").string();
    EXPECT_LT(state.StartCapture((dir.path / "no" / "c.pcapng").string()), 0);
    EXPECT_FALSE(state.CaptureOn());

    ASSERT_EQ(state.StartCapture(path), 0);
    EXPECT_TRUE(state.CaptureOn());
    EXPECT_EQ(state.CapturePath(), path);
    File({0x01});
    EXPECT_NE(state.Job().capture.pWriter, nullptr);
    EXPECT_EQ(state.Job().capture.nInterface, 0);
    Result(RC_SENT, 0);
    Result(RC_RECEIVED, 0);
    File({0x02});
    EXPECT_EQ(state.Job().capture.nInterface, 0) << "same channel, same interface";
    Result(RC_SENT, 0);
    Result(RC_RECEIVED, 0);
    state.SelectChannel(CH_UDP);
    File({0x03});
    EXPECT_EQ(state.Job().capture.nInterface, 1);

    // Stopped while that job is in flight: its writer stays valid, closed.
    EXPECT_EQ(state.StopCapture(), 0);
    EXPECT_FALSE(state.CaptureOn());
    ASSERT_NE(state.Job().capture.pWriter, nullptr);
    EXPECT_FALSE(state.Job().capture.pWriter->IsOpen());
    Result(RC_SENT, 0);
    Result(RC_RECEIVED, 0);
    EXPECT_EQ(state.Job().capture.pWriter, nullptr) << "freed once the job ended";
    File({0x04});
    EXPECT_EQ(state.Job().capture.pWriter, nullptr);

    Capture capture;
    std::string error;
    ASSERT_EQ(LoadCapture(path, capture, error), CAPTURE_READ_OK) << error;
    ASSERT_EQ(capture.interfaces.size(), 2u);
    EXPECT_EQ(capture.interfaces[0].strName.rfind("TCP ", 0), 0u) << capture.interfaces[0].strName;
    EXPECT_EQ(capture.interfaces[1].strName.rfind("UDP ", 0), 0u) << capture.interfaces[1].strName;
}

} // namespace
