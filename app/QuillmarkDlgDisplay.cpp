// The console's result display: the worker's results go to the state, which
// writes the receive and send windows through this adapter.
#include "app/MessageBox.h"
#include "app/QuillmarkDlg.h"
#include "app/Resource.h"
#include "protocol/ResultCodes.h"
#include "protocol/StatusText.h"

namespace {

// The two hex windows of a console as the state writes to them.
class CWindowAdapter : public CConsoleWindows {
  public:
    explicit CWindowAdapter(CDialogBase& dlg) : m_dlg(dlg) {}
    int LineCount(int window) const override { return m_dlg.GetLineCount(Id(window)); }
    void SetText(int window, const std::string& text) override {
        m_dlg.SetItemText(Id(window), Text(text));
    }
    void Append(int window, const std::string& text) override {
        m_dlg.AppendItemText(Id(window), Text(text));
    }

  private:
    static int Id(int window) { return window == WND_SEND ? IDC_SEND : IDC_RECV; }
    CDialogBase& m_dlg;
};

} // namespace

void CQuillmarkDlg::ConnectDisplayHandlers() {
    OnClicked(IDC_CLEAR, [this] { OnClearDisplay(); });
    OnClicked(IDC_CLEAR_COUNT, [this] { OnClearCount(); });
}

void CQuillmarkDlg::OnCommResult(int code, long value) {
    CWindowAdapter windows(*this);
    const ResultActions actions = m_state.OnResult(code, value, windows);
    if (actions.bConnectOutcome)
        OnConnectOutcome(code, static_cast<int>(value));
    // The failed send's row ends before its one message.
    if (actions.nStoppedRow != ROW_NONE)
        StopTimedRow(actions.nStoppedRow);
    RefreshFields();
    if (m_state.CaptureError() != 0)
        ShowCaptureStatus();
    // A result may come while the user has a box open: its box waits.
    if (actions.bSendFailed)
        MessageBoxWhenFree(this, Text(SEND_FAILED_TEXT), Text(CAPTION_FAILED), MB_ICONEXCLAMATION);
}

void CQuillmarkDlg::OnClearDisplay() {
    for (int id : {IDC_RECV, IDC_SEND}) {
        SetSel(id, 0, -1);
        ReplaceSel(id, QString());
    }
}

void CQuillmarkDlg::OnClearCount() {
    m_state.ClearCounts();
    UpdateData(false);
}
