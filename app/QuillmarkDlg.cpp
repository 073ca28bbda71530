#include "app/QuillmarkDlg.h"

#include <QAction>
#include <QContextMenuEvent>
#include <QMenu>
#include <cstdio>
#include <cstring>

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
const char* const OpenPort = "打开串口";
const char* const ClosePort = "关闭串口";
const char* const Dial = "拨号";
const char* const HangUp = "挂断";
const char* const NoLoadFile = "请指定待下载的程序文件";
const char* const NoLoadMachineNo = "请输入机号";
const char* const BinExt = "bin";
const char* const BinFilter = "Bin File(*.bin)|*.bin|All Files(*.*)|*.*||";
const char* const StartCapture = "开始记录...";
const char* const StopCapture = "停止记录";
const char* const CaptureExt = "pcapng";
const char* const CaptureFilter = "记录文件(*.pcapng)|*.pcapng|所有文件(*.*)|*.*||";
const char* const CaptureDefaultName = "quillmark.pcapng";
const char* const CaptureTitle = "%1 - 正在记录: %2";
const char* const CaptureFailedTitle = "%1 - 记录失败: %2";
const char* const CaptureOpenFailed = "无法创建记录文件%1: %2";
const char* const CaptureWriteFailed = "写记录文件%1失败: %2，记录止于最后一个完整的数据包。";
} // namespace txt

QString ErrnoText(int err) {
    return QString::fromLocal8Bit(std::strerror(-err));
}

// Asks, never opens: opening a FIFO would block until a writer came.
bool FileReadable(const std::string& path) {
    struct stat st;
    return ::stat(path.c_str(), &st) == 0 && S_ISREG(st.st_mode) &&
           ::access(path.c_str(), R_OK) == 0;
}

// The port panel's open and close captions, by channel: the modem dials and
// hangs up. The network panels keep their template's.
struct PortCaptions {
    const char* pOpen;
    const char* pClose;
};
const PortCaptions PORT_CAPTIONS[] = {{txt::OpenPort, txt::ClosePort}, {txt::Dial, txt::HangUp}};

// The bytes 00 to FF and then 00 to 04, as hex digits.
QString InitialProtocolData() {
    QString hex;
    for (int i = 0; i < 261; ++i)
        hex += QString::asprintf("%02X", i & 0xFF);
    return hex;
}

} // namespace

const CQuillmarkDlg::LinkPanel CQuillmarkDlg::LINK_PANELS[LINK_COUNT] = {
    {IDC_SERIAL_GROUP,
     IDC_COM_SET,
     IDC_OPEN_PORT,
     IDC_CLOSE_PORT,
     IDC_COM_STATUS,
     {IDC_COM_PORT, IDC_COM_BAUD}},
    {IDC_TCP_GROUP,
     IDC_TCP_SET,
     IDC_TCP_CONNECT,
     IDC_TCP_DISCONNECT,
     IDC_TCP_STATUS,
     {IDC_TCP_ADDR, 0}},
    {IDC_UDP_GROUP, IDC_UDP_SET, IDC_UDP_BIND, IDC_UDP_CLOSE, IDC_UDP_STATUS, {IDC_UDP_ADDR, 0}},
};

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
    m_pCaptureAction = new QAction(Text(txt::StartCapture), this);
    connect(m_pCaptureAction, &QAction::triggered, this, [this] { OnCapture(); });
    m_strTitle = windowTitle();
    setWindowIcon(AppIcon());

    const std::string& path = m_strConfigPath;
    if (!FileReadable(path)) {
        MessageBox(Text(txt::ConfigMissing), AppTitle(), MB_ICONEXCLAMATION);
        OnCancel();
        return false;
    }
    if (!m_state.LoadConfig(path)) {
        MessageBox(Text(txt::ConfigBroken), AppTitle(), MB_ICONEXCLAMATION);
        OnCancel();
        return false;
    }

    ShowSettings();
    SetCurSel(IDC_CHANNEL, CH_SERIAL);
    OnSelchangeChannel();
    m_state.CreateEvents();

    SetItemText(IDC_DATA_LEN, QString::asprintf("%d", 261));
    ConnectDisplayHandlers();
    ConnectSendHandlers();
    ConnectDiagHandlers();
    return true;
}

