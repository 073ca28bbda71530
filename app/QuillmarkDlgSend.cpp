// The console's send panel: protocol and direct sends, timed sending, the
// hex fields' filters and the receive button.
#include <QKeyEvent>
#include <algorithm>

#include "app/MessageBox.h"
#include "app/QuillmarkDlg.h"
#include "app/Resource.h"
#include "protocol/SendPanel.h"
#include "protocol/StatusText.h"

uint8_t g_nSeqNo = SEQ_NO_FIRST;

namespace {

namespace txt {
const char* const Warning = "警告";
const char* const Hint = "提示";
const char* const Failed = "失败";
const char* const NoConnectionCaption = "失败提示";
const char* const BadCommand = "命令字(HEX):请输入2位合法的16进制字符!!!";
const char* const ProtocolOdd = "输入数据(HEX):输入字符个数为奇数个，请重新输入!";
const char* const ProtocolBadChar = "输入数据(HEX):第%d个字符不是合法的16进制字符，请重新输入";
const char* const ProtocolTooLong =
    "输入数据(HEX):数据不能超过288字节(带序号时287字节)，请重新输入!";
const char* const DirectOdd = "输入数据:输入字符个数为奇数个，请重新输入!";
const char* const DirectBadChar = "输入数据:第%d个字符不是合法的16进制字符，请重新输入";
const char* const DirectTooLong = "输入数据:输入字符个数不能超过599个，请重新输入!";
const char* const PeriodRange = "请把定时频率限定在1-10000毫秒/次";
const char* const NoConnection = "对不起,您还没有建立起任何有效的通信连接!";
const char* const TimerFailed = "设置定时器失败!";
const char* const AutoReceive = "自动接收";
const char* const ManualReceive = "手动接收";
} // namespace txt

// Fields this long get the caret at their end after a change.
constexpr int CaretToEndLength = 128;
constexpr int PeriodMin = 1;
constexpr int PeriodMax = 10000;

// The open/connect/bind button that takes the focus after a not-connected
// warning, by channel.
int ConnectButtonOf(int channel) {
    switch (channel) {
    case CH_TCP:
        return IDC_TCP_CONNECT;
    case CH_UDP:
        return IDC_UDP_BIND;
    default:
        return IDC_OPEN_PORT;
    }
}

} // namespace

void CQuillmarkDlg::ConnectSendHandlers() {
    OnClicked(IDC_PROTOCOL_SEND, [this] { SendByProtocol(); });
    OnClicked(IDC_DIRECT_SEND, [this] { SendDirect(); });
    OnClicked(IDC_PROTOCOL_TIMED, [this] { OnTimedProtocolSend(); });
    OnClicked(IDC_DIRECT_TIMED, [this] { OnTimedDirectSend(); });
    OnClicked(IDC_RECEIVE, [this] { OnReceive(); });
    OnClicked(IDC_MANUAL_RECEIVE, [this] { OnReceiveModeToggle(); });
    OnEditChange(IDC_PROTOCOL_DATA, [this] { OnProtocolDataChange(); });
    OnEditChange(IDC_DIRECT_DATA, [this] { OnDirectDataChange(); });
    OnKillFocus(IDC_PROTOCOL_PERIOD, [this] { CheckProtocolPeriod(); });
    OnKillFocus(IDC_DIRECT_PERIOD, [this] { CheckDirectPeriod(); });
}

bool CQuillmarkDlg::ChannelOpen() const {
    switch (m_nChannel) {
    case CH_SERIAL:
    case CH_MODEM:
        return m_bPortOpen != 0;
    case CH_TCP:
        return m_bTcpConnected != 0;
    case CH_UDP:
        return m_bUdpBound != 0;
    default:
        return false;
    }
}

bool CQuillmarkDlg::RefuseNotConnected(int timerId) {
    if (ChannelOpen())
        return false;
    // A tick on a closed channel ends its row, so the warning comes once.
    if (timerId != 0)
        StopTimedRow(timerId);
    if (const char* text = NotConnectedText(m_nChannel))
        MessageBox(Text(text), Text(txt::Warning), MB_ICONEXCLAMATION);
    FocusItem(ConnectButtonOf(m_nChannel));
    return true;
}

void CQuillmarkDlg::SetTimedRow(int timerId, bool on) {
    if (timerId == TIMER_PROTOCOL_SEND) {
        CheckItem(IDC_PROTOCOL_TIMED, on);
        m_bProtocolTimed = on;
        m_bProtocolTimerOn = on ? 1 : 0;
    } else {
        CheckItem(IDC_DIRECT_TIMED, on);
        m_bDirectTimed = on;
        m_bDirectTimerOn = on ? 1 : 0;
    }
}

void CQuillmarkDlg::StopTimedRow(int timerId) {
    SetTimedRow(timerId, false);
    KillTimer(timerId);
}

