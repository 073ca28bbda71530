// The console's send panel: protocol and direct sends, timed sending, the
// hex fields' filters and the receive button.
#include <QKeyEvent>
#include <algorithm>

#include "app/DataExchange.h"
#include "app/MessageBox.h"
#include "app/QuillmarkDlg.h"
#include "app/Resource.h"
#include "protocol/SendPanel.h"
#include "protocol/StatusText.h"

namespace {

namespace txt {
const std::string BadCommand = std::string("命令字(HEX):") + SEND_BAD_COMMAND_TEXT;
const char* const ProtocolOdd = "输入数据(HEX):输入字符个数为奇数个，请重新输入!";
const char* const ProtocolBadChar = "输入数据(HEX):第%d个字符不是合法的16进制字符，请重新输入";
const char* const ProtocolTooLong =
    "输入数据(HEX):数据不能超过288字节(带序号时287字节)，请重新输入!";
const char* const DirectOdd = "输入数据:输入字符个数为奇数个，请重新输入!";
const char* const DirectBadChar = "输入数据:第%d个字符不是合法的16进制字符，请重新输入";
const char* const DirectTooLong = "输入数据:输入字符个数不能超过599个，请重新输入!";
const char* const DirectTooManyBytes = "输入数据:发送的字节数超过600字节的缓冲区，请重新输入!";
const char* const PeriodRange = "请把定时频率限定在1-10000毫秒/次";
const char* const NoConnection = "对不起,您还没有建立起任何有效的通信连接!";
const char* const TimerFailed = "设置定时器失败!";
const char* const AutoReceive = "自动接收";
const char* const ManualReceive = "手动接收";
} // namespace txt

// 输入数据(HEX) this long gets the caret at its end after a change.
constexpr int CaretToEndLength = 128;
constexpr int PeriodMin = 1;
constexpr int PeriodMax = 10000;

} // namespace

const CQuillmarkDlg::TimedRowControls CQuillmarkDlg::ROW_CONTROLS[ROW_DIRECT + 1] = {
    {0, 0, 0, nullptr},
    {IDC_PROTOCOL_TIMED, IDC_PROTOCOL_PERIOD, FG_PROTOCOL_ROW, &CQuillmarkDlg::SendByProtocol},
    {IDC_DIRECT_TIMED, IDC_DIRECT_PERIOD, FG_DIRECT_ROW, &CQuillmarkDlg::SendDirect},
};

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

bool CQuillmarkDlg::RefuseNotConnected() {
    if (m_state.ChannelOpen())
        return false;
    // A tick on a closed channel ends its row, so the warning comes once.
    if (m_nTickRow != ROW_NONE)
        StopTimedRow(m_nTickRow);
    const int channel = m_state.Channel();
    if (const char* text = NotConnectedText(channel))
        MessageBox(Text(text), Text(CAPTION_WARNING), MB_ICONEXCLAMATION);
    const int link = LinkOf(channel);
    FocusItem(LINK_PANELS[link >= 0 ? link : LINK_PORT].nOpen);
    return true;
}

void CQuillmarkDlg::SetTimedRow(int row, bool on) {
    m_state.SetRowOn(row, on);
    CheckItem(ROW_CONTROLS[row].nBox, on);
    m_rows[row].bTimed = on;
}

void CQuillmarkDlg::StopTimedRow(int row) {
    SetTimedRow(row, false);
    KillTimer(row);
}

// Every close ends timed sending: both timers, both boxes, both fields.
void CQuillmarkDlg::StopTimedSending() {
    bool anyOn = false;
    for (int row : {ROW_PROTOCOL, ROW_DIRECT})
        anyOn = anyOn || IsItemChecked(ROW_CONTROLS[row].nBox) || m_state.RowOn(row);
    if (!anyOn)
        return;
    for (int row : {ROW_PROTOCOL, ROW_DIRECT})
        StopTimedRow(row);
    FocusItem(IDC_PROTOCOL_PERIOD);
}

bool CQuillmarkDlg::ReadSendFields(unsigned groups) {
    const int tick = m_nTickRow;
    if (tick == ROW_NONE)
        return ReadFields(groups);
    SetTimedRow(tick, false);
    if (!ReadFields(groups)) {
        KillTimer(tick);
        return false;
    }
    SetTimedRow(tick, true);
    return true;
}

void CQuillmarkDlg::RefuseInput(int row, const QString& text, int fieldId, bool writeBack) {
    if (m_state.RowOn(row))
        StopTimedRow(row);
    MessageBox(text, Text(CAPTION_WARNING));
    if (writeBack)
        UpdateData(false);
    FocusItem(fieldId);
    SetSel(fieldId, 0, -1);
}

void CQuillmarkDlg::FileExchange(int sendLen, bool timed) {
    m_state.FileExchange(sendLen, m_nTickRow, timed, m_bManualReceive, m_nFirstCharTimeout,
                         m_nInterCharTimeout, GetSafeHwnd());
}

void CQuillmarkDlg::SendByProtocol() {
    if (RefuseNotConnected() || JobPending())
        return;
    if (!ReadSendFields(FG_PROTOCOL | FG_TIMEOUTS))
        return;
    int badPos = 0;
    const int len = m_state.BuildProtocolRequest(m_nMachineNo, m_strCommand.toStdString(),
                                                 m_strProtocolData.toStdString(), badPos);
    switch (len) {
    case SEND_BAD_COMMAND:
        RefuseInput(ROW_PROTOCOL, Text(txt::BadCommand), IDC_COMMAND);
        return;
    case SEND_ODD_LENGTH:
        RefuseInput(ROW_PROTOCOL, Text(txt::ProtocolOdd), IDC_PROTOCOL_DATA, true);
        return;
    case SEND_BAD_CHAR:
        RefuseInput(ROW_PROTOCOL, QString::asprintf(txt::ProtocolBadChar, badPos),
                    IDC_PROTOCOL_DATA);
        return;
    case SEND_TOO_LONG:
        RefuseInput(ROW_PROTOCOL, Text(txt::ProtocolTooLong), IDC_PROTOCOL_DATA);
        return;
    default:
        break;
    }
    if (len <= 0)
        return;
    FileExchange(len, true);
}

