#include "app/PortSetDlg.h"

#include <QComboBox>
#include <QLineEdit>
#include <algorithm>
#include <string>
#include <vector>

#include "app/DataExchange.h"
#include "app/MessageBox.h"
#include "app/Resource.h"
#include "comm/CommJob.h"

namespace {

const char* const NoSerialPort = "系统中不存在可用的串口!";
const char* const EmptyCalledNo = "被叫的号码不能为空!";

// List index to baud rate; the modem list stops before 921600.
const long BaudTable[] = {19200, 9600, 4800, 2400, 1200, 28800, 57600, 115200, 921600};
constexpr int SerialBauds = 9;
constexpr int ModemBauds = 8;
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

CPortSetDlg::CPortSetDlg(QWidget* parent, int channel)
    : CSettingsDlgBase(parent), m_nChannel(channel) {}

bool CPortSetDlg::OnInitDialog() {
    CSettingsDlgBase::OnInitDialog();
    auto* portList = GetDlgItemAs<QComboBox>(IDC_SET_PORT_LIST);

    std::vector<SerialPortInfo> ports;
    std::string strError;
    std::vector<PortBinding> bound;
    if (m_pConfig != nullptr)
        bound = ReadPortBindings(*m_pConfig);
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
        MessageBox(QString::fromUtf8(NoSerialPort), Text(CAPTION_WARNING), MB_ICONEXCLAMATION);
        EndDialog(IDCANCEL);
        return false;
    }
    SerialSection values;
    int current = 0;
    if (m_pConfig != nullptr && ReadSerialSection(*m_pConfig, m_nChannel, values)) {
        // The stored port stays chosen, or a plain OK would silently move the
        // channel to the first port of the list.
        const QString stored = QString::fromStdString(values.strPortNo);
        for (int i = 0; i < portList->count() && !stored.isEmpty(); ++i)
            if (PortNoFromText(portList->itemText(i)) == stored) {
                current = i;
                break;
            }
        m_nFirstChar = values.nFirstChar;
        m_nRevTimeOut = values.nRevTimeOut;
        m_strAddedNo = QString::fromStdString(values.strAddedNo);
        m_strCalledNo = QString::fromStdString(values.strCalledNo);
    }
    portList->setCurrentIndex(current);
    const int bauds = m_nChannel == CH_MODEM ? ModemBauds : SerialBauds;
    const long* found = std::find(BaudTable, BaudTable + bauds, values.nBaudRate);
    SetCurSel(IDC_SET_BAUD, found == BaudTable + bauds ? 0 : static_cast<int>(found - BaudTable));
    UpdateData(false);
    return true;
}

void CPortSetDlg::DoDataExchange(CDataExchange& dx) {
    CSettingsDlgBase::DoDataExchange(dx);
    if (m_nChannel == CH_MODEM) {
        dx.Text(IDC_SET_ADDED_NO, m_strAddedNo, MaxNumberChars);
        dx.Text(IDC_SET_CALLED_NO, m_strCalledNo, MaxNumberChars);
    }
}

void CPortSetDlg::OnOK() {
    if (!UpdateData(true))
        return;
    if (m_nChannel == CH_MODEM && m_strCalledNo.isEmpty()) {
        MessageBox(QString::fromUtf8(EmptyCalledNo), Text(CAPTION_HINT), MB_ICONEXCLAMATION);
        FocusItem(IDC_SET_CALLED_NO);
        if (auto* edit = GetDlgItemAs<QLineEdit>(IDC_SET_CALLED_NO))
            edit->selectAll();
        return;
    }
    if (m_pConfig == nullptr)
        return;
    const int bauds = m_nChannel == CH_MODEM ? ModemBauds : SerialBauds;
    const int index = GetCurSel(IDC_SET_BAUD);

    SerialSection values;
    values.strPortNo = PortNoFromText(GetItemText(IDC_SET_PORT_LIST)).toStdString();
    values.nBaudRate = index >= 0 && index < bauds ? BaudTable[index] : BaudTable[0];
    values.nFirstChar = m_nFirstChar;
    values.nRevTimeOut = m_nRevTimeOut;
    values.strAddedNo = m_strAddedNo.toStdString();
    values.strCalledNo = m_strCalledNo.toStdString();
    const SectionSnapshot before = TakeSectionSnapshot(*m_pConfig, m_nChannel);
    WriteSerialSection(*m_pConfig, m_nChannel, values);
    SaveAndClose(before);
}
