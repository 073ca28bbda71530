#include "console/ConsoleState.h"

#include <algorithm>
#include <climits>

#include "comm/CaptureTap.h"
#include "comm/CommThread.h"
#include "comm/DialModem.h"
#include "comm/SerialPort.h"
#include "protocol/DisplayText.h"
#include "protocol/ResultCodes.h"
#include "protocol/SendPanel.h"
#include "protocol/StatusText.h"

bool g_bConfirmPacket = false;
uint8_t g_nSeqNo = SEQ_NO_FIRST;

namespace {

// The link of each channel, by channel.
constexpr int CHANNEL_LINK[] = {LINK_PORT, LINK_PORT, LINK_TCP, LINK_UDP};
// The channel each link's label speaks of, unless the modem is chosen.
constexpr int LINK_CHANNEL[LINK_COUNT] = {CH_SERIAL, CH_TCP, CH_UDP};

} // namespace

int LinkOf(int channel) {
    return channel >= CH_SERIAL && channel <= CH_UDP ? CHANNEL_LINK[channel] : -1;
}

CConsoleState::CConsoleState(Clock clock)
    : m_clock(clock), m_nStartMs(clock()), m_pRecvStatus(RECV_STATUS_INITIAL) {}

CConsoleState::~CConsoleState() {
    StopWorker();
}

bool CConsoleState::LoadConfig(const std::string& path) {
    if (!m_config.Load(path.c_str()))
        return false;
    BindConfiguredPorts(m_config);
    LoadSettings();
    return true;
}

void CConsoleState::LoadSettings() {
    ReadChannelSettings(m_config, m_settings);
    m_bCaptureChannelStale = true;
}

void CConsoleState::ReadTimeouts(int& firstChar, int& interChar) {
    ReadChannelTimeouts(m_config, m_nChannel, firstChar, interChar);
}

void CConsoleState::CreateEvents() {
    m_events = std::make_unique<CommEvents>();
    m_events->AttachTo(m_job);
    m_job.pRecvBuf = nullptr;
    m_job.pSendBuf = nullptr;
    m_job.nOperation = OP_EXCHANGE;
    m_job.nMachineNo = -1;
    m_pending = {};
}

void CConsoleState::SelectChannel(int channel) {
    StopWorker();
    m_nChannel = channel;
    for (LinkLabel& label : m_nLabel)
        label = LABEL_IDLE;
    m_bCaptureChannelStale = true;
}

bool CConsoleState::LinkOpen(int link) const {
    return link >= 0 && link < LINK_COUNT && *m_pLinkOpen[link];
}

bool CConsoleState::AnyChannelOpen() const {
    for (const bool* open : m_pLinkOpen)
        if (*open)
            return true;
    return false;
}

void CConsoleState::SetOpen(int channel, bool open) {
    if (const int link = LinkOf(channel); link >= 0)
        *m_pLinkOpen[link] = open;
}

LinkLabel CConsoleState::Label(int link) const {
    return link >= 0 && link < LINK_COUNT ? m_nLabel[link] : LABEL_IDLE;
}

const char* CConsoleState::LinkStatus(int link) const {
    if (link < 0 || link >= LINK_COUNT)
        return "";
    const int channel = link == LINK_PORT && m_nChannel == CH_MODEM ? CH_MODEM : LINK_CHANNEL[link];
    const char* text = nullptr;
    if (LinkOpen(link))
        text = ConnectStatusText(channel, true);
    else if (m_nLabel[link] == LABEL_FAILED)
        text = ConnectStatusText(channel, false);
    else if (m_nLabel[link] == LABEL_CLOSED)
        text = ChannelClosedText(channel);
    else
        text = ChannelIdleText(channel);
    return text ? text : "";
}

int CConsoleState::SelectedPort() const {
    return m_nChannel == CH_MODEM ? m_settings.nModemPort : m_settings.nComPort;
}

