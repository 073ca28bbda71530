#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "FrameUtil.h"
#include "protocol/DisplayText.h"

namespace {

// "%02X " cells of bytes.
std::string Cells(const std::vector<uint8_t>& b, size_t from = 0, size_t count = SIZE_MAX) {
    static const char DIGITS[] = "0123456789ABCDEF";
    std::string s;
    for (size_t i = from; i < b.size() && i - from < count; ++i) {
        s += DIGITS[b[i] >> 4];
        s += DIGITS[b[i] & 0x0F];
        s += ' ';
    }
    return s;
}

std::vector<uint8_t> Sequence(int n) {
    std::vector<uint8_t> v(n);
    for (int i = 0; i < n; ++i)
        v[i] = static_cast<uint8_t>(i);
    return v;
}

std::string Frame(const std::vector<uint8_t>& f, DiagPending& pending) {
    return FormatRecvFrame(f.data(), static_cast<int>(f.size()), pending).text;
}

std::string Frame(const std::vector<uint8_t>& f) {
    DiagPending none;
    return Frame(f, none);
}

const char VERSION_OK[] = "成功获取读写器固件版本，读写器与PC直接连接正常！\r\n\r\n";
const char READER_ID_OK[] = "成功获取读写器终端ID，读写器与PC直接连接正常！\r\n\r\n";
const char POWER_ON_OK[] = "卡片上电成功，读写器与探针板连接正常！\r\n\r\n";
const char NO_CARD[] = "未发现卡片或不可识别卡，请检查读写器与探针板连接！\r\n\r\n";
const char POWER_OFF_OK[] = "卡片下电成功！\r\n\r\n";
const char SEND_DAMAGED[] = "通信线路异常，PC数据发送传输错误！\r\n\r\n";
const char RECV_DAMAGED[] = "通信线路异常，PC数据接收传输错误！\r\n\r\n";
const char NO_RESPONSE[] = "\r\n读写器终端机无反应，请检查\r\n1、PC和读写器之间的物理连接；\r\n"
                           "2、端口选择是否正确!\r\n";

TEST(FormatRecvFrame, TenByteReplyIsFourLines) {
    const std::vector<uint8_t> f = {0xC2, 0x01, 0xE4, 0x00, 0x02, 0x12, 0x34, 0xAB, 0xCD, 0xC3};
    DiagPending pending;
    const RecvFrameText t = FormatRecvFrame(f.data(), 10, pending);
    EXPECT_EQ(t.text, "C2 01 E4 00 02 \r\n12 34 \r\nAB CD C3 \r\n\r\n");
    EXPECT_FALSE(t.bConfirmPacket);
    EXPECT_FALSE(t.bTransferError);
}

TEST(FormatRecvFrame, DataRunsSixteenCellsALine) {
    struct Case {
        int dataLen;
        std::vector<int> lineCells; // cells per data line
    } cases[] = {{0, {}}, {1, {1}}, {16, {16}}, {17, {16, 1}}, {40, {16, 16, 8}}};
    for (const auto& c : cases) {
        const std::vector<uint8_t> data = Sequence(c.dataLen);
        const std::vector<uint8_t> f = MakeReply(3, 0, data);
        std::string expected = Cells(f, 0, 5);
        size_t at = 0;
        for (int cells : c.lineCells) {
            expected += "\r\n" + Cells(data, at, cells);
            at += cells;
        }
        expected += "\r\n" + Cells(f, f.size() - 3) + "\r\n\r\n";
        EXPECT_EQ(Frame(f), expected) << c.dataLen << " data bytes";
    }
}

TEST(FormatRecvFrame, AcknowledgementGetsItsOwnLine) {
    const std::vector<uint8_t> reply = MakeReply(1, 0, {0x11, 0x22});
    const std::vector<uint8_t> f = Concat(AckBytes(), reply);
    DiagPending pending;
    const RecvFrameText t = FormatRecvFrame(f.data(), static_cast<int>(f.size()), pending);
    EXPECT_EQ(t.text, "确认包：C2 FF AC 00 01 54 3C 51 C3 \r\nC2 01 00 00 02 \r\n11 22 \r\n" +
                          Cells(reply, reply.size() - 3) + "\r\n\r\n");
    EXPECT_TRUE(t.bConfirmPacket);

    const std::vector<uint8_t> plain = MakeReply(1, 0, {0x11, 0x22});
    EXPECT_FALSE(FormatRecvFrame(plain.data(), 10, pending).bConfirmPacket);
}

TEST(FormatRecvFrame, TransferErrorFrameReplacesTheVerdict) {
    const std::vector<uint8_t> f(TransferErrorFrame, TransferErrorFrame + 9);
    DiagPending pending;
    pending.bWaitVersion = true;
    const RecvFrameText t = FormatRecvFrame(f.data(), 9, pending);
    EXPECT_EQ(t.text, std::string("C2 FF CE 00 01 \r\nE6 \r\n0F 72 C3 \r\n\r\n") + SEND_DAMAGED);
    EXPECT_TRUE(t.bTransferError);
    EXPECT_FALSE(AnyDiagPending(pending));
}

TEST(FormatRecvFrame, VerdictsFollowTheDumpAndClearTheFlags) {
    struct Case {
        DiagPending pending;
        std::vector<uint8_t> frame;
        std::string verdicts;
    } cases[] = {
        {{true, false, false, false}, MakeReply(0xFF, 0, {1, 2, 3}), VERSION_OK},
        {{false, true, false, true},
         MakeReply(0xFF, 0, {}),
         std::string(READER_ID_OK) + POWER_OFF_OK},
        {{false, false, true, false}, MakeReply(0xFF, 0, {0x3B}), NO_CARD},
        {{false, false, true, false}, MakeReply(0xFF, 0, Sequence(13)), POWER_ON_OK},
        // Only the low byte of the length counts: 257 bytes look like one.
        {{false, false, true, false}, MakeReply(0xFF, 0, Sequence(257)), NO_CARD},
        // Behind an acknowledgement the second frame's length is the one tested.
        {{false, false, true, false},
         Concat(AckBytes(), MakeReply(0xFF, 0, Sequence(13))),
         POWER_ON_OK},
        {{true, true, true, true},
         MakeReply(0xFF, 0, Sequence(2)),
         std::string(VERSION_OK) + READER_ID_OK + POWER_ON_OK + POWER_OFF_OK},
        {{}, MakeReply(0xFF, 0, {}), ""},
    };
    for (auto& c : cases) {
        DiagPending none;
        const std::string dump = Frame(c.frame, none);
        EXPECT_EQ(Frame(c.frame, c.pending), dump + c.verdicts);
        EXPECT_FALSE(AnyDiagPending(c.pending));
    }
}

TEST(FormatRecvFrame, PiecesShorterThanAFrameAreOneLine) {
    // Unchecked datagrams can be short; nothing past n may be read (exact-size vectors).
    const std::vector<uint8_t> five = {0xC2, 0x01, 0x02, 0x03, 0x04};
    EXPECT_EQ(Frame(five), "C2 01 02 03 04 \r\n\r\n");
    const std::vector<uint8_t> one = {0x7E};
    EXPECT_EQ(Frame(one), "7E \r\n\r\n");

    const std::vector<uint8_t> ackAndThree = Concat(AckBytes(), {0xAA, 0xBB, 0xCC});
    DiagPending pending;
    pending.bWaitPowerOn = true;
    const RecvFrameText t =
        FormatRecvFrame(ackAndThree.data(), static_cast<int>(ackAndThree.size()), pending);
    EXPECT_EQ(t.text,
              "确认包：C2 FF AC 00 01 54 3C 51 C3 \r\nAA BB CC \r\n\r\n" + std::string(NO_CARD));
    EXPECT_TRUE(t.bConfirmPacket);
}

TEST(FormatRecvFrame, StaleBufferBytesPastTheReplyAreIgnored) {
    // A 5-byte piece in a buffer that still holds the end of an acknowledgement.
    std::vector<uint8_t> buf = AckBytes();
    DiagPending pending;
    const RecvFrameText t = FormatRecvFrame(buf.data(), 5, pending);
    EXPECT_FALSE(t.bConfirmPacket);
    EXPECT_EQ(t.text, "C2 FF AC 00 01 \r\n\r\n");
}

TEST(FormatRecvFrame, NothingToShowKeepsThePendingFlags) {
    DiagPending pending;
    pending.bWaitReaderId = true;
    const uint8_t b = 0;
    EXPECT_EQ(FormatRecvFrame(&b, 0, pending).text, "");
    EXPECT_TRUE(pending.bWaitReaderId);
}

// The console's handling of RC_RECEIVED, as the console and the tool do it.
void Receive(int value, const std::vector<uint8_t>& f, DiagPending& pending, std::string& window) {
    if (value > 0) {
        window += FormatRecvFrame(f.data(), value, pending).text;
        return;
    }
    window += RecvErrorAppendText(value);
    if (RecvErrorClearsPending(value))
        pending = DiagPending{};
}

TEST(ReceiveErrors, ChecksumDropsAPendingVerdictEndByteErrorKeepsIt) {
    const std::vector<uint8_t> reply = MakeReply(0xFF, 0, {0x01, 0x02});
    const std::string dump = Frame(reply);

    DiagPending pending;
    SetDiagPending(DIAG_VERSION, pending);
    std::string window;
    Receive(RES_CHECKSUM, {}, pending, window);
    Receive(static_cast<int>(reply.size()), reply, pending, window);
    EXPECT_EQ(window, RECV_DAMAGED + dump);

    SetDiagPending(DIAG_VERSION, pending);
    window.clear();
    Receive(RES_NOT_FRAME, {}, pending, window);
    Receive(static_cast<int>(reply.size()), reply, pending, window);
    EXPECT_EQ(window, dump + VERSION_OK);
}

TEST(ReceiveErrors, StatusAppendedTextAndPendingFlags) {
    struct Case {
        int value;
        const char* status;
        const char* appended;
        bool clears;
    } cases[] = {
        {12, "接收成功!", "", false},
        {RES_NOT_FRAME, "非Tavoframe88格式数据包!", "", false},
        {RES_CHECKSUM, "数据校验错误!", RECV_DAMAGED, true},
        {RES_INTER_TIMEOUT, "接收数据超时!", "", false},
        {RES_RECV_ERROR, "接收数据错!", "", false},
        {RES_NO_START, "终端机无反应，接收失败!", NO_RESPONSE, true},
        {RES_PEER_CLOSED, "终端机无反应，接收失败!", NO_RESPONSE, true},
        {RES_CONN_LOST, "终端机无反应，接收失败!", NO_RESPONSE, true},
        {0, "终端机无反应，接收失败!", NO_RESPONSE, true},
    };
    for (const auto& c : cases) {
        EXPECT_STREQ(RecvStatusText(c.value), c.status) << c.value;
        EXPECT_STREQ(RecvErrorAppendText(c.value), c.appended) << c.value;
        EXPECT_EQ(RecvErrorClearsPending(c.value), c.clears) << c.value;
    }
}

TEST(ReceiveErrors, RawReceiveStatus) {
    struct Case {
        int value;
        const char* status;
    } cases[] = {{5, "接收成功!"},
                 {0, "没有数据!"},
                 {RES_UDP_RECV_FAILED, "接收数据超时!"},
                 {RES_RECV_ERROR, "接收数据错!"},
                 {RES_CHECKSUM, "终端机无反应，接收失败!"},
                 {RES_NO_START, "终端机无反应，接收失败!"}};
    for (const auto& c : cases)
        EXPECT_STREQ(RawRecvStatusText(c.value), c.status) << c.value;
}

TEST(FormatRecvRaw, AddressColumnCountsTheWindowsLines) {
    const std::vector<uint8_t> five = Sequence(5);
    EXPECT_EQ(FormatRecvRaw(five.data(), 5, 1), "00 01 02 03 04    000F\r\n");
    EXPECT_EQ(FormatRecvRaw(five.data(), 5, 0), "00 01 02 03 04    000F\r\n");

    const std::vector<uint8_t> b = Sequence(17);
    std::string window;
    window += FormatRecvRaw(b.data(), 17, WindowLineCount(window));
    EXPECT_EQ(window, Cells(b, 0, 16) + "   000F\r\n10    001F\r\n");
    EXPECT_EQ(WindowLineCount(window), 3);
    EXPECT_EQ(FormatRecvRaw(b.data(), 1, WindowLineCount(window)), "00    002F\r\n");
}

TEST(FormatRecvRaw, ExactLinesAndWrapAt16Bits) {
    const std::vector<uint8_t> b = Sequence(32);
    EXPECT_EQ(FormatRecvRaw(b.data(), 32, 1),
              Cells(b, 0, 16) + "   000F\r\n" + Cells(b, 16, 16) + "   001F\r\n");
    // 4096 lines reach FFFF; the next line's offset wraps to 000F.
    EXPECT_EQ(FormatRecvRaw(b.data(), 17, 4096), Cells(b, 0, 16) + "   FFFF\r\n10    000F\r\n");
    EXPECT_EQ(FormatRecvRaw(b.data(), 0, 1), "");
}

TEST(FormatSent, SixteenCellsALineThenALineBreak) {
    const std::vector<uint8_t> frame = {0xC0, 0xFF, 0xE4, 0x00, 0x00, 0xC2, 0x8C, 0xC1};
    EXPECT_EQ(FormatSent(frame.data(), 8), "C0 FF E4 00 00 C2 8C C1 \r\n");
    const std::vector<uint8_t> b = Sequence(33);
    EXPECT_EQ(FormatSent(b.data(), 33),
              Cells(b, 0, 16) + "\r\n" + Cells(b, 16, 16) + "\r\n" + Cells(b, 32) + "\r\n");
    EXPECT_EQ(FormatSent(b.data(), 16), Cells(b, 0, 16) + "\r\n");
    EXPECT_EQ(FormatSent(nullptr, 0), "\r\n");
}

TEST(WindowLimits, EmptiedOnlyAboveTheLimit) {
    struct Case {
        int kind;
        int lines;
        bool empty;
    } cases[] = {
        {DISPLAY_RECV_FRAME, 400, false},
        {DISPLAY_RECV_FRAME, 401, true},
        {DISPLAY_RECV_RAW, 512, false},
        {DISPLAY_RECV_RAW, 513, true},
        {DISPLAY_SENT, 400, false},
        {DISPLAY_SENT, 401, true},
        {7, 100000, false},
    };
    for (const auto& c : cases)
        EXPECT_EQ(MustEmptyWindow(c.kind, c.lines), c.empty) << c.kind << " " << c.lines;
}

TEST(WindowLimits, EmptiedWindowHoldsOneLineAndItsBreak) {
    EXPECT_STREQ(WINDOW_EMPTIED_TEXT,
                 "*The Length of the Text is too long, Emptied Automaticly!*\r\n");
    EXPECT_EQ(WindowLineCount(""), 1);
    EXPECT_EQ(WindowLineCount(WINDOW_EMPTIED_TEXT), 2);
    // A raw dump right after emptying continues from the emptying line.
    const uint8_t b = 0x55;
    EXPECT_EQ(FormatRecvRaw(&b, 1, WindowLineCount(WINDOW_EMPTIED_TEXT)), "55    001F\r\n");
}

} // namespace
