#pragma once

#include "app/PortSetDlg.h"

// The modem's settings: its serial port, baud rate (up to 115200), time-outs,
// the outside-line prefix and the called number, which must not be empty.
class CModemSetDlg : public CPortSetDlg {
  public:
    explicit CModemSetDlg(QWidget* parent = nullptr);
};
