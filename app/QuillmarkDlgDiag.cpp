// The console's diagnostic buttons: one fixed request each, and the verdict
// the next shown frame is to get.
#include "app/QuillmarkDlg.h"
#include "app/Resource.h"
#include "protocol/Diagnostics.h"

void CQuillmarkDlg::ConnectDiagHandlers() {
    OnClicked(IDC_VERSION, [this] { OnVersion(); });
    OnClicked(IDC_READER_ID, [this] { OnReaderId(); });
    OnClicked(IDC_POWER_ON, [this] { OnPowerOn(); });
    OnClicked(IDC_POWER_OFF, [this] { OnPowerOff(); });
    OnClicked(IDC_SET_PCSC, [this] { OnSetPcsc(); });
    OnClicked(IDC_CANCEL_PCSC, [this] { OnCancelPcsc(); });
}

// A command never sent waits for no verdict: the request is built only once
// nothing can refuse it.
void CQuillmarkDlg::RunDiag(int cmd) {
    if (RefuseNotConnected() || JobPending())
        return;
    FileExchange(m_state.BuildDiagRequest(cmd), true);
}

void CQuillmarkDlg::OnVersion() {
    RunDiag(DIAG_VERSION);
}

void CQuillmarkDlg::OnReaderId() {
    RunDiag(DIAG_READER_ID);
}

void CQuillmarkDlg::OnPowerOn() {
    RunDiag(DIAG_POWER_ON);
}

void CQuillmarkDlg::OnPowerOff() {
    RunDiag(DIAG_POWER_OFF);
}

void CQuillmarkDlg::OnSetPcsc() {
    RunDiag(DIAG_PCSC_SET);
}

void CQuillmarkDlg::OnCancelPcsc() {
    RunDiag(DIAG_PCSC_CLEAR);
}