long CConsoleState::SelectedBaud() const {
    return m_nChannel == CH_MODEM ? m_settings.nModemBaud : m_settings.nComBaud;
}

void CConsoleState::StartWorker() {
    // A worker that ended by itself (failed connect, bind or dial) is joined
    // before the next one starts.
    ::StopWorker(m_job, m_worker);
    m_worker = ::StartWorker(m_job);
}

ResultCode CConsoleState::OpenChannel(WindowHandle wnd) {
    if (WorkerRuns() || !m_events)
        return RES_OK;
    const int channel = m_nChannel;
    switch (channel) {
    case CH_SERIAL:
    case CH_MODEM: {
        const int port = SelectedPort();
        if (const ResultCode rc = ComOpen(port, ComBaudIndex(SelectedBaud())); rc < 0)
            return rc;
        if (channel == CH_SERIAL) {
            FillOpenJob(m_job, CH_SERIAL, port, {}, wnd);
            LinkCapture();
            StartWorker();
            SetOpen(CH_SERIAL, true);
            return RES_OK;
        }
        m_strDialCmd = "ATDT" + m_settings.strAddedNo + m_settings.strCalledNo + "\n";
        FillOpenJob(m_job, CH_MODEM, port, m_strDialCmd, wnd);
        break;
    }
    case CH_TCP:
        FillOpenJob(m_job, CH_TCP, m_settings.nTcpPort, m_settings.strTcpIp, wnd);
        break;
    case CH_UDP:
        FillOpenJob(m_job, CH_UDP, m_settings.nUdpPort, m_settings.strUdpIp, wnd);
        break;
    default:
        return RES_OK;
    }
    LinkCapture();
    StartWorker();
    m_stand = {JOB_CONNECTING, channel, ROW_NONE};
    m_job.hOpenEvent->Set();
    return RES_OK;
}

void CConsoleState::CloseLink(int link) {
    if (link == LINK_PORT)
        ComClose(SelectedPort());
    StopWorker();
    if (link >= 0 && link < LINK_COUNT)
        m_nLabel[link] = LABEL_CLOSED;
}

void CConsoleState::AbandonDial() {
    ::CancelDial(m_job);
    ::StopWorker(m_job, m_worker);
    ComClose(SelectedPort());
    if (m_job.hOpenEvent)
        m_job.hOpenEvent->Reset();
    if (m_stand.nStage == JOB_CONNECTING)
        m_stand = {};
    SetOpen(CH_MODEM, false);
}

void CConsoleState::StopWorker() {
    ::StopWorker(m_job, m_worker);
    if (m_stand.nStage != JOB_LENT)
        m_stand = {};
    for (bool* open : m_pLinkOpen)
        *open = false;
    ReleaseRetiredCapture();
}

CommJob& CConsoleState::LendJob() {
    LinkCapture();
    m_stand = {JOB_LENT, -1, ROW_NONE};
    return m_job;
}

void CConsoleState::ReturnJob(WindowHandle wnd) {
    if (m_stand.nStage == JOB_LENT)
        m_stand = {};
    m_job.hNotifyWnd = wnd;
    ReleaseRetiredCapture();
}

void CConsoleState::EndJob() {
    if (m_stand.nStage == JOB_PENDING)
        m_stand = {};
}

int CConsoleState::StartCapture(const std::string& path) {
    StopCapture();
    auto writer = std::make_unique<CCaptureWriter>();
    if (const int rc = writer->Open(path, CAPTURE_SIDE_HOST, "quillmark"); rc < 0)
        return rc;
    m_capture = std::move(writer);
    m_strCapturePath = path;
    m_strCaptureChannel.clear();
    m_nCaptureInterface = -1;
    return 0;
}

int CConsoleState::StopCapture() {
    if (!m_capture)
        return 0;
    // The writer is closed at once; a job in flight that still records to it
    // finds it closed and records nothing more.
    const int rc = m_capture->Close();
    if (JobInFlight() && m_job.capture.pWriter == m_capture.get())
        m_retiredCapture = std::move(m_capture);
    else
        m_job.capture = {};
    m_capture.reset();
    m_strCapturePath.clear();
    return rc;
}