void CQuillmarkDlg::DoDataExchange(CDataExchange& dx) {
    Exchange(dx, FG_ALL);
}

// Binding order is the order of the range checks when every field is read.
void CQuillmarkDlg::Exchange(CDataExchange& dx, unsigned groups) {
    if (groups & FG_PROTOCOL) {
        dx.Text(IDC_MACHINE_NO, m_nMachineNo, 0, 255);
        dx.Text(IDC_COMMAND, m_strCommand, 2);
    }
    for (int row : {ROW_PROTOCOL, ROW_DIRECT})
        if (groups & ROW_CONTROLS[row].nFields)
            dx.Check(ROW_CONTROLS[row].nBox, m_rows[row].bTimed);
    if (groups & FG_DIRECT) {
        dx.Check(IDC_HEX_SEND, m_bHexSend);
        dx.Check(IDC_SEND_NEWLINE, m_bSendNewLine);
    }
    for (int row : {ROW_PROTOCOL, ROW_DIRECT})
        if (groups & ROW_CONTROLS[row].nFields)
            dx.Text(ROW_CONTROLS[row].nPeriod, m_rows[row].nPeriod);
    if (groups & FG_TIMEOUTS) {
        dx.Text(IDC_FIRST_CHAR, m_nFirstCharTimeout, FIRST_CHAR_MIN_MS, FIRST_CHAR_MAX_MS);
        dx.Text(IDC_INTER_CHAR, m_nInterCharTimeout, INTER_CHAR_MIN_MS, INTER_CHAR_MAX_MS);
    }
    if (groups & FG_PROTOCOL)
        dx.Text(IDC_PROTOCOL_DATA, m_strProtocolData);
    if (groups & FG_DIRECT)
        dx.Text(IDC_DIRECT_DATA, m_strDirectData);
    if ((groups & FG_LABELS) && !dx.m_bSaveAndValidate) {
        SetItemText(IDC_RECV_STATUS, Text(m_state.RecvStatus()));
        SetItemText(IDC_RECV_COUNT, QString::number(m_state.RecvCount()));
        SetItemText(IDC_SEND_COUNT, QString::number(m_state.SendCount()));
    }
    if (groups & FG_DOWNLOAD) {
        dx.Text(IDC_LOAD_FILE, m_strLoadFile);
        dx.Text(IDC_LOAD_MACHINE_NO, m_nLoadMachineNo, 1, 255);
    }
    if ((groups & FG_LABELS) && !dx.m_bSaveAndValidate)
        SetItemText(IDC_CMD_TIME, QString::number(m_state.CmdTime()));
}

bool CQuillmarkDlg::ReadFields(unsigned groups) {
    CDataExchange dx(*this, true);
    Exchange(dx, groups);
    return !dx.Failed();
}

void CQuillmarkDlg::RefreshFields() {
    CDataExchange dx(*this, false);
    dx.KeepFocusedEdit();
    Exchange(dx, FG_ALL);
}

void CQuillmarkDlg::ShowSettings() {
    const ChannelSettings& settings = m_state.Settings();
    SetItemText(IDC_COM_PORT, QString::asprintf("串口号: COM%d", settings.nComPort));
    SetItemText(IDC_COM_BAUD, QString::asprintf("波特率: %d", static_cast<int>(settings.nComBaud)));
    SetItemText(IDC_TCP_ADDR, QString::fromStdString(settings.strTcpIp) +
                                  QString::asprintf(":%d", settings.nTcpPort));
    SetItemText(IDC_UDP_ADDR, QString::fromStdString(settings.strUdpIp) +
                                  QString::asprintf(":%d", settings.nUdpPort));
}

void CQuillmarkDlg::StopWorker() {
    m_state.StopWorker();
}

void CQuillmarkDlg::OnSysCommand(int nID) {
    if ((nID & 0xFFF0) == IDM_ABOUTBOX) {
        CAboutDlg dlgAbout(this);
        dlgAbout.DoModal();
    }
}

void CQuillmarkDlg::contextMenuEvent(QContextMenuEvent* event) {
    QMenu menu(this);
    if (m_pCaptureAction)
        menu.addAction(m_pCaptureAction);
    if (m_pAboutAction) {
        menu.addSeparator();
        menu.addAction(m_pAboutAction);
    }
    if (!menu.isEmpty())
        menu.exec(event->globalPos());
}

