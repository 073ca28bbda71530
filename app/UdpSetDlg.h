#pragma once

#include "app/NetSetDlg.h"

// The settings of the terminal's UDP peer: address, port and time-outs.
class CUdpSetDlg : public CNetSetDlg {
  public:
    // config: the console's store, which must outlive the dialog.
    CUdpSetDlg(QWidget* parent, CXmlConfig& config);
};
