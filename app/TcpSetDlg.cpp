#include "app/TcpSetDlg.h"

#include "comm/CommJob.h"
#include "ui_TcpSetDlg.h"

CTcpSetDlg::CTcpSetDlg(QWidget* parent) : CNetSetDlg(parent, CH_TCP) {
    LoadTemplate<Ui::TcpSetDlg>();
}