std::string CConsoleState::CaptureChannel() const {
    switch (m_nChannel) {
    case CH_TCP:
        return CaptureChannelName(CH_TCP, m_settings.nTcpPort, m_settings.strTcpIp, 0);
    case CH_UDP:
        return CaptureChannelName(CH_UDP, m_settings.nUdpPort, m_settings.strUdpIp, 0);
    default:
        return CaptureChannelName(m_nChannel, SelectedPort(), {}, SelectedBaud());
    }
}

void CConsoleState::LinkCapture() {
    if (!m_capture) {
        m_job.capture = {};
        return;
    }
    // The channel's name is built again only after it may have changed, not
    // at every exchange of timed sending.
    if (m_bCaptureChannelStale || m_nCaptureInterface < 0) {
        const std::string name = CaptureChannel();
        if (name != m_strCaptureChannel || m_nCaptureInterface < 0) {
            m_nCaptureInterface = m_capture->AddInterface(name, "quillmark console");
            m_strCaptureChannel = name;
        }
        m_bCaptureChannelStale = false;
    }
    m_job.capture = {m_capture.get(), m_nCaptureInterface};
}

void CConsoleState::ReleaseRetiredCapture() {
    if (!m_retiredCapture || JobInFlight())
        return;
    if (m_job.capture.pWriter == m_retiredCapture.get())
        m_job.capture = {};
    m_retiredCapture.reset();
}

int CConsoleState::BuildProtocolRequest(int machine, std::string_view command,
                                        std::string_view data, int& badPos) {
    return BuildProtocolSend(static_cast<uint8_t>(machine), command, data, g_bConfirmPacket,
                             g_nSeqNo, m_sendBuf, FRAME_BUF_SIZE, badPos);
}

int CConsoleState::BuildDirectRequest(std::string_view text, bool hex, bool newLine, int& badPos) {
    return BuildDirectSend(text, hex, newLine, m_sendBuf, FRAME_BUF_SIZE, badPos);
}

int CConsoleState::BuildDiagRequest(int cmd) {
    const int len = BuildDiagFrame(cmd, m_sendBuf);
    if (len > 0)
        SetDiagPending(cmd, m_pending);
    return len;
}

void CConsoleState::FileExchange(int sendLen, int row, bool timed, bool noReceive, int firstChar,
                                 int interChar, WindowHandle wnd) {
    FillExchangeJob(m_job, m_sendBuf, FRAME_BUF_SIZE, sendLen, m_recvBuf, FRAME_BUF_SIZE, noReceive,
                    wnd);
    m_job.nFirstCharTimeout = firstChar;
    m_job.nInterCharTimeout = interChar;
    LinkCapture();
    if (timed)
        m_nCmdStart = Elapsed();
    m_stand = {JOB_PENDING, -1, row};
    m_job.hJobEvent->Set();
}

void CConsoleState::FileRawReceive(int firstChar, int interChar, WindowHandle wnd) {
    FillRawReceiveJob(m_job, m_recvBuf, FRAME_BUF_SIZE, wnd);
    m_job.nFirstCharTimeout = firstChar;
    m_job.nInterCharTimeout = interChar;
    LinkCapture();
    m_stand = {JOB_PENDING, -1, ROW_NONE};
    m_job.hJobEvent->Set();
}

bool CConsoleState::RowOn(int row) const {
    return (row == ROW_PROTOCOL || row == ROW_DIRECT) && m_bRowOn[row];
}

void CConsoleState::SetRowOn(int row, bool on) {
    if (row == ROW_PROTOCOL || row == ROW_DIRECT)
        m_bRowOn[row] = on;
}

