#include "app/LoadProcDlg.h"

#include <algorithm>

#include "app/MessageBox.h"
#include "app/Resource.h"
#include "comm/CommJob.h"
#include "protocol/Download.h"
#include "protocol/StatusText.h"
#include "ui_LoadProcDlg.h"

CLoadProcDlg::CLoadProcDlg(QWidget* parent, std::string file, int machineNo, CommJob& job,
                           std::function<void()> done)
    : CDialogBase(parent), m_strFile(std::move(file)), m_nMachineNo(machineNo), m_job(job),
      m_done(std::move(done)) {
    LoadTemplate<Ui::LoadProcDlg>();
    setWindowTitle(QString::fromUtf8(LOAD_PROC_CAPTION));
    SetNoClose(true);
    setFixedSize(sizeHint().expandedTo(minimumSize()));
}

bool CLoadProcDlg::OnInitDialog() {
    CDialogBase::OnInitDialog();
    FillDownloadJob(m_job, m_strFile, m_nMachineNo, GetSafeHwnd());
    m_job.hJobEvent->Set();
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
        if (m_done)
            m_done();
        EndDialog(IDOK);
        break;
    }
    default:
        break;
    }
}
