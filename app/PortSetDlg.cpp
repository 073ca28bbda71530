#include "app/PortSetDlg.h"

#include <QComboBox>
#include <QLineEdit>
#include <string>
#include <vector>

#include "app/DataExchange.h"
#include "app/MessageBox.h"
#include "app/Resource.h"
#include "comm/CommJob.h"
#include "comm/SerialPort.h"

namespace {

namespace txt {
const char* const NoSerialPort = "系统中不存在可用的串口!";
const char* const EmptyCalledNo = "被叫的号码不能为空!";
} // namespace txt

constexpr int MaxNumberChars = 15;

CPortSetDlg::PortLister g_portLister;

} // namespace

QString PortNoFromText(const QString& text) {
    const qsizetype open = text.indexOf('(');
    const qsizetype start = open < 0 ? 0 : open + 1;
    const qsizetype close = text.indexOf(')');
    if (close < start)
        return {};
    const QString piece = text.mid(start, close - start);
    return piece.size() <= 3 ? QString() : piece.mid(3);
}

CPortSetDlg::PortLister CPortSetDlg::SetPortLister(PortLister lister) {
    PortLister previous = std::move(g_portLister);
    g_portLister = std::move(lister);
    return previous;
}

CPortSetDlg::CPortSetDlg(QWidget* parent, CXmlConfig& config, int channel)
    : CSettingsDlgBase(parent, config), m_nChannel(channel) {}

bool CPortSetDlg::OnInitDialog() {
    CSettingsDlgBase::OnInitDialog();
    auto* portList = GetDlgItemAs<QComboBox>(IDC_SET_PORT_LIST);

    std::vector<SerialPortInfo> ports;
    std::string strError;
    const std::vector<PortBinding> bound = ReadPortBindings(m_config);
    const int listed = g_portLister ? g_portLister(ports, bound, strError)
                                    : ListSerialPorts(ports, bound, strError);
    if (listed != 0) {
        MessageBox(QString::fromStdString(strError), Text(CAPTION_ERROR), MB_ICONEXCLAMATION);
        EndDialog(IDCANCEL);
        return false;
    }
    for (const SerialPortInfo& p : ports)
        portList->addItem(QString::fromStdString(p.strFriendlyName));
    portList->model()->sort(0);
    if (portList->count() == 0) {
        MessageBox(Text(txt::NoSerialPort), Text(CAPTION_WARNING), MB_ICONEXCLAMATION);
        EndDialog(IDCANCEL);
        return false;
    }
    int current = 0;
    if (ReadSerialSection(m_config, m_nChannel, m_section)) {
        // The stored port stays chosen, or a plain OK would silently move the
        // channel to the first port of the list.
        const QString stored = Text(m_section.strPortNo);
        for (int i = 0; i < portList->count() && !stored.isEmpty(); ++i)
            if (PortNoFromText(portList->itemText(i)) == stored) {
                current = i;
                break;
            }
    }
    portList->setCurrentIndex(current);
    // The baud list holds the driver's rates in its order; the modem's stops
    // before 921600, so a rate past its end selects the first entry.
    const int baud = static_cast<int>(ComBaudIndex(m_section.nBaudRate));
    SetCurSel(IDC_SET_BAUD, baud < GetDlgItemAs<QComboBox>(IDC_SET_BAUD)->count() ? baud : 0);
    UpdateData(false);
    return true;
}

void CPortSetDlg::DoDataExchange(CDataExchange& dx) {
    ExchangeTimeouts(dx, m_section.nFirstChar, m_section.nRevTimeOut);
    if (m_nChannel == CH_MODEM) {
        dx.Text(IDC_SET_ADDED_NO, m_section.strAddedNo, MaxNumberChars);
        dx.Text(IDC_SET_CALLED_NO, m_section.strCalledNo, MaxNumberChars);
    }
}

void CPortSetDlg::OnOK() {
    if (!UpdateData(true))
        return;
    if (m_nChannel == CH_MODEM && m_section.strCalledNo.empty()) {
        MessageBox(Text(txt::EmptyCalledNo), Text(CAPTION_HINT), MB_ICONEXCLAMATION);
        FocusItem(IDC_SET_CALLED_NO);
        if (auto* edit = GetDlgItemAs<QLineEdit>(IDC_SET_CALLED_NO))
            edit->selectAll();
        return;
    }
    const int baud = GetCurSel(IDC_SET_BAUD);
    m_section.strPortNo = PortNoFromText(GetItemText(IDC_SET_PORT_LIST)).toStdString();
    m_section.nBaudRate = ComBaudRate(baud >= 0 ? static_cast<unsigned>(baud) : 0);
    CloseIfSaved(SaveSerialSection(m_config, m_nChannel, m_section));
}
