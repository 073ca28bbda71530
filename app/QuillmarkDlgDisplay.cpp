// The console's result display: the worker's send, reply and raw-receive
// results, the receive and send windows, the counters.
#include "app/MessageBox.h"
#include "app/QuillmarkDlg.h"
#include "app/Resource.h"
#include "protocol/DisplayText.h"
#include "protocol/StatusText.h"

bool g_bConfirmPacket = false;

namespace {

const char* const SendFailedCaption = "失败";

} // namespace

void CQuillmarkDlg::ConnectDisplayHandlers() {
    OnClicked(IDC_CLEAR, [this] { OnClearDisplay(); });
    OnClicked(IDC_CLEAR_COUNT, [this] { OnClearCount(); });
}

void CQuillmarkDlg::OnSendResult(long value) {
    if (value != 0) {
        m_bJobPending = false;
        MessageBox(Text(SEND_FAILED_TEXT), Text(SendFailedCaption), MB_ICONEXCLAMATION);
        return;
    }
    // A send without a reply to wait for ends the job here.
    if (m_job.bNoReceive)
        m_bJobPending = false;
    ShowSent(m_sendBuf, m_job.nSendLen);
    m_nSendCount += m_job.nSendLen;
}

void CQuillmarkDlg::OnReceiveResult(long value) {
    m_bJobPending = false;
    const int n = static_cast<int>(value);
    m_strRecvStatus = Text(RecvStatusText(n));
    if (n > 0) {
        m_nRecvCount += n;
        ShowRecvFrame(m_recvBuf, n);
        return;
    }
    if (const char* appended = RecvErrorAppendText(n); *appended)
        AppendItemText(IDC_RECV, Text(appended));
    if (RecvErrorClearsPending(n))
        m_bWaitVersion = m_bWaitReaderId = m_bWaitPowerOn = m_bWaitPowerOff = 0;
}

void CQuillmarkDlg::OnRawReceiveResult(long value) {
    m_bJobPending = false;
    const int n = static_cast<int>(value);
    m_strRecvStatus = Text(RawRecvStatusText(n));
    if (n > 0) {
        m_nRecvCount += n;
        ShowRecvRaw(m_recvBuf, n);
    }
}

void CQuillmarkDlg::ShowRecvFrame(const uint8_t* bytes, int n) {
    if (MustEmptyWindow(DISPLAY_RECV_FRAME, GetLineCount(IDC_RECV)))
        SetItemText(IDC_RECV, Text(WINDOW_EMPTIED_TEXT));
    DiagPending pending{m_bWaitVersion != 0, m_bWaitReaderId != 0, m_bWaitPowerOn != 0,
                        m_bWaitPowerOff != 0};
    const RecvFrameText shown = FormatRecvFrame(bytes, n, pending);
    g_bConfirmPacket = shown.bConfirmPacket;
    m_bWaitVersion = m_bWaitReaderId = m_bWaitPowerOn = m_bWaitPowerOff = 0;
    AppendItemText(IDC_RECV, QString::fromStdString(shown.text));
}

void CQuillmarkDlg::ShowRecvRaw(const uint8_t* bytes, int n) {
    if (MustEmptyWindow(DISPLAY_RECV_RAW, GetLineCount(IDC_RECV)))
        SetItemText(IDC_RECV, Text(WINDOW_EMPTIED_TEXT));
    AppendItemText(IDC_RECV,
                   QString::fromStdString(FormatRecvRaw(bytes, n, GetLineCount(IDC_RECV))));
}

void CQuillmarkDlg::ShowSent(const uint8_t* bytes, int n) {
    if (MustEmptyWindow(DISPLAY_SENT, GetLineCount(IDC_SEND)))
        SetItemText(IDC_SEND, Text(WINDOW_EMPTIED_TEXT));
    AppendItemText(IDC_SEND, QString::fromStdString(FormatSent(bytes, n)));
}

void CQuillmarkDlg::OnClearDisplay() {
    for (int id : {IDC_RECV, IDC_SEND}) {
        SetSel(id, 0, -1);
        ReplaceSel(id, QString());
    }
}

void CQuillmarkDlg::OnClearCount() {
    m_nRecvCount = 0;
    m_nSendCount = 0;
    UpdateData(false);
}