// A tick's row counts as stopped while the fields are read, so that a range
// message comes after its timed sending has ended.
bool CQuillmarkDlg::ReadSendFields(int tick) {
    if (tick == 0)
        return UpdateData(true);
    SetTimedRow(tick, false);
    if (!UpdateData(true)) {
        KillTimer(tick);
        return false;
    }
    SetTimedRow(tick, true);
    return true;
}

void CQuillmarkDlg::RefuseInput(const QString& text, int fieldId, bool writeBack) {
    const int rowTimer = fieldId == IDC_DIRECT_DATA ? TIMER_DIRECT_SEND : TIMER_PROTOCOL_SEND;
    if (rowTimer == TIMER_PROTOCOL_SEND ? m_bProtocolTimerOn : m_bDirectTimerOn)
        StopTimedRow(rowTimer);
    MessageBox(text, Text(txt::Warning));
    if (writeBack)
        UpdateData(false);
    FocusItem(fieldId);
    SetSel(fieldId, 0, -1);
}

void CQuillmarkDlg::FileJob(int operation, int sendLen) {
    if (operation == OP_RAW_RECEIVE)
        FillRawReceiveJob(m_job, m_recvBuf, FRAME_BUF_SIZE, GetSafeHwnd());
    else
        FillExchangeJob(m_job, m_sendBuf, FRAME_BUF_SIZE, sendLen, m_recvBuf, FRAME_BUF_SIZE,
                        m_bManualReceive != 0, GetSafeHwnd());
    m_job.nFirstCharTimeout = m_nFirstCharTimeout;
    m_job.nInterCharTimeout = m_nInterCharTimeout;
    m_bJobPending = true;
    m_job.hJobEvent->Set();
}

void CQuillmarkDlg::SendByProtocol() {
    const int tick = m_nTickTimer;
    if (RefuseNotConnected(tick) || JobPending())
        return;
    if (!ReadSendFields(tick))
        return;
    const QByteArray command = m_strCommand.toUtf8();
    const QByteArray data = m_strProtocolData.toUtf8();
    int badPos = 0;
    const int len = BuildProtocolSend(static_cast<uint8_t>(m_nMachineNo), command.toStdString(),
                                      data.toStdString(), g_bConfirmPacket, g_nSeqNo, m_sendBuf,
                                      FRAME_BUF_SIZE, badPos);
    switch (len) {
    case SEND_BAD_COMMAND:
        RefuseInput(Text(txt::BadCommand), IDC_COMMAND);
        return;
    case SEND_ODD_LENGTH:
        RefuseInput(Text(txt::ProtocolOdd), IDC_PROTOCOL_DATA, true);
        return;
    case SEND_BAD_CHAR:
        RefuseInput(QString::asprintf(txt::ProtocolBadChar, badPos), IDC_PROTOCOL_DATA);
        return;
    case SEND_TOO_LONG:
        RefuseInput(Text(txt::ProtocolTooLong), IDC_PROTOCOL_DATA);
        return;
    default:
        break;
    }
    if (len <= 0)
        return;
    StartCmdClock();
    FileJob(OP_EXCHANGE, len);
}

void CQuillmarkDlg::SendDirect() {
    const int tick = m_nTickTimer;
    if (RefuseNotConnected(tick) || JobPending())
        return;
    if (!ReadSendFields(tick))
        return;
    const QByteArray text = m_strDirectData.toUtf8();
    int badPos = 0;
    const int n = BuildDirectSend(text.toStdString(), m_bHexSend, m_bSendNewLine, m_sendBuf,
                                  FRAME_BUF_SIZE, badPos);
    switch (n) {
    case SEND_ODD_LENGTH:
        RefuseInput(Text(txt::DirectOdd), IDC_DIRECT_DATA);
        return;
    case SEND_BAD_CHAR:
        RefuseInput(QString::asprintf(txt::DirectBadChar, badPos), IDC_DIRECT_DATA);
        return;
    case SEND_TOO_LONG:
        RefuseInput(Text(txt::DirectTooLong), IDC_DIRECT_DATA);
        return;
    default:
        break;
    }
    if (n < 0)
        return;
    FileJob(OP_EXCHANGE, n);
}

void CQuillmarkDlg::OnTimer(int id) {
    if (id != TIMER_PROTOCOL_SEND && id != TIMER_DIRECT_SEND)
        return;
    // A tick that comes while the previous one still shows a message, or
    // while a dialog holds the job record, is skipped: ticks never pile up
    // behind a modal box.
    const bool on = id == TIMER_PROTOCOL_SEND ? m_bProtocolTimerOn : m_bDirectTimerOn;
    if (m_nTickTimer != 0 || !on || m_bJobLent)
        return;
    m_nTickTimer = id;
    if (id == TIMER_PROTOCOL_SEND)
        SendByProtocol();
    else
        SendDirect();
    m_nTickTimer = 0;
}

