#include "app/UdpSetDlg.h"

#include "comm/CommJob.h"
#include "ui_UdpSetDlg.h"

CUdpSetDlg::CUdpSetDlg(QWidget* parent) : CNetSetDlg(parent, CH_UDP) {
    LoadTemplate<Ui::UdpSetDlg>();
}
