#pragma once

#include <functional>
#include <string>

#include "app/DialogBase.h"
#include "comm/CommJob.h"

// The dialog's caption, by which a download in progress can be found.
inline constexpr char LOAD_PROC_CAPTION[] = "正在下载...";

// Shown modally while the worker downloads an image: it files the download
// of file to the terminal machineNo on the borrowed job, shows the worker's
// progress, then the outcome, calls done (the console closes every channel
// there) and ends with OK. Neither Escape nor the title bar ends it: the
// download cannot be interrupted.
class CLoadProcDlg : public CDialogBase {
  public:
    CLoadProcDlg(QWidget* parent, std::string file, int machineNo, CommJob& job,
                 std::function<void()> done);

    // The block total the worker announced; 0 until then.
    int BlockTotal() const { return m_nBlockTotal; }

  protected:
    bool OnInitDialog() override;
    void OnCommResult(int code, long value) override;

  private:
    const std::string m_strFile;
    const int m_nMachineNo;
    CommJob& m_job;
    const std::function<void()> m_done;
    int m_nBlockTotal = 0;
};
