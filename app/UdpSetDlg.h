#pragma once

#include "app/NetSetDlg.h"

// The settings of the terminal's UDP peer: address, port and time-outs.
class CUdpSetDlg : public CNetSetDlg {
  public:
    explicit CUdpSetDlg(QWidget* parent = nullptr);
};
