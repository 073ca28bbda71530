#include "app/QuillmarkDlg.h"

#include <QAction>
#include <QContextMenuEvent>
#include <QMenu>
#include <chrono>
#include <cstdio>

#include "app/AboutDlg.h"
#include "app/DataExchange.h"
#include "app/DialingDlg.h"
#include "app/MessageBox.h"
#include "app/Resource.h"
#include "app/WindowMessages.h"
#include "comm/CommThread.h"
#include "comm/SerialPort.h"
#include "protocol/ResultCodes.h"
#include "ui_QuillmarkDlg.h"

namespace {

// The console's own texts.
namespace txt {
const char* const AboutMenu = "关于 Quillmark(&A)...";
const char* const ConfigMissing = "程序配置文件config.xml丢失,退出!";
const char* const ConfigBroken = "加载程序配置文件config.xml失败,退出!";
const char* const OpenPortFailed = "打开串口COM%d失败,请检查该串口是否已被占用!";
const char* const Error = "错误";
const char* const TcpBadAddress = "建立连接不成功,错误的IP地址";
const char* const TcpTimeout = "建立连接不成功,超时退出";
const char* const TcpOtherError = "连接终端错误，返回代码%d";
const char* const UdpNoNetwork = "系统中不存在网络连接,绑定失败!";
const char* const UdpBindFailed = "调用绑定函数失败,请检查GPRS连接是否可用!";
const char* const UdpNoGprs = "GPRS连接不存在,绑定失败!";
const char* const DialNoAnswer = "拨号失败,终端无反应!";
const char* const DialRecvError = "拨号失败,接收数据错!";
const char* const DialingCaption = "正在拨号...";
const char* const OpenPort = "打开串口";
const char* const ClosePort = "关闭串口";
const char* const Dial = "拨号";
const char* const HangUp = "挂断";
const char* const ComNotOpen = "未打开";
const char* const ModemNotConnected = "未连线";
const char* const ComOpened = "已打开!";
const char* const ModemConnected = "已连线!";
const char* const DialFailed = "拨号失败!";
const char* const ComClosed = "已关闭!";
const char* const ModemHungUp = "已挂断!";
const char* const TcpIdle = "未连接";
const char* const TcpConnected = "已连接!";
const char* const TcpFailed = "连接失败!";
const char* const TcpDisconnected = "未连接!";
const char* const UdpIdle = "未绑定";
const char* const UdpBound = "已绑定!";
const char* const UdpFailed = "绑定失败!";
const char* const UdpClosed = "未绑定!";
} // namespace txt

QString Text(const char* s) {
    return QString::fromUtf8(s);
}

const char* const SectionOf[] = {"Quillmark/COMPort", "Quillmark/Modem", "Quillmark/TCP",
                                 "Quillmark/UDP"};

// Milliseconds of a steady clock: command times must count waiting, which
// the processor clock does not.
long ClockMs() {
    using namespace std::chrono;
    static const steady_clock::time_point start = steady_clock::now();
    return static_cast<long>(duration_cast<milliseconds>(steady_clock::now() - start).count());
}

bool FileReadable(const std::string& path) {
    FILE* f = std::fopen(path.c_str(), "rb");
    if (!f)
        return false;
    std::fclose(f);
    return true;
}

// Binds COM numbers to the devices the optional Ports element names, e.g.
// <Ports><Port No="200" Device="/dev/pts/3"/></Ports>.
void BindPorts(CXmlConfig& config) {
    for (pugi::xml_node port : config.SelectNode("Quillmark/Ports").children("Port")) {
        pugi::xml_attribute no = port.attribute("No");
        const char* device = port.attribute("Device").as_string();
        if (no && *device)
            ComBindDevice(no.as_int(-1), device);
    }
}

// The bytes 00 to FF and then 00 to 04, as hex digits.
QString InitialProtocolData() {
    QString hex;
    for (int i = 0; i < 261; ++i)
        hex += QString::asprintf("%02X", i & 0xFF);
    return hex;
}

} // namespace

