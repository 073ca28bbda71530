#include "app/ModemSetDlg.h"

#include "comm/CommJob.h"
#include "ui_ModemSetDlg.h"

CModemSetDlg::CModemSetDlg(QWidget* parent) : CPortSetDlg(parent, CH_MODEM) {
    LoadTemplate<Ui::ModemSetDlg>();
}
