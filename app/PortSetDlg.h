#pragma once

#include <QString>
#include <functional>
#include <string>
#include <vector>

#include "app/SettingsDlgBase.h"
#include "config/SerialPorts.h"

// The port number text a port list entry stands for: the text between the
// first "(" (or the start) and the first ")", without its first three
// characters. "ttyS0 (COM7)" gives "7"; a text without ")" gives "".
QString PortNoFromText(const QString& text);

// The serial and modem settings dialogs: the machine's serial ports, a baud
// list, the two time-outs and, for the modem, the outside-line prefix and
// the called number. OK saves the channel's section into config.xml.
class CPortSetDlg : public CSettingsDlgBase {
  public:
    // Lists the ports as ListSerialPorts does.
    using PortLister =
        std::function<int(std::vector<SerialPortInfo>& ports, const std::vector<PortBinding>& bound,
                          std::string& strError)>;
    // Test seam for a machine without ports or with a failing device list; an
    // empty lister restores ListSerialPorts. Returns the previous one.
    static PortLister SetPortLister(PortLister lister);

    // The section as the dialog shows it: read from the store when it opens,
    // and after OK what it saved.
    const SerialSection& Section() const { return m_section; }

  protected:
    // channel: CH_SERIAL or CH_MODEM; the derived dialog loads the template.
    CPortSetDlg(QWidget* parent, CXmlConfig& config, int channel);

    bool OnInitDialog() override;
    void DoDataExchange(CDataExchange& dx) override;
    void OnOK() override;

  private:
    const int m_nChannel;
    SerialSection m_section;
};
