#pragma once

#include "app/PortSetDlg.h"

// The serial port's settings: port, baud rate (up to 921600) and time-outs.
class CComSetDlg : public CPortSetDlg {
  public:
    explicit CComSetDlg(QWidget* parent = nullptr);
};
