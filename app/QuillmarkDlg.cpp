#include "app/QuillmarkDlg.h"

#include <QAction>
#include <QContextMenuEvent>
#include <QMenu>
#include <cstdio>

#include <sys/stat.h>
#include <unistd.h>

#include "app/AboutDlg.h"
#include "app/AssistFunDlg.h"
#include "app/ComSetDlg.h"
#include "app/DataExchange.h"
#include "app/DialingDlg.h"
#include "app/LoadProcDlg.h"
#include "app/MessageBox.h"
#include "app/ModemSetDlg.h"
#include "app/PubFunsDlg.h"
#include "app/Resource.h"
#include "app/TcpSetDlg.h"
#include "app/UdpSetDlg.h"
#include "app/WindowMessages.h"
#include "comm/Clock.h"
#include "comm/CommThread.h"
#include "comm/DialModem.h"
#include "comm/SerialPort.h"
#include "protocol/ResultCodes.h"
#include "protocol/StatusText.h"
#include "ui_QuillmarkDlg.h"

namespace {

// The console's own texts; those of result codes and channel states come
// from the core's table.
namespace txt {
const char* const AboutMenu = "关于 Quillmark(&A)...";
const char* const ConfigMissing = "程序配置文件config.xml丢失,退出!";
const char* const ConfigBroken = "加载程序配置文件config.xml失败,退出!";
const char* const Error = "错误";
const char* const OpenPort = "打开串口";
const char* const ClosePort = "关闭串口";
const char* const Dial = "拨号";
const char* const HangUp = "挂断";
const char* const Hint = "提示";
const char* const NoLoadFile = "请指定待下载的程序文件";
const char* const NoLoadMachineNo = "请输入机号";
const char* const BinExt = "bin";
const char* const BinFilter = "Bin File(*.bin)|*.bin|All Files(*.*)|*.*||";
} // namespace txt

// Asks, never opens: opening a FIFO would block until a writer came.
bool FileReadable(const std::string& path) {
    struct stat st;
    return ::stat(path.c_str(), &st) == 0 && S_ISREG(st.st_mode) &&
           ::access(path.c_str(), R_OK) == 0;
}

// The bytes 00 to FF and then 00 to 04, as hex digits.
QString InitialProtocolData() {
    QString hex;
    for (int i = 0; i < 261; ++i)
        hex += QString::asprintf("%02X", i & 0xFF);
    return hex;
}

} // namespace

CQuillmarkDlg::CQuillmarkDlg(QWidget* parent, std::string configPath)
    : CDialogBase(parent),
      m_strConfigPath(configPath.empty() ? GetExeDir() + "config.xml" : std::move(configPath)) {
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
    OnClicked(IDC_PUBFUNS, [this] { OnPubFuns(); });
    OnClicked(IDC_ASSIST, [this] { OnAssist(); });
    OnClicked(IDC_CHOOSE_FILE, [this] { OnChooseFile(); });
    OnClicked(IDC_DOWNLOAD, [this] { OnDownload(); });
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

    const std::string& path = m_strConfigPath;
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
    BindConfiguredPorts(m_config);

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
    ReadChannelSettings(m_config, m_settings);
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

    ReadChannelTimeouts(m_config, m_nChannel, m_nFirstCharTimeout, m_nInterCharTimeout);

    m_strComStatus = Text(ChannelIdleText(m_nChannel == CH_MODEM ? CH_MODEM : CH_SERIAL));
    m_strTcpStatus = Text(ChannelIdleText(CH_TCP));
    m_strUdpStatus = Text(ChannelIdleText(CH_UDP));
    UpdateData(false);
}

// Runs the settings dialog of a channel over m_config and returns its result.
int CQuillmarkDlg::RunSettingsDialog(int channel) {
    std::unique_ptr<CSettingsDlgBase> dlg;
    switch (channel) {
    case CH_SERIAL:
        dlg = std::make_unique<CComSetDlg>(this);
        break;
    case CH_MODEM:
        dlg = std::make_unique<CModemSetDlg>(this);
        break;
    case CH_TCP:
        dlg = std::make_unique<CTcpSetDlg>(this);
        break;
    case CH_UDP:
        dlg = std::make_unique<CUdpSetDlg>(this);
        break;
    default:
        return IDCANCEL;
    }
    dlg->m_pConfig = &m_config;
    return dlg->DoModal();
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
        MessageBox(Text(OpenPortFailedText(port)), Text(txt::Error), MB_ICONEXCLAMATION);
        return;
    }

    if (!modem) {
        FillOpenJob(m_job, CH_SERIAL, port, {}, GetSafeHwnd());
        StartChannelWorker(CH_SERIAL);
        m_strComStatus = Text(ConnectStatusText(CH_SERIAL, true));
        m_bPortOpen = 1;
        EnableItem(IDC_OPEN_PORT, false);
        EnableItem(IDC_CLOSE_PORT, true);
        UpdateData(false);
        return;
    }

    m_strDialCmd = "ATDT" + m_settings.strAddedNo + m_settings.strCalledNo + "\n";
    FillOpenJob(m_job, CH_MODEM, port, m_strDialCmd, GetSafeHwnd());
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
    FillOpenJob(m_job, CH_TCP, m_settings.nTcpPort, m_settings.strTcpIp, GetSafeHwnd());
    StartChannelWorker(CH_TCP);
}

