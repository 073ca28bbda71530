#include "app/ComSetDlg.h"

#include "comm/CommJob.h"
#include "ui_ComSetDlg.h"

CComSetDlg::CComSetDlg(QWidget* parent, CXmlConfig& config)
    : CPortSetDlg(parent, config, CH_SERIAL) {
    LoadTemplate<Ui::ComSetDlg>();
}
