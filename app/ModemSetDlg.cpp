#include "app/ModemSetDlg.h"

#include "comm/CommJob.h"
#include "ui_ModemSetDlg.h"

CModemSetDlg::CModemSetDlg(QWidget* parent, CXmlConfig& config)
    : CPortSetDlg(parent, config, CH_MODEM) {
    LoadTemplate<Ui::ModemSetDlg>();
}
