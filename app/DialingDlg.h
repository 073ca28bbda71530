#pragma once

#include "app/DialogBase.h"

// The dialog's caption, by which the console finds it.
inline constexpr char DIALING_CAPTION[] = "正在拨号...";

// Shown modally while the worker dials. The console ends it with OK when
// the dial result arrives (it finds it by its caption "正在拨号..."); "取消"
// and Escape end it with IDCANCEL. The title-bar close does nothing.
class CDialingDlg : public CDialogBase {
  public:
    explicit CDialingDlg(QWidget* parent);

  protected:
    void closeEvent(QCloseEvent* event) override;
};
