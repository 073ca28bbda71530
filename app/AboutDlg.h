#pragma once

#include "app/DialogBase.h"

// The About box: the application icon, its version and an OK button.
class CAboutDlg : public CDialogBase {
  public:
    explicit CAboutDlg(QWidget* parent = nullptr);
};
