#pragma once

#include <cstdint>

#include "app/SettingsDlgBase.h"

// The TCP and UDP settings dialogs: the terminal's IPv4 address, its port as
// typed (at most 6 characters) and the two time-outs. "取消" is their default
// button, so Enter in a field cancels. OK saves the channel's section into
// config.xml.
class CNetSetDlg : public CSettingsDlgBase {
  public:
    // The section as the dialog shows it: read from the store when it opens,
    // and after OK what it saved.
    const NetSection& Section() const { return m_section; }

  protected:
    // channel: CH_TCP or CH_UDP; the derived dialog loads the template.
    CNetSetDlg(QWidget* parent, CXmlConfig& config, int channel);

    bool OnInitDialog() override;
    void DoDataExchange(CDataExchange& dx) override;
    void OnOK() override;

  private:
    const int m_nChannel;
    NetSection m_section;
    uint8_t m_address[4] = {}; // the address control's four fields
};
