#include "app/PubFunsDlg.h"

#include <QKeyEvent>
#include <algorithm>

#include "app/DataExchange.h"
#include "app/MessageBox.h"
#include "app/PubFunsIds.h"
#include "app/Resource.h"
#include "protocol/Frame.h"
#include "ui_PubFunsDlg.h"

namespace {

constexpr int ID_MAX_CHARS = 8;
constexpr int MACHINE_NO_MAX_CHARS = 3;
constexpr int LOW_ID_MAX_CHARS = 2;

std::string Chars(const QString& s) {
    return s.toLatin1().toStdString();
}

} // namespace

CPubFunsDlg::CPubFunsDlg(QWidget* parent, CommJob& job) : CDialogBase(parent), m_job(job) {
    LoadTemplate<Ui::PubFunsDlg>();
    OnClicked(IDC_PUB_EXECUTE, [this] { OnExecute(); });
    OnSelChange(IDC_PUB_COMMAND, [this] { OnCommandChange(); });
    OnKillFocus(IDC_PUB_MACHINE_NO, [this] { OnMachineNoKillFocus(); });
}

CPubFunsDlg::~CPubFunsDlg() {
    // The record must not keep pointing into buffers that go with the dialog.
    if (m_bCommandRuns)
        return;
    if (m_job.pSendBuf == m_sendBuf) {
        m_job.pSendBuf = nullptr;
        m_job.nSendBufSize = 0;
    }
    if (m_job.pRecvBuf == m_recvBuf) {
        m_job.pRecvBuf = nullptr;
        m_job.nRecvBufSize = 0;
    }
}

void CPubFunsDlg::showEvent(QShowEvent* event) {
    CDialogBase::showEvent(event);
    OnShowWindow();
}

void CPubFunsDlg::OnShowWindow() {
    m_nCommand = PUB_DEFAULT_COMMAND;
    SetCurSel(IDC_PUB_COMMAND, m_nCommand);
}

void CPubFunsDlg::DoDataExchange(CDataExchange& dx) {
    dx.CBIndex(IDC_PUB_COMMAND, m_nCommand);
    dx.Text(IDC_PUB_ID, m_strId, ID_MAX_CHARS);
    dx.Text(IDC_PUB_MACHINE_NO, m_strMachineNo, MACHINE_NO_MAX_CHARS);
    dx.Text(IDC_PUB_LOW_ID, m_strLowId, LOW_ID_MAX_CHARS);
    dx.Text(IDC_PUB_TYPE, m_strType);
    dx.Text(IDC_PUB_VERSION, m_strVersion);
    dx.Text(IDC_PUB_DONE_TIME, m_strDoneTime);
    dx.CBIndex(IDC_PUB_RATE, m_nRate);
}

bool CPubFunsDlg::ReadFields() {
    if (!UpdateData(true))
        return false;
    m_nMachineNo = m_strMachineNo.toInt();
    return true;
}

void CPubFunsDlg::Show(const PubMessage& message) {
    if (message.text.empty())
        return;
    // A command's result may come while a box is open: its box waits.
    MessageBoxWhenFree(this, Text(message.text), QString::fromUtf8(message.caption),
                       message.bInformation ? MB_ICONINFORMATION : MB_ICONEXCLAMATION);
    // The message names the control by its identifier.
    if (message.nFocus != PUB_FIELD_NONE) {
        FocusItem(PubFieldControl(message.nFocus));
        SetSel(PubFieldControl(message.nFocus), 0, -1);
    }
}

void CPubFunsDlg::OnCommandChange() {
    if (!PubCommandAddressesAll(GetCurSel(IDC_PUB_COMMAND)))
        return;
    m_strMachineNo = QString::fromLatin1(PUB_DEFAULT_MACHINE_NO);
    SetItemText(IDC_PUB_MACHINE_NO, m_strMachineNo);
}

void CPubFunsDlg::OnMachineNoKillFocus() {
    if (!ReadFields())
        return;
    if (CheckPubMachineNo(m_nMachineNo) != PUB_INPUT_OK)
        Show(PubInputMessage(PUB_BAD_MACHINE_NO));
}

bool CPubFunsDlg::CheckId() {
    if (!ReadFields())
        return false;
    const int rc = CheckPubId(Chars(m_strId));
    if (rc == PUB_INPUT_OK)
        return true;
    Show(PubInputMessage(rc));
    return false;
}

