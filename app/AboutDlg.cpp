#include "app/AboutDlg.h"

#include "ui_AboutDlg.h"

CAboutDlg::CAboutDlg(QWidget* parent) : CDialogBase(parent) {
    LoadTemplate<Ui::AboutDlg>();
    setFixedSize(sizeHint().expandedTo(minimumSize()));
}
