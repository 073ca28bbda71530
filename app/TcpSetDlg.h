#pragma once

#include "app/NetSetDlg.h"

// The settings of the terminal's TCP server: address, port and time-outs.
class CTcpSetDlg : public CNetSetDlg {
  public:
    // config: the console's store, which must outlive the dialog.
    CTcpSetDlg(QWidget* parent, CXmlConfig& config);
};
