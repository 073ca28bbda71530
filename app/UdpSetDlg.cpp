#include "app/UdpSetDlg.h"

#include "comm/CommJob.h"
#include "ui_UdpSetDlg.h"

CUdpSetDlg::CUdpSetDlg(QWidget* parent, CXmlConfig& config) : CNetSetDlg(parent, config, CH_UDP) {
    LoadTemplate<Ui::UdpSetDlg>();
}
