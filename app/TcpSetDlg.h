#pragma once

#include "app/NetSetDlg.h"

// The settings of the terminal's TCP server: address, port and time-outs.
class CTcpSetDlg : public CNetSetDlg {
  public:
    explicit CTcpSetDlg(QWidget* parent = nullptr);
};