void CQuillmarkDlg::ToggleTimedRow(int timerId) {
    const bool protocol = timerId == TIMER_PROTOCOL_SEND;
    const int boxId = protocol ? IDC_PROTOCOL_TIMED : IDC_DIRECT_TIMED;
    UpdateData(true);
    if (!IsItemChecked(boxId)) {
        StopTimedRow(timerId);
        return;
    }
    if (!m_bPortOpen && !m_bTcpConnected && !m_bUdpBound) {
        MessageBox(Text(txt::NoConnection), Text(txt::NoConnectionCaption), MB_ICONEXCLAMATION);
        SetTimedRow(timerId, false);
        FocusItem(protocol ? IDC_PROTOCOL_PERIOD : IDC_DIRECT_PERIOD);
        return;
    }
    // The system's timers run at least every millisecond.
    const int period = std::max(protocol ? m_nProtocolPeriod : m_nDirectPeriod, 1);
    if (SetTimer(timerId, period) == 0) {
        SetTimedRow(timerId, false);
        MessageBox(Text(txt::TimerFailed), Text(txt::Failed));
        return;
    }
    SetTimedRow(timerId, true);
}

void CQuillmarkDlg::OnTimedProtocolSend() {
    ToggleTimedRow(TIMER_PROTOCOL_SEND);
}

void CQuillmarkDlg::OnTimedDirectSend() {
    ToggleTimedRow(TIMER_DIRECT_SEND);
}

void CQuillmarkDlg::CheckPeriod(int fieldId, int period) {
    if (period >= PeriodMin && period <= PeriodMax)
        return;
    MessageBox(Text(txt::PeriodRange), Text(txt::Hint), MB_ICONEXCLAMATION);
    FocusItem(fieldId);
    SetSel(fieldId, 0, -1);
}

void CQuillmarkDlg::CheckProtocolPeriod() {
    if (UpdateData(true))
        CheckPeriod(IDC_PROTOCOL_PERIOD, m_nProtocolPeriod);
}

void CQuillmarkDlg::CheckDirectPeriod() {
    if (UpdateData(true))
        CheckPeriod(IDC_DIRECT_PERIOD, m_nDirectPeriod);
}

// Only this field is read: reading every field at each keystroke would raise
// the range message of an unrelated field while typing here.
void CQuillmarkDlg::FilterHexField(int fieldId, QString& member, int& length) {
    const int previous = length;
    member = GetItemText(fieldId);
    length = static_cast<int>(member.size());
    const QByteArray bytes = member.toUtf8();
    if (FirstNonHexChar(bytes.toStdString()) >= 0) {
        RefuseKey(HEX_KEY_TEXT);
        // What was just added at the end goes; the deletion runs the filter
        // again on the shorter text, which then deletes nothing.
        if (previous < length) {
            SetSel(fieldId, previous, length);
            ReplaceSel(fieldId, QString());
        }
        return;
    }
    if (fieldId == IDC_PROTOCOL_DATA)
        SetItemText(IDC_DATA_LEN, length % 2 == 0 ? QString::number(length / 2) : QString());
    if (length >= CaretToEndLength)
        SetSel(fieldId, length, length);
}

void CQuillmarkDlg::OnProtocolDataChange() {
    FilterHexField(IDC_PROTOCOL_DATA, m_strProtocolData, m_nProtocolDataLen);
}

void CQuillmarkDlg::OnDirectDataChange() {
    FilterHexField(IDC_DIRECT_DATA, m_strDirectData, m_nDirectDataLen);
}

bool CQuillmarkDlg::PreTranslateMessage(QWidget* control, QEvent* event) {
    if (event->type() != QEvent::KeyPress)
        return false;
    auto* key = static_cast<QKeyEvent*>(event);
    if (key->modifiers() & Qt::ControlModifier)
        return false;
    const int id = GetDlgCtrlID(control);
    const bool filtered =
        id == IDC_PROTOCOL_DATA || (id == IDC_DIRECT_DATA && IsItemChecked(IDC_HEX_SEND));
    const QString text = key->text();
    // Keys without a character (arrows, Delete) are not character messages.
    if (!filtered || text.isEmpty())
        return false;
    if (HexKeyAllowed(text.at(0).unicode()))
        return false;
    RefuseKey(HEX_KEY_TEXT);
    return true;
}

void CQuillmarkDlg::OnReceive() {
    if (RefuseNotConnected(0) || JobPending())
        return;
    FileJob(OP_RAW_RECEIVE, 0);
}

void CQuillmarkDlg::OnReceiveModeToggle() {
    const bool manual = IsItemChecked(IDC_MANUAL_RECEIVE);
    m_bManualReceive = manual ? 1 : 0;
    SetItemText(IDC_RECEIVE, Text(manual ? txt::ManualReceive : txt::AutoReceive));
}