void CQuillmarkDlg::OnCapture() {
    if (m_state.CaptureOn()) {
        const QString path = Text(m_state.CapturePath());
        const int rc = m_state.StopCapture();
        ShowCaptureStatus();
        if (rc < 0)
            MessageBox(Text(txt::CaptureWriteFailed).arg(path, ErrnoText(rc)), Text(CAPTION_FAILED),
                       MB_ICONEXCLAMATION);
        return;
    }
    QString path = m_strCaptureFile.isEmpty() ? Text(txt::CaptureDefaultName) : m_strCaptureFile;
    if (DoFileSaveDialog(this, Text(txt::CaptureExt), Text(txt::CaptureFilter), path) != IDOK)
        return;
    m_strCaptureFile = path;
    if (const int rc = m_state.StartCapture(path.toStdString()); rc < 0) {
        MessageBox(Text(txt::CaptureOpenFailed).arg(path, ErrnoText(rc)), Text(CAPTION_FAILED),
                   MB_ICONEXCLAMATION);
        return;
    }
    ShowCaptureStatus();
}

// The caption says while a recording is on, and whether its writing failed.
void CQuillmarkDlg::ShowCaptureStatus() {
    QString title = m_strTitle;
    if (m_state.CaptureOn()) {
        const char* form =
            m_state.CaptureError() != 0 ? txt::CaptureFailedTitle : txt::CaptureTitle;
        title = Text(form).arg(m_strTitle, Text(m_state.CapturePath()));
    }
    if (windowTitle() != title)
        setWindowTitle(title);
    if (m_pCaptureAction)
        m_pCaptureAction->setText(Text(m_state.CaptureOn() ? txt::StopCapture : txt::StartCapture));
}

void CQuillmarkDlg::OnSelchangeChannel() {
    m_state.SelectChannel(GetCurSel(IDC_CHANNEL));
    // A channel chosen again leaves its close button as it was.
    ShowChannels(true);
    m_state.ReadTimeouts(m_nFirstCharTimeout, m_nInterCharTimeout);
    UpdateData(false);
}

void CQuillmarkDlg::ShowChannels(bool keepOwnClose) {
    const int channel = m_state.Channel();
    const int chosen = LinkOf(channel);
    if (chosen == LINK_PORT) {
        SetItemText(LINK_PANELS[LINK_PORT].nOpen, Text(PORT_CAPTIONS[channel].pOpen));
        SetItemText(LINK_PANELS[LINK_PORT].nClose, Text(PORT_CAPTIONS[channel].pClose));
    }
    for (int link = 0; link < LINK_COUNT; ++link) {
        const LinkPanel& panel = LINK_PANELS[link];
        const bool own = link == chosen;
        const bool open = m_state.LinkOpen(link);
        for (int id :
             {panel.nGroup, panel.nSettings, panel.nStatus, panel.nAddress[0], panel.nAddress[1]})
            if (id != 0)
                EnableItem(id, own);
        EnableItem(panel.nOpen, !open && (own || m_state.Label(link) == LABEL_CLOSED));
        if (open || !own || !keepOwnClose)
            EnableItem(panel.nClose, open);
        SetItemText(panel.nStatus, Text(m_state.LinkStatus(link)));
    }
}

// Runs the settings dialog of a channel over the console's store and returns
// its result.
int CQuillmarkDlg::RunSettingsDialog(int channel) {
    std::unique_ptr<CSettingsDlgBase> dlg;
    switch (channel) {
    case CH_SERIAL:
        dlg = std::make_unique<CComSetDlg>(this, m_state.Config());
        break;
    case CH_MODEM:
        dlg = std::make_unique<CModemSetDlg>(this, m_state.Config());
        break;
    case CH_TCP:
        dlg = std::make_unique<CTcpSetDlg>(this, m_state.Config());
        break;
    case CH_UDP:
        dlg = std::make_unique<CUdpSetDlg>(this, m_state.Config());
        break;
    default:
        return IDCANCEL;
    }
    return dlg->DoModal();
}

void CQuillmarkDlg::OnSettings(int channel) {
    RunSettingsDialog(channel);
    m_state.LoadSettings();
    ShowSettings();
    OnSelchangeChannel();
    // Unlike a choice, the settings leave the close button off.
    ShowChannels();
}

