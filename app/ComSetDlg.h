#pragma once

#include "app/PortSetDlg.h"

// The serial port's settings: port, baud rate (up to 921600) and time-outs.
class CComSetDlg : public CPortSetDlg {
  public:
    // config: the console's store, which must outlive the dialog.
    CComSetDlg(QWidget* parent, CXmlConfig& config);
};
