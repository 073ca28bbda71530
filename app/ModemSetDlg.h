#pragma once

#include "app/PortSetDlg.h"

// The modem's settings: its serial port, baud rate (up to 115200), time-outs,
// the outside-line prefix and the called number, which must not be empty.
class CModemSetDlg : public CPortSetDlg {
  public:
    // config: the console's store, which must outlive the dialog.
    CModemSetDlg(QWidget* parent, CXmlConfig& config);
};
