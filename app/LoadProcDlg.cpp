#include "app/LoadProcDlg.h"

#include <algorithm>

#include "app/MessageBox.h"
#include "app/QuillmarkDlg.h"
#include "app/Resource.h"
#include "comm/CommJob.h"
#include "protocol/Download.h"
#include "protocol/StatusText.h"
#include "ui_LoadProcDlg.h"

CLoadProcDlg::CLoadProcDlg(CQuillmarkDlg* parent) : CDialogBase(parent), m_pConsole(parent) {
    LoadTemplate<Ui::LoadProcDlg>();
    setWindowTitle(QString::fromUtf8(LOAD_PROC_CAPTION));
    SetNoClose(true);
    setFixedSize(sizeHint().expandedTo(minimumSize()));
}

bool CLoadProcDlg::OnInitDialog() {
    CDialogBase::OnInitDialog();
    CommJob& job = m_pConsole->m_job;
    FillDownloadJob(job, m_pConsole->m_strLoadFile.toStdString(), m_pConsole->m_nLoadMachineNo,
                    GetSafeHwnd());
    job.hJobEvent->Set();
    return true;
}

void CLoadProcDlg::OnCommResult(int code, long value) {
    switch (code) {
    case RC_DOWNLOAD_START:
        m_nBlockTotal = static_cast<int>(value);
        // An image shorter than one block still takes one step to 100%.
        SetProgressRange(IDC_LOAD_PROGRESS, 0, std::max(m_nBlockTotal, 1));
        SetProgressStep(IDC_LOAD_PROGRESS, 1);
        break;
    case RC_DOWNLOAD_STEP: {
        const int pos = StepIt(IDC_LOAD_PROGRESS);
        SetItemText(IDC_LOAD_PERCENT,
                    QString::asprintf("%d%%", DownloadPercent(pos, m_nBlockTotal)));
        break;
    }
    case RC_DOWNLOAD_DONE: {
        hide();
        const int result = static_cast<int>(value);
        const bool ok = result == 0;
        MessageBox(QString::fromStdString(DownloadDoneText(result)),
                   Text(ok ? CAPTION_SUCCESS : CAPTION_FAILED),
                   ok ? MB_ICONINFORMATION : MB_ICONEXCLAMATION);
        m_pConsole->OnCloseAll();
        EndDialog(IDOK);
        break;
    }
    default:
        break;
    }
}