bool CConsoleState::TickMayFile(int row, bool boxOpen) const {
    return RowOn(row) && !JobPending() && !boxOpen;
}

ResultActions CConsoleState::OnResult(int code, long value, CConsoleWindows& windows) {
    ResultActions actions;
    switch (code) {
    case RC_CONNECT_FAILED:
    case RC_CONNECTED:
        OnConnectOutcome(code, static_cast<int>(value), actions);
        break;
    case RC_SENT:
        OnSendResult(value, windows, actions);
        break;
    case RC_RECEIVED:
        OnReceiveResult(value, windows);
        break;
    case RC_RAW_RECEIVED:
        OnRawReceiveResult(value, windows);
        break;
    default:
        break;
    }
    ReleaseRetiredCapture();
    // In 64 bits and clamped: the field's read-back checks 0..2147483647.
    m_nCmdTime = static_cast<int>(std::clamp<int64_t>(Elapsed() - m_nCmdStart, 0, INT_MAX));
    return actions;
}

void CConsoleState::OnConnectOutcome(int code, int channel, ResultActions& actions) {
    if (m_stand.nStage != JOB_CONNECTING || channel != m_stand.nChannel)
        return;
    m_stand = {};
    const bool connected = code == RC_CONNECTED;
    SetOpen(channel, connected);
    if (!connected)
        m_nLabel[LinkOf(channel)] = LABEL_FAILED;
    actions.bConnectOutcome = true;
}

void CConsoleState::OnSendResult(long value, CConsoleWindows& windows, ResultActions& actions) {
    if (value != 0) {
        // No reply follows a failed send. A timed row that filed it ends
        // here, so that its next tick does not fail and warn again.
        const int row = PendingRow();
        if (RowOn(row)) {
            SetRowOn(row, false);
            actions.nStoppedRow = row;
        }
        EndJob();
        actions.bSendFailed = true;
        return;
    }
    // A send without a reply to wait for ends the job here.
    if (m_job.bNoReceive)
        EndJob();
    if (MustEmptyWindow(DISPLAY_SENT, windows.LineCount(WND_SEND)))
        windows.SetText(WND_SEND, WINDOW_EMPTIED_TEXT);
    windows.Append(WND_SEND, FormatSent(m_sendBuf, m_job.nSendLen));
    m_nSendCount += m_job.nSendLen;
}

void CConsoleState::OnReceiveResult(long value, CConsoleWindows& windows) {
    EndJob();
    const int n = static_cast<int>(value);
    m_pRecvStatus = RecvStatusText(n);
    if (n > 0) {
        m_nRecvCount += n;
        if (MustEmptyWindow(DISPLAY_RECV_FRAME, windows.LineCount(WND_RECV)))
            windows.SetText(WND_RECV, WINDOW_EMPTIED_TEXT);
        const RecvFrameText shown = FormatRecvFrame(m_recvBuf, n, m_pending);
        g_bConfirmPacket = shown.bConfirmPacket;
        m_pending = {};
        windows.Append(WND_RECV, shown.text);
        return;
    }
    if (const char* appended = RecvErrorAppendText(n); *appended)
        windows.Append(WND_RECV, appended);
    if (RecvErrorClearsPending(n))
        m_pending = {};
}

void CConsoleState::OnRawReceiveResult(long value, CConsoleWindows& windows) {
    EndJob();
    const int n = static_cast<int>(value);
    m_pRecvStatus = RawRecvStatusText(n);
    if (n <= 0)
        return;
    m_nRecvCount += n;
    if (MustEmptyWindow(DISPLAY_RECV_RAW, windows.LineCount(WND_RECV)))
        windows.SetText(WND_RECV, WINDOW_EMPTIED_TEXT);
    windows.Append(WND_RECV, FormatRecvRaw(m_recvBuf, n, windows.LineCount(WND_RECV)));
}

void CConsoleState::ClearCounts() {
    m_nSendCount = 0;
    m_nRecvCount = 0;
}