void CQuillmarkDlg::SendDirect() {
    if (RefuseNotConnected() || JobPending())
        return;
    if (!ReadSendFields(FG_DIRECT | FG_TIMEOUTS))
        return;
    int badPos = 0;
    const int n = m_state.BuildDirectRequest(m_strDirectData.toStdString(), m_bHexSend,
                                             m_bSendNewLine, badPos);
    switch (n) {
    case SEND_ODD_LENGTH:
        RefuseInput(ROW_DIRECT, Text(txt::DirectOdd), IDC_DIRECT_DATA);
        return;
    case SEND_BAD_CHAR:
        RefuseInput(ROW_DIRECT, QString::asprintf(txt::DirectBadChar, badPos), IDC_DIRECT_DATA);
        return;
    case SEND_TOO_LONG:
        RefuseInput(ROW_DIRECT, Text(txt::DirectTooLong), IDC_DIRECT_DATA);
        return;
    case SEND_TOO_MANY_BYTES:
        RefuseInput(ROW_DIRECT, Text(txt::DirectTooManyBytes), IDC_DIRECT_DATA);
        return;
    default:
        break;
    }
    if (n < 0)
        return;
    FileExchange(n, false);
}

void CQuillmarkDlg::OnTimer(int id) {
    if (id != ROW_PROTOCOL && id != ROW_DIRECT)
        return;
    if (!m_state.TickMayFile(id, OpenMessageBoxes() > 0))
        return;
    m_nTickRow = id;
    (this->*ROW_CONTROLS[id].pSend)();
    m_nTickRow = ROW_NONE;
}

void CQuillmarkDlg::ToggleTimedRow(int row) {
    const TimedRowControls& controls = ROW_CONTROLS[row];
    ReadFields(controls.nFields);
    if (!IsItemChecked(controls.nBox)) {
        StopTimedRow(row);
        return;
    }
    if (!m_state.AnyChannelOpen()) {
        MessageBox(Text(txt::NoConnection), Text(CAPTION_NO_CONNECTION), MB_ICONEXCLAMATION);
        SetTimedRow(row, false);
        FocusItem(controls.nPeriod);
        return;
    }
    // The system's timers run at least every millisecond.
    const int period = std::max(m_rows[row].nPeriod, 1);
    if (SetTimer(row, period) == 0) {
        SetTimedRow(row, false);
        MessageBox(Text(txt::TimerFailed), Text(CAPTION_FAILED));
        return;
    }
    SetTimedRow(row, true);
}

void CQuillmarkDlg::OnTimedProtocolSend() {
    ToggleTimedRow(ROW_PROTOCOL);
}

void CQuillmarkDlg::OnTimedDirectSend() {
    ToggleTimedRow(ROW_DIRECT);
}

void CQuillmarkDlg::CheckPeriod(int row) {
    const TimedRowControls& controls = ROW_CONTROLS[row];
    if (!ReadFields(controls.nFields))
        return;
    const int period = m_rows[row].nPeriod;
    if (period >= PeriodMin && period <= PeriodMax)
        return;
    MessageBox(Text(txt::PeriodRange), Text(CAPTION_HINT), MB_ICONEXCLAMATION);
    FocusItem(controls.nPeriod);
    SetSel(controls.nPeriod, 0, -1);
}

void CQuillmarkDlg::CheckProtocolPeriod() {
    CheckPeriod(ROW_PROTOCOL);
}

void CQuillmarkDlg::CheckDirectPeriod() {
    CheckPeriod(ROW_DIRECT);
}

// Only this field is read: reading every field at each keystroke would raise
// the range message of an unrelated field while typing here. Lengths count
// characters.
void CQuillmarkDlg::FilterHexField(int fieldId, QString& member, int& length) {
    const int previous = length;
    member = GetItemText(fieldId);
    length = static_cast<int>(member.size());
    if (FirstNonHexChar(member.toStdString()) >= 0) {
        RefuseKey(HEX_KEY_TEXT);
        // What was just added at the end goes; the deletion runs the filter
        // again on the shorter text, which then deletes nothing.
        if (previous < length) {
            SetSel(fieldId, previous, length);
            ReplaceSel(fieldId, QString());
        }
        return;
    }
    if (fieldId != IDC_PROTOCOL_DATA)
        return;
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
    const char32_t ch = TypedChar(*key);
    if (!filtered || ch == 0 || HexKeyAllowed(ch))
        return false;
    RefuseKey(HEX_KEY_TEXT);
    return true;
}

void CQuillmarkDlg::OnReceive() {
    if (RefuseNotConnected() || JobPending())
        return;
    m_state.FileRawReceive(m_nFirstCharTimeout, m_nInterCharTimeout, GetSafeHwnd());
}

void CQuillmarkDlg::OnReceiveModeToggle() {
    m_bManualReceive = IsItemChecked(IDC_MANUAL_RECEIVE);
    SetItemText(IDC_RECEIVE, Text(m_bManualReceive ? txt::ManualReceive : txt::AutoReceive));
}
