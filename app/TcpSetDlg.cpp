#include "app/TcpSetDlg.h"

#include "comm/CommJob.h"
#include "ui_TcpSetDlg.h"

CTcpSetDlg::CTcpSetDlg(QWidget* parent, CXmlConfig& config) : CNetSetDlg(parent, config, CH_TCP) {
    LoadTemplate<Ui::TcpSetDlg>();
}
