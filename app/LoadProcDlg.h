#pragma once

#include "app/DialogBase.h"

class CQuillmarkDlg;

// The dialog's caption, by which a download in progress can be found.
inline constexpr char LOAD_PROC_CAPTION[] = "正在下载...";

// Shown modally while the worker downloads the console's chosen image: it
// files the download on the console's job, shows the worker's progress, then
// the outcome, closes every channel of the console and ends with OK. Neither
// Escape nor the title bar ends it: the download cannot be interrupted.
class CLoadProcDlg : public CDialogBase {
  public:
    explicit CLoadProcDlg(CQuillmarkDlg* parent);

    // The block total the worker announced; 0 until then.
    int BlockTotal() const { return m_nBlockTotal; }

  protected:
    bool OnInitDialog() override;
    void OnCommResult(int code, long value) override;

  private:
    CQuillmarkDlg* m_pConsole;
    int m_nBlockTotal = 0;
};
