#include "app/ComSetDlg.h"

#include "comm/CommJob.h"
#include "ui_ComSetDlg.h"

CComSetDlg::CComSetDlg(QWidget* parent) : CPortSetDlg(parent, CH_SERIAL) {
    LoadTemplate<Ui::ComSetDlg>();
}