CQuillmarkDlg::CQuillmarkDlg(QWidget* parent, std::string exeDir)
    : CDialogBase(parent), m_strExeDir(exeDir.empty() ? GetExeDir() : std::move(exeDir)) {
    if (!m_strExeDir.empty() && !m_strExeDir.ends_with('/'))
        m_strExeDir += '/';
    LoadTemplate<Ui::QuillmarkDlg>();

    m_strProtocolData = InitialProtocolData();
    m_strDirectData = QStringLiteral("0102030405060708090A0B0C0D0E0F1011");
    m_nProtocolDataLen = static_cast<int>(m_strProtocolData.size());
    m_nDirectDataLen = static_cast<int>(m_strDirectData.size());

    OnSelChange(IDC_CHANNEL, [this] { OnSelchangeChannel(); });
    OnClicked(IDC_COM_SET, [this] { OnComSettings(); });
    OnClicked(IDC_TCP_SET, [this] { OnTcpSettings(); });
    OnClicked(IDC_UDP_SET, [this] { OnUdpSettings(); });
    OnClicked(IDC_OPEN_PORT, [this] { OnOpenPort(); });
    OnClicked(IDC_CLOSE_PORT, [this] { OnClosePort(); });
    OnClicked(IDC_TCP_CONNECT, [this] { OnTcpConnect(); });
    OnClicked(IDC_TCP_DISCONNECT, [this] { OnTcpDisconnect(); });
    OnClicked(IDC_UDP_BIND, [this] { OnUdpBind(); });
    OnClicked(IDC_UDP_CLOSE, [this] { OnUdpClose(); });
}

CQuillmarkDlg::~CQuillmarkDlg() {
    StopWorker();
}

bool CQuillmarkDlg::OnInitDialog() {
    CDialogBase::OnInitDialog();

    // Linux has no system menu: the About entry lives in the window's
    // context menu and on F1.
    QString about = Text(txt::AboutMenu);
    if (!about.isEmpty()) {
        m_pAboutAction = new QAction(about, this);
        m_pAboutAction->setShortcut(QKeySequence(Qt::Key_F1));
        m_pAboutAction->setShortcutContext(Qt::WindowShortcut);
        connect(m_pAboutAction, &QAction::triggered, this, [this] { OnSysCommand(IDM_ABOUTBOX); });
        addAction(m_pAboutAction);
    }
    setWindowIcon(AppIcon());

    const std::string path = m_strExeDir + "config.xml";
    if (!FileReadable(path)) {
        MessageBox(Text(txt::ConfigMissing), AppTitle(), MB_ICONEXCLAMATION);
        OnCancel();
        return false;
    }
    if (!m_config.Load(path.c_str())) {
        MessageBox(Text(txt::ConfigBroken), AppTitle(), MB_ICONEXCLAMATION);
        OnCancel();
        return false;
    }
    BindPorts(m_config);

    LoadSettings();
    ShowSettings();
    SetCurSel(IDC_CHANNEL, CH_SERIAL);
    OnSelchangeChannel();

    m_pEvents = std::make_unique<CommEvents>();
    m_pEvents->AttachTo(m_job);
    m_job.pRecvBuf = nullptr;
    m_job.pSendBuf = nullptr;
    m_job.nOperation = OP_EXCHANGE;
    m_job.nMachineNo = -1;
    m_bWaitVersion = m_bWaitReaderId = m_bWaitPowerOn = m_bWaitPowerOff = 0;

    SetItemText(IDC_DATA_LEN, QString::asprintf("%d", 261));
    ConnectDisplayHandlers();
    ConnectSendHandlers();
    ConnectDiagHandlers();
    return true;
}