// The port's one settings button serves serial and modem.
void CQuillmarkDlg::OnComSettings() {
    if (LinkOf(m_state.Channel()) == LINK_PORT)
        OnSettings(m_state.Channel());
}

void CQuillmarkDlg::OnTcpSettings() {
    OnSettings(CH_TCP);
}

void CQuillmarkDlg::OnUdpSettings() {
    OnSettings(CH_UDP);
}

void CQuillmarkDlg::OnOpenPort() {
    if (m_state.WorkerRuns())
        return;
    const int channel = m_state.Channel();
    const int port = m_state.SelectedPort();
    if (m_state.OpenChannel(GetSafeHwnd()) < 0) {
        MessageBox(Text(OpenPortFailedText(port)), Text(CAPTION_ERROR), MB_ICONEXCLAMATION);
        return;
    }
    if (channel == CH_SERIAL) {
        ShowChannels();
        UpdateData(false);
        return;
    }
    CDialingDlg dlgDialing(this);
    if (dlgDialing.DoModal() != IDOK) {
        // Cancelled: the worker posts nothing more; the port is closed and
        // the channel shows closed.
        m_state.AbandonDial();
        ShowChannels();
    }
}

void CQuillmarkDlg::OnTcpConnect() {
    m_state.OpenChannel(GetSafeHwnd());
}

void CQuillmarkDlg::OnUdpBind() {
    m_state.OpenChannel(GetSafeHwnd());
}

void CQuillmarkDlg::OnConnectOutcome(int code, int channel) {
    if (code != RC_CONNECTED) {
        const std::string failure = ConnectFailedText(channel, m_state.Job().nResult);
        if (!failure.empty())
            MessageBoxWhenFree(this, Text(failure), Text(CAPTION_ERROR), MB_ICONEXCLAMATION);
    }
    // A failed connect leaves the close button as it was.
    ShowChannels(true);
    if (channel == CH_MODEM)
        if (CDialogBase* dlgDialing = FindWindowByCaption(Text(DIALING_CAPTION)))
            dlgDialing->OnOK();
}

void CQuillmarkDlg::CloseLink(int link) {
    m_state.CloseLink(link);
    ShowChannels();
    UpdateData(false);
    StopTimedSending();
}

void CQuillmarkDlg::OnTcpDisconnect() {
    CloseLink(LINK_TCP);
}

void CQuillmarkDlg::OnUdpClose() {
    CloseLink(LINK_UDP);
}

void CQuillmarkDlg::OnClosePort() {
    CloseLink(LINK_PORT);
}

void CQuillmarkDlg::OnCloseAll() {
    OnUdpClose();
    OnClosePort();
    OnTcpDisconnect();
}

int CQuillmarkDlg::RunOnLentJob(CDialogBase& dlg) {
    const int result = dlg.DoModal();
    m_state.ReturnJob(GetSafeHwnd());
    return result;
}

// A click while the console's own job runs is dropped, as a send's is: the
// dialog would overwrite the record the worker is reading.
void CQuillmarkDlg::OnPubFuns() {
    if (RefuseNotConnected() || JobPending())
        return;
    CPubFunsDlg dlgPubFuns(this, m_state.LendJob());
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
    else if (!ReadFields(FG_DOWNLOAD))
        return;
    if (RefuseNotConnected())
        return;
    if (m_strLoadFile.isEmpty()) {
        MessageBox(Text(txt::NoLoadFile), Text(CAPTION_HINT), MB_ICONINFORMATION);
        FocusItem(IDC_CHOOSE_FILE);
        return;
    }
    if (noMachineNo) {
        MessageBox(Text(txt::NoLoadMachineNo), Text(CAPTION_HINT), MB_ICONINFORMATION);
        FocusItem(IDC_LOAD_MACHINE_NO);
        return;
    }
    CLoadProcDlg dlgLoad(this, m_strLoadFile.toStdString(), m_nLoadMachineNo, m_state.LendJob(),
                         [this] { OnCloseAll(); });
    RunOnLentJob(dlgLoad);
}

void CQuillmarkDlg::OnAssist() {
    CAssistFunDlg dlgAssist(this);
    dlgAssist.DoModal();
}