void CPubFunsDlg::OnExecute() {
    if (m_bCommandRuns || m_job.hJobEvent == nullptr)
        return;
    if (!ReadFields())
        return;
    if ((m_nCommand == PUB_SET_ID || m_nCommand == PUB_SET_MACHINE_BY_ID) && !CheckId())
        return;

    PubInput in;
    in.nCommand = m_nCommand;
    in.strId = Chars(m_strId);
    in.nMachineNo = m_nMachineNo;
    in.strLowId = Chars(m_strLowId);
    in.nRate = m_nRate;
    PubRequest req;
    if (int rc = BuildPubRequest(in, req); rc != PUB_INPUT_OK) {
        Show(PubInputMessage(rc));
        return;
    }
    const int len = BuildFrame(req.machine, req.command, req.data, req.len, m_sendBuf);

    FillExchangeJob(m_job, m_sendBuf, PUB_BUFFER_SIZE, len, m_recvBuf, PUB_BUFFER_SIZE, false,
                    GetSafeHwnd());
    m_job.nFirstCharTimeout = PUB_TIMEOUT_MS;
    m_job.nInterCharTimeout = PUB_TIMEOUT_MS;
    m_nLastCommand = req.command;
    m_bCommandRuns = true;
    m_job.hJobEvent->Set();
}

void CPubFunsDlg::OnCommResult(int code, long value) {
    // Only the exchange this dialog filed reports here with it running.
    if (!m_bCommandRuns || (code != RC_SENT && code != RC_RECEIVED))
        return;
    if (code == RC_SENT && value == 0)
        return;
    m_bCommandRuns = false;
    if (m_bClosePending) {
        EndDialog(m_nCloseResult);
        return;
    }
    if (code == RC_SENT) {
        Show(PubSendResultMessage(static_cast<int>(value)));
    } else if (value > 0) {
        const int len = static_cast<int>(std::min<long>(value, PUB_BUFFER_SIZE));
        if (!ShowReply(len))
            return;
    } else {
        Show(PubRecvErrorMessage(static_cast<int>(value)));
    }
    m_strMachineNo = QString::number(m_nMachineNo);
    UpdateData(false);
}

bool CPubFunsDlg::ShowReply(int len) {
    const PubReply reply = DecodePubReply(m_nLastCommand, m_recvBuf, len);
    if (reply.code == PUB_REPLY_STATUS_ERROR) {
        Show(reply.message);
        return false;
    }
    if (reply.strId)
        m_strId = Text(*reply.strId);
    if (reply.strLowId)
        m_strLowId = Text(*reply.strLowId);
    if (reply.nMachineNo)
        m_nMachineNo = *reply.nMachineNo;
    if (reply.strType)
        m_strType = Text(*reply.strType);
    if (reply.strVersion)
        m_strVersion = Text(*reply.strVersion);
    if (reply.strDoneTime)
        m_strDoneTime = Text(*reply.strDoneTime);
    Show(reply.message);
    return true;
}

void CPubFunsDlg::OnOK() {
    if (m_bCommandRuns) {
        m_bClosePending = true;
        m_nCloseResult = IDOK;
        return;
    }
    CDialogBase::OnOK();
}

void CPubFunsDlg::OnCancel() {
    if (m_bCommandRuns) {
        m_bClosePending = true;
        m_nCloseResult = IDCANCEL;
        return;
    }
    CDialogBase::OnCancel();
}

bool CPubFunsDlg::PreTranslateMessage(QWidget* control, QEvent* event) {
    const int id = GetDlgCtrlID(control);
    if (event->type() != QEvent::KeyPress || (id != IDC_PUB_ID && id != IDC_PUB_MACHINE_NO))
        return false;
    const char32_t ch = TypedChar(*static_cast<QKeyEvent*>(event));
    if (ch == 0)
        return false;
    const bool isId = id == IDC_PUB_ID;
    if (isId ? PubIdKeyAllowed(ch) : PubMachineNoKeyAllowed(ch))
        return false;
    RefuseKey(isId ? HEX_KEY_TEXT : PUB_DEC_KEY_TEXT);
    if (!isId)
        FocusItem(IDC_PUB_MACHINE_NO);
    return true;
}