void CQuillmarkDlg::DoDataExchange(CDataExchange& dx) {
    dx.Text(IDC_MACHINE_NO, m_nMachineNo, 0, 255);
    dx.Text(IDC_COMMAND, m_strCommand, 2);
    dx.Check(IDC_PROTOCOL_TIMED, m_bProtocolTimed);
    dx.Check(IDC_DIRECT_TIMED, m_bDirectTimed);
    dx.Check(IDC_HEX_SEND, m_bHexSend);
    dx.Check(IDC_SEND_NEWLINE, m_bSendNewLine);
    dx.Text(IDC_PROTOCOL_PERIOD, m_nProtocolPeriod);
    dx.Text(IDC_DIRECT_PERIOD, m_nDirectPeriod);
    dx.Text(IDC_FIRST_CHAR, m_nFirstCharTimeout, 1, 50000);
    dx.Text(IDC_INTER_CHAR, m_nInterCharTimeout, 10, 10000);
    dx.Text(IDC_PROTOCOL_DATA, m_strProtocolData);
    dx.Text(IDC_DIRECT_DATA, m_strDirectData);
    dx.Text(IDC_COM_STATUS, m_strComStatus);
    dx.Text(IDC_TCP_STATUS, m_strTcpStatus);
    dx.Text(IDC_UDP_STATUS, m_strUdpStatus);
    dx.Text(IDC_RECV_STATUS, m_strRecvStatus);
    dx.Text(IDC_RECV_COUNT, m_nRecvCount);
    dx.Text(IDC_SEND_COUNT, m_nSendCount);
    dx.Text(IDC_LOAD_FILE, m_strLoadFile);
    dx.Text(IDC_LOAD_MACHINE_NO, m_nLoadMachineNo, 1, 255);
    dx.Text(IDC_CMD_TIME, m_nCmdTime, 0, 2147483647);
}

void CQuillmarkDlg::LoadSettings() {
    m_config.SelectNode("Quillmark/TCP");
    m_config.GetString("IP", m_settings.strTcpIp);
    m_config.GetInt("Port", m_settings.nTcpPort);
    m_config.SelectNode("Quillmark/UDP");
    m_config.GetString("IP", m_settings.strUdpIp);
    m_config.GetInt("Port", m_settings.nUdpPort);
    m_config.SelectNode("Quillmark/COMPort");
    m_config.GetInt("PortNo", m_settings.nComPort);
    m_config.GetLong("BaudRate", m_settings.nComBaud);
    m_config.SelectNode("Quillmark/Modem");
    m_config.GetInt("PortNo", m_settings.nModemPort);
    m_config.GetLong("BaudRate", m_settings.nModemBaud);
    m_config.GetString("AddedNo", m_settings.strAddedNo);
    m_config.GetString("CalledNo", m_settings.strCalledNo);
}

void CQuillmarkDlg::ShowSettings() {
    SetItemText(IDC_COM_PORT, QString::asprintf("串口号: COM%d", m_settings.nComPort));
    SetItemText(IDC_COM_BAUD,
                QString::asprintf("波特率: %d", static_cast<int>(m_settings.nComBaud)));
    SetItemText(IDC_TCP_ADDR, QString::fromStdString(m_settings.strTcpIp) +
                                  QString::asprintf(":%d", m_settings.nTcpPort));
    SetItemText(IDC_UDP_ADDR, QString::fromStdString(m_settings.strUdpIp) +
                                  QString::asprintf(":%d", m_settings.nUdpPort));
}

void CQuillmarkDlg::StopWorker() {
    ::StopWorker(m_job, m_worker);
    m_nConnecting = -1;
    m_bJobPending = false;
    m_bTcpConnected = 0;
    m_bUdpBound = 0;
    m_bPortOpen = 0;
}

bool CQuillmarkDlg::WorkerRuns() const {
    return m_nConnecting >= 0 || m_bPortOpen || m_bTcpConnected || m_bUdpBound;
}

void CQuillmarkDlg::OnSysCommand(int nID) {
    if ((nID & 0xFFF0) == IDM_ABOUTBOX) {
        CAboutDlg dlgAbout(this);
        dlgAbout.DoModal();
    }
}

void CQuillmarkDlg::contextMenuEvent(QContextMenuEvent* event) {
    if (!m_pAboutAction)
        return;
    QMenu menu(this);
    menu.addSeparator();
    menu.addAction(m_pAboutAction);
    menu.exec(event->globalPos());
}