void CQuillmarkDlg::OnUdpBind() {
    if (WorkerRuns())
        return;
    FillOpenJob(m_job, CH_UDP, m_settings.nUdpPort, m_settings.strUdpIp, GetSafeHwnd());
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
    m_tCmdEnd = static_cast<long>(NowMs());
    m_nCmdTime = static_cast<int>(m_tCmdEnd - m_tCmdStart);
    UpdateData(false);
}

void CQuillmarkDlg::StartCmdClock() {
    m_tCmdStart = static_cast<long>(NowMs());
}

void CQuillmarkDlg::OnConnectOutcome(int code, int channel) {
    if (channel != m_nConnecting)
        return;
    m_nConnecting = -1;
    const bool connected = code == RC_CONNECTED;
    if (!connected) {
        const std::string failure = ConnectFailedText(channel, m_job.nResult);
        if (!failure.empty())
            MessageBox(Text(failure), Text(txt::Error), MB_ICONEXCLAMATION);
    }
    const char* status = ConnectStatusText(channel, connected);

    switch (channel) {
    case CH_TCP:
        m_strTcpStatus = Text(status);
        m_bTcpConnected = connected;
        if (connected) {
            EnableItem(IDC_TCP_CONNECT, false);
            EnableItem(IDC_TCP_DISCONNECT, true);
        }
        break;
    case CH_UDP:
        m_strUdpStatus = Text(status);
        m_bUdpBound = connected;
        if (connected) {
            EnableItem(IDC_UDP_BIND, false);
            EnableItem(IDC_UDP_CLOSE, true);
        }
        break;
    case CH_MODEM:
        m_strComStatus = Text(status);
        m_bPortOpen = connected;
        if (connected) {
            EnableItem(IDC_OPEN_PORT, false);
            EnableItem(IDC_CLOSE_PORT, true);
        }
        if (CDialogBase* dlgDialing = FindWindowByCaption(Text(DIALING_CAPTION)))
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
    m_strTcpStatus = Text(ChannelClosedText(CH_TCP));
    UpdateData(false);
    StopTimedSending();
}

void CQuillmarkDlg::OnUdpClose() {
    StopWorker();
    EnableItem(IDC_UDP_BIND, true);
    EnableItem(IDC_UDP_CLOSE, false);
    m_bUdpBound = 0;
    m_strUdpStatus = Text(ChannelClosedText(CH_UDP));
    UpdateData(false);
    StopTimedSending();
}

void CQuillmarkDlg::OnClosePort() {
    const bool modem = m_nChannel == CH_MODEM;
    ComClose(modem ? m_settings.nModemPort : m_settings.nComPort);
    m_strComStatus = Text(ChannelClosedText(modem ? CH_MODEM : CH_SERIAL));
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

int CQuillmarkDlg::RunOnLentJob(CDialogBase& dlg) {
    m_bJobLent = true;
    const int result = dlg.DoModal();
    m_bJobLent = false;
    m_job.hNotifyWnd = GetSafeHwnd();
    return result;
}

// A click while the console's own job runs is dropped, as a send's is: the
// dialog would overwrite the record the worker is reading.
void CQuillmarkDlg::OnPubFuns() {
    if (RefuseNotConnected(0) || JobPending())
        return;
    CPubFunsDlg dlgPubFuns(this);
    dlgPubFuns.m_pJob = &m_job;
    RunOnLentJob(dlgPubFuns);
}

void CQuillmarkDlg::OnChooseFile() {
    QString path = m_strLoadFile;
    if (DoFileOpenDialog(this, Text(txt::BinExt), Text(txt::BinFilter), path) != IDOK)
        return;
    m_strLoadFile = path;
    SetItemText(IDC_LOAD_FILE, m_strLoadFile);
}

// A machine number outside 1-255 ends the download at its range message. An
// empty one is not the range check's to report: it gets its own message
// after the connection and the file.
void CQuillmarkDlg::OnDownload() {
    if (JobPending())
        return;
    const bool noMachineNo = GetItemText(IDC_LOAD_MACHINE_NO).trimmed().isEmpty();
    if (noMachineNo)
        m_strLoadFile = GetItemText(IDC_LOAD_FILE);
    else if (!UpdateData(true))
        return;
    if (RefuseNotConnected(0))
        return;
    if (m_strLoadFile.isEmpty()) {
        MessageBox(Text(txt::NoLoadFile), Text(txt::Hint), MB_ICONINFORMATION);
        FocusItem(IDC_CHOOSE_FILE);
        return;
    }
    if (noMachineNo) {
        MessageBox(Text(txt::NoLoadMachineNo), Text(txt::Hint), MB_ICONINFORMATION);
        FocusItem(IDC_LOAD_MACHINE_NO);
        return;
    }
    CLoadProcDlg dlgLoad(this);
    RunOnLentJob(dlgLoad);
}

void CQuillmarkDlg::OnAssist() {
    CAssistFunDlg dlgAssist(this);
    dlgAssist.DoModal();
}
