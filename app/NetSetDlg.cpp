#include "app/NetSetDlg.h"

#include <QLineEdit>
#include <cstdio>

#include "app/DataExchange.h"
#include "app/IpAddressCtrl.h"
#include "app/Resource.h"

namespace {
constexpr int MaxPortChars = 6;
} // namespace

CNetSetDlg::CNetSetDlg(QWidget* parent, CXmlConfig& config, int channel)
    : CSettingsDlgBase(parent, config), m_nChannel(channel) {}

bool CNetSetDlg::OnInitDialog() {
    CSettingsDlgBase::OnInitDialog();
    int parsed = 0;
    if (ReadNetSection(m_config, m_nChannel, m_section)) {
        int parts[4] = {};
        parsed = std::sscanf(m_section.strIp.c_str(), "%d.%d.%d.%d", &parts[0], &parts[1],
                             &parts[2], &parts[3]);
        for (int i = 0; i < 4; ++i)
            m_address[i] = static_cast<uint8_t>(i < parsed ? parts[i] & 0xFF : 0);
    }
    UpdateData(false);
    // Numbers the stored address does not hold stay blank rather than show a guess.
    if (auto* ip = GetDlgItemAs<CIpAddressCtrl>(IDC_SET_IP))
        for (int i = parsed < 0 ? 0 : parsed; i < 4; ++i)
            ip->Field(i)->clear();
    return true;
}

void CNetSetDlg::DoDataExchange(CDataExchange& dx) {
    dx.IPAddress(IDC_SET_IP, m_address);
    dx.Text(IDC_SET_NET_PORT, m_section.strPort, MaxPortChars);
    ExchangeTimeouts(dx, m_section.nFirstChar, m_section.nRevTimeOut);
}

void CNetSetDlg::OnOK() {
    if (!UpdateData(true))
        return;
    char ip[16];
    std::snprintf(ip, sizeof ip, "%d.%d.%d.%d", m_address[0], m_address[1], m_address[2],
                  m_address[3]);
    m_section.strIp = ip;
    CloseIfSaved(SaveNetSection(m_config, m_nChannel, m_section));
}