void CQuillmarkDlg::OnSelchangeChannel() {
    StopWorker();
    m_nChannel = GetCurSel(IDC_CHANNEL);

    if (m_nChannel >= 0) {
        const bool serial = m_nChannel == CH_SERIAL || m_nChannel == CH_MODEM;
        if (serial) {
            const bool modem = m_nChannel == CH_MODEM;
            SetItemText(IDC_OPEN_PORT, Text(modem ? txt::Dial : txt::OpenPort));
            SetItemText(IDC_CLOSE_PORT, Text(modem ? txt::HangUp : txt::ClosePort));
        }
        for (int id : {IDC_SERIAL_GROUP, IDC_COM_SET, IDC_OPEN_PORT, IDC_COM_STATUS, IDC_COM_PORT,
                       IDC_COM_BAUD})
            EnableItem(id, serial);
        if (!serial)
            EnableItem(IDC_CLOSE_PORT, false);

        const bool tcp = m_nChannel == CH_TCP;
        for (int id : {IDC_TCP_GROUP, IDC_TCP_SET, IDC_TCP_CONNECT, IDC_TCP_STATUS, IDC_TCP_ADDR})
            EnableItem(id, tcp);
        if (!tcp)
            EnableItem(IDC_TCP_DISCONNECT, false);

        const bool udp = m_nChannel == CH_UDP;
        for (int id : {IDC_UDP_GROUP, IDC_UDP_SET, IDC_UDP_BIND, IDC_UDP_STATUS, IDC_UDP_ADDR})
            EnableItem(id, udp);
        if (!udp)
            EnableItem(IDC_UDP_CLOSE, false);
    }

    if (m_nChannel >= 0 && m_nChannel <= CH_UDP)
        m_config.SelectNode(SectionOf[m_nChannel]);
    m_config.GetInt("FirstChar", m_nFirstCharTimeout);
    m_config.GetInt("RevTimeOut", m_nInterCharTimeout);

    m_strComStatus = Text(m_nChannel == CH_MODEM ? txt::ModemNotConnected : txt::ComNotOpen);
    m_strTcpStatus = Text(txt::TcpIdle);
    m_strUdpStatus = Text(txt::UdpIdle);
    UpdateData(false);
}

// Runs the settings dialog of a channel over m_config and returns its
// result. The settings dialogs are not part of the program yet: nothing is
// shown and the store stays as it is.
int CQuillmarkDlg::RunSettingsDialog(int) {
    return IDCANCEL;
}

void CQuillmarkDlg::OnComSettings() {
    if (m_nChannel == CH_SERIAL || m_nChannel == CH_MODEM) {
        RunSettingsDialog(m_nChannel);
        LoadSettings();
        OnSelchangeChannel();
    }
    EnableItem(IDC_CLOSE_PORT, false);
    ShowSettings();
}

void CQuillmarkDlg::OnTcpSettings() {
    RunSettingsDialog(CH_TCP);
    LoadSettings();
    ShowSettings();
    OnSelchangeChannel();
    EnableItem(IDC_TCP_DISCONNECT, false);
}

void CQuillmarkDlg::OnUdpSettings() {
    RunSettingsDialog(CH_UDP);
    LoadSettings();
    ShowSettings();
    OnSelchangeChannel();
    EnableItem(IDC_UDP_CLOSE, false);
}

void CQuillmarkDlg::StartChannelWorker(int channel) {
    m_job.nChannel = channel;
    m_job.pSendBuf = nullptr;
    m_job.pRecvBuf = nullptr;
    m_job.nSendBufSize = 0;
    m_job.nRecvBufSize = 0;
    m_job.hNotifyWnd = GetSafeHwnd();
    // A worker that ended by itself (failed connect, bind or dial) is
    // joined before the next one starts.
    ::StopWorker(m_job, m_worker);
    m_worker = ::StartWorker(m_job);
    if (channel != CH_SERIAL) {
        m_nConnecting = channel;
        m_job.hOpenEvent->Set();
    }
}

void CQuillmarkDlg::OnOpenPort() {
    if (WorkerRuns())
        return;
    const bool modem = m_nChannel == CH_MODEM;
    const int port = modem ? m_settings.nModemPort : m_settings.nComPort;
    const long baud = modem ? m_settings.nModemBaud : m_settings.nComBaud;
    if (ComOpen(port, ComBaudIndex(baud)) < 0) {
        MessageBox(QString::asprintf(txt::OpenPortFailed, port), Text(txt::Error),
                   MB_ICONEXCLAMATION);
        return;
    }

    if (!modem) {
        m_job.nPort = port;
        StartChannelWorker(CH_SERIAL);
        m_strComStatus = Text(txt::ComOpened);
        m_bPortOpen = 1;
        EnableItem(IDC_OPEN_PORT, false);
        EnableItem(IDC_CLOSE_PORT, true);
        UpdateData(false);
        return;
    }

    m_strDialCmd = "ATDT" + m_settings.strAddedNo + m_settings.strCalledNo + "\n";
    m_job.strAddress = m_strDialCmd;
    m_job.nPort = port;
    StartChannelWorker(CH_MODEM);
    CDialingDlg dlgDialing(this);
    if (dlgDialing.DoModal() != IDOK)
        AbandonDial(port);
}

// Cancel of the dialling dialog: the worker posts nothing more and ends; the
// port is closed and the channel shows closed.
void CQuillmarkDlg::AbandonDial(int port) {
    ::CancelDial(m_job);
    ::StopWorker(m_job, m_worker);
    ComClose(port);
    m_job.hOpenEvent->Reset();
    m_nConnecting = -1;
    EnableItem(IDC_OPEN_PORT, true);
    EnableItem(IDC_CLOSE_PORT, false);
    m_bPortOpen = 0;
}

void CQuillmarkDlg::OnTcpConnect() {
    if (WorkerRuns())
        return;
    m_job.strAddress = m_settings.strTcpIp;
    m_job.nPort = m_settings.nTcpPort;
    m_job.nOperation = OP_EXCHANGE;
    StartChannelWorker(CH_TCP);
}

void CQuillmarkDlg::OnUdpBind() {
    if (WorkerRuns())
        return;
    m_job.strAddress = m_settings.strUdpIp;
    m_job.nPort = m_settings.nUdpPort;
    m_job.nOperation = OP_EXCHANGE;
    StartChannelWorker(CH_UDP);
}

void CQuillmarkDlg::OnCommResult(int code, long value) {
    switch (code) {
    case RC_CONNECT_FAILED:
    case RC_CONNECTED:
        OnConnectOutcome(code, static_cast<int>(value));
        break;
    case RC_SENT:
        OnSendResult(value);
        break;
    case RC_RECEIVED:
        OnReceiveResult(value);
        break;
    case RC_RAW_RECEIVED:
        OnRawReceiveResult(value);
        break;
    default:
        break;
    }
    m_tCmdEnd = ClockMs();
    m_nCmdTime = static_cast<int>(m_tCmdEnd - m_tCmdStart);
    UpdateData(false);
}

void CQuillmarkDlg::StartCmdClock() {
    m_tCmdStart = ClockMs();
}

void CQuillmarkDlg::OnConnectOutcome(int code, int channel) {
    if (channel != m_nConnecting)
        return;
    m_nConnecting = -1;
    const bool connected = code == RC_CONNECTED;
    const int reason = m_job.nResult;
    const QString caption = Text(txt::Error);

    switch (channel) {
    case CH_TCP:
        if (connected) {
            m_strTcpStatus = Text(txt::TcpConnected);
            m_bTcpConnected = 1;
            EnableItem(IDC_TCP_CONNECT, false);
            EnableItem(IDC_TCP_DISCONNECT, true);
            break;
        }
        if (reason == RES_BAD_ADDRESS || reason == RES_SOCKET_FAILED)
            MessageBox(Text(txt::TcpBadAddress), caption, MB_ICONEXCLAMATION);
        else if (reason == RES_OPEN_FAILED)
            MessageBox(Text(txt::TcpTimeout), caption, MB_ICONEXCLAMATION);
        else
            MessageBox(QString::asprintf(txt::TcpOtherError, reason), caption, MB_ICONEXCLAMATION);
        m_strTcpStatus = Text(txt::TcpFailed);
        m_bTcpConnected = 0;
        break;
    case CH_UDP:
        if (connected) {
            m_strUdpStatus = Text(txt::UdpBound);
            m_bUdpBound = 1;
            EnableItem(IDC_UDP_BIND, false);
            EnableItem(IDC_UDP_CLOSE, true);
            break;
        }
        if (reason == UDP_NO_ADAPTER)
            MessageBox(Text(txt::UdpNoNetwork), caption, MB_ICONEXCLAMATION);
        else if (reason == UDP_NO_PORT)
            MessageBox(Text(txt::UdpBindFailed), caption, MB_ICONEXCLAMATION);
        else if (reason == UDP_NO_ETHERNET)
            MessageBox(Text(txt::UdpNoGprs), caption, MB_ICONEXCLAMATION);
        m_strUdpStatus = Text(txt::UdpFailed);
        m_bUdpBound = 0;
        break;
    case CH_MODEM:
        if (connected) {
            m_strComStatus = Text(txt::ModemConnected);
            m_bPortOpen = 1;
            EnableItem(IDC_OPEN_PORT, false);
            EnableItem(IDC_CLOSE_PORT, true);
        } else {
            if (reason == RES_NO_START)
                MessageBox(Text(txt::DialNoAnswer), caption, MB_ICONEXCLAMATION);
            else if (reason == RES_RECV_ERROR)
                MessageBox(Text(txt::DialRecvError), caption, MB_ICONEXCLAMATION);
            m_strComStatus = Text(txt::DialFailed);
            m_bPortOpen = 0;
        }
        if (CDialogBase* dlgDialing = FindWindowByCaption(Text(txt::DialingCaption)))
            dlgDialing->OnOK();
        break;
    default:
        break;
    }
}

// Every close ends timed sending: both timers, both boxes, both flags.
void CQuillmarkDlg::StopTimedSending() {
    if (!IsItemChecked(IDC_PROTOCOL_TIMED) && !IsItemChecked(IDC_DIRECT_TIMED) &&
        !m_bProtocolTimerOn && !m_bDirectTimerOn)
        return;
    KillTimer(TIMER_PROTOCOL_SEND);
    KillTimer(TIMER_DIRECT_SEND);
    CheckItem(IDC_PROTOCOL_TIMED, false);
    CheckItem(IDC_DIRECT_TIMED, false);
    // The members too, or the next refresh of the controls would tick the boxes again.
    m_bProtocolTimed = false;
    m_bDirectTimed = false;
    m_bProtocolTimerOn = 0;
    m_bDirectTimerOn = 0;
    FocusItem(IDC_PROTOCOL_PERIOD);
}

void CQuillmarkDlg::OnTcpDisconnect() {
    StopWorker();
    EnableItem(IDC_TCP_CONNECT, true);
    EnableItem(IDC_TCP_DISCONNECT, false);
    m_bTcpConnected = 0;
    m_strTcpStatus = Text(txt::TcpDisconnected);
    UpdateData(false);
    StopTimedSending();
}

void CQuillmarkDlg::OnUdpClose() {
    StopWorker();
    EnableItem(IDC_UDP_BIND, true);
    EnableItem(IDC_UDP_CLOSE, false);
    m_bUdpBound = 0;
    m_strUdpStatus = Text(txt::UdpClosed);
    UpdateData(false);
    StopTimedSending();
}

void CQuillmarkDlg::OnClosePort() {
    const bool modem = m_nChannel == CH_MODEM;
    ComClose(modem ? m_settings.nModemPort : m_settings.nComPort);
    m_strComStatus = Text(modem ? txt::ModemHungUp : txt::ComClosed);
    m_bPortOpen = 0;
    EnableItem(IDC_OPEN_PORT, true);
    EnableItem(IDC_CLOSE_PORT, false);
    StopWorker();
    UpdateData(false);
    StopTimedSending();
}

void CQuillmarkDlg::OnCloseAll() {
    OnUdpClose();
    OnClosePort();
    OnTcpDisconnect();
}
