#pragma once

#include <cstdint>
#include <memory>
#include <string>
#include <string_view>
#include <thread>

#include "comm/CaptureWriter.h"
#include "comm/Clock.h"
#include "comm/CommJob.h"
#include "config/ChannelSettings.h"
#include "config/XmlConfig.h"
#include "protocol/Diagnostics.h"
#include "protocol/Limits.h"
#include "protocol/ResultCodes.h"

// Set by the received-frame display when the reply began with the
// acknowledgement; read by the protocol send. Process-wide, never reset.
extern bool g_bConfirmPacket;
// The sequence byte of the next prefixed protocol send: 1 ... 252, 0, 1 ...
extern uint8_t g_nSeqNo;

// The two timed-sending rows, numbered as their window timers.
enum TimedRow : int { ROW_NONE = 0, ROW_PROTOCOL = 1, ROW_DIRECT = 2 };

// What a channel opens. Serial and modem share the port: one open flag, one
// panel, one status label.
enum Link : int { LINK_PORT = 0, LINK_TCP = 1, LINK_UDP = 2, LINK_COUNT = 3 };
// The link of channel; -1 for an unknown channel.
int LinkOf(int channel);

// What a link's status label says while the link is not open: what ended
// it last. Idle since a channel was chosen, its connect, bind or dial
// failed, or the user closed it.
enum LinkLabel : int { LABEL_IDLE = 0, LABEL_FAILED = 1, LABEL_CLOSED = 2 };

// The console's two hex windows, as the result handler writes to them. The
// window class supplies them; tests supply plain strings.
enum ConsoleWindow : int { WND_RECV = 0, WND_SEND = 1 };
class CConsoleWindows {
  public:
    virtual ~CConsoleWindows() = default;
    // Line feeds plus one, as WindowLineCount counts.
    virtual int LineCount(int window) const = 0;
    // Replaces the whole text.
    virtual void SetText(int window, const std::string& text) = 0;
    virtual void Append(int window, const std::string& text) = 0;
};

// What a result asks of the window beyond the windows' texts and the fields
// the state holds.
struct ResultActions {
    bool bSendFailed = false;     // show the send-failure message
    int nStoppedRow = ROW_NONE;   // the timed row the failed send ended (box and timer)
    bool bConnectOutcome = false; // an awaited connect, bind or dial outcome arrived
};

// The console's state and its decisions, without a widget: the store and
// the settings read from it, the selected channel, which link is open and
// what its label says, the job record with its events, worker and buffers
// and where the job stands, the pending diagnostic verdicts, the two timed
// rows, the command clock, the counters and the receive status. The console
// window gathers input, calls this and shows what it returns.
class CConsoleState {
  public:
    using Clock = int64_t (*)();
    // clock: milliseconds of a steady clock; the command clock counts from
    // the state's creation on it.
    explicit CConsoleState(Clock clock = NowMs);
    // Stops the worker (it closes its channel).
    ~CConsoleState();
    CConsoleState(const CConsoleState&) = delete;
    CConsoleState& operator=(const CConsoleState&) = delete;

    // Store and settings.
    CXmlConfig& Config() { return m_config; }
    const ChannelSettings& Settings() const { return m_settings; }
    // Loads config.xml, binds its Ports to COM numbers and reads the
    // settings. False when the store could not load the file.
    bool LoadConfig(const std::string& path);
    // Reads the settings again after a settings dialog.
    void LoadSettings();
    // The selected channel's two time-outs as the store holds them; a key
    // that cannot be read keeps the value passed in.
    void ReadTimeouts(int& firstChar, int& interChar);

    // Creates the worker events and sets the job record's start values. The
    // console does this once, after the store loaded.
    void CreateEvents();
    bool HasEvents() const { return m_events != nullptr; }
    CommJob& Job() { return m_job; }
    const CommJob& Job() const { return m_job; }
    uint8_t* SendBuf() { return m_sendBuf; }
    uint8_t* RecvBuf() { return m_recvBuf; }

    // Channels. Choosing one stops whatever worker runs, and every link's
    // label goes back to idle.
    int Channel() const { return m_nChannel; }
    void SelectChannel(int channel);
    // Whether channel is open (serial and modem share the port's flag).
    bool IsOpen(int channel) const { return LinkOpen(LinkOf(channel)); }
    // Whether link is open; false for an unknown link.
    bool LinkOpen(int link) const;
    bool ChannelOpen() const { return IsOpen(m_nChannel); }
    bool AnyChannelOpen() const;
    // Connecting, or a channel open.
    bool WorkerRuns() const { return m_stand.nStage == JOB_CONNECTING || AnyChannelOpen(); }
    // What link's label says while the link is not open.
    LinkLabel Label(int link) const;
    // The text of link's status label: what its opening said while it is
    // open, else its label's text. The port's speaks of the modem while the
    // modem is chosen. Empty for an unknown link, never nullptr.
    const char* LinkStatus(int link) const;
    // The COM number and speed of the selected serial or modem channel.
    int SelectedPort() const;
    long SelectedBaud() const;

    // Opens the selected channel. Serial: the console opens the port and
    // its worker starts, the channel is open; RES_OPEN_FAILED when the port
    // cannot be opened. Modem: the port is opened the same way and
    // the worker dials. TCP and UDP: the worker connects or binds. Modem, TCP
    // and UDP post their outcome, which OnResult takes. Returns RES_OK when
    // started.
    ResultCode OpenChannel(WindowHandle wnd);
    // The user closes link: the port (of the selected serial or modem
    // channel) is closed, the worker stopped, and the label says closed.
    void CloseLink(int link);
    // The dial was cancelled: the worker is told, joined, and posts nothing.
    void AbandonDial();
    // Stops the worker and clears the three open flags; a connect awaited or
    // a job filed ends, a lent record stays lent.
    void StopWorker();

    // The job record. Busy while the console's job belongs to the worker or a
    // dialog holds the record: nothing else is filed meanwhile.
    bool JobPending() const { return m_stand.nStage == JOB_PENDING || JobLent(); }
    bool JobLent() const { return m_stand.nStage == JOB_LENT; }
    CommJob& LendJob();
    // The dialog is done: the record comes back, its results go to wnd.
    void ReturnJob(WindowHandle wnd);

    // The requests, built into the send buffer. Each returns the request's
    // length or the refusal of BuildProtocolSend / BuildDirectSend, with the
    // buffer untouched then.
    int BuildProtocolRequest(int machine, std::string_view command, std::string_view data,
                             int& badPos);
    int BuildDirectRequest(std::string_view text, bool hex, bool newLine, int& badPos);
    // A diagnostic's request; its verdict waits for the next frame shown.
    int BuildDiagRequest(int cmd);

    // Files the request of sendLen bytes (row: the timed row whose tick sent
    // it, or ROW_NONE). timed: the command clock starts (protocol and
    // diagnostic sends). Sets the job event last.
    void FileExchange(int sendLen, int row, bool timed, bool noReceive, int firstChar,
                      int interChar, WindowHandle wnd);
    void FileRawReceive(int firstChar, int interChar, WindowHandle wnd);

    // Timed rows.
    bool RowOn(int row) const;
    void SetRowOn(int row, bool on);
    // Whether a tick of row files its send: the row runs, no job is busy and
    // no message box is open (a box's own event loop would let ticks pile
    // up behind it).
    bool TickMayFile(int row, bool boxOpen) const;
    // The row whose tick filed the pending job, or ROW_NONE.
    int PendingRow() const { return m_stand.nRow; }

    // Handles a worker result: the windows, counters, receive status,
    // verdicts, open flags and the command time.
    ResultActions OnResult(int code, long value, CConsoleWindows& windows);

    // Recording: every byte the console's channel writes and reads goes to a
    // capture file, one interface per channel, from the next job filed.
    // StartCapture returns 0 or -errno (a recording on is stopped first);
    // StopCapture returns 0 or the first failed write of the recording.
    int StartCapture(const std::string& path);
    int StopCapture();
    bool CaptureOn() const { return m_capture != nullptr; }
    const std::string& CapturePath() const { return m_strCapturePath; }
    // The recording's first failed write, -errno; 0 when none or off.
    int CaptureError() const { return m_capture ? m_capture->Error() : 0; }

    // Display fields.
    int SendCount() const { return m_nSendCount; }
    int RecvCount() const { return m_nRecvCount; }
    const char* RecvStatus() const { return m_pRecvStatus; }
    // Milliseconds from the last timed send to the last result, 0 to
    // 2147483647.
    int CmdTime() const { return m_nCmdTime; }
    void ClearCounts();
    const DiagPending& Pending() const { return m_pending; }
    void SetPending(const DiagPending& pending) { m_pending = pending; }

  private:
    // Where the console's job stands.
    enum JobStage : int {
        JOB_IDLE,       // nothing runs on the record: a job may be filed
        JOB_CONNECTING, // a connect, bind or dial runs; its outcome is awaited
        JOB_PENDING,    // an exchange or raw receive is filed; its result is awaited
        JOB_LENT,       // a dialog holds the record and files its own jobs
    };
    // The stage with what belongs to it, set as one value so that nothing
    // outlives its stage.
    struct JobStand {
        JobStage nStage = JOB_IDLE;
        // JOB_CONNECTING: the channel whose outcome is awaited. An outcome for
        // anything else comes from a worker stopped or cancelled since, and
        // is dropped.
        int nChannel = -1;
        // JOB_PENDING: the timed row whose tick filed the job, or ROW_NONE.
        int nRow = ROW_NONE;
    };

    // The filed job is over: its result came, or none will. A connect
    // awaited or a lent record is no filed job and stays.
    void EndJob();
    int64_t Elapsed() const { return m_clock() - m_nStartMs; }
    void OnConnectOutcome(int code, int channel, ResultActions& actions);
    void OnSendResult(long value, CConsoleWindows& windows, ResultActions& actions);
    void OnReceiveResult(long value, CConsoleWindows& windows);
    void OnRawReceiveResult(long value, CConsoleWindows& windows);
    // Sets channel's open flag; an unknown channel has none.
    void SetOpen(int channel, bool open);
    void StartWorker();
    // Whether the worker runs a job filed with the record's capture link.
    bool JobInFlight() const { return m_stand.nStage != JOB_IDLE; }
    // Points the record at the recording's interface for the selected
    // channel, adding the interface when the channel is new to the file.
    void LinkCapture();
    // The interface name of the selected channel.
    std::string CaptureChannel() const;
    // A stopped recording's writer is freed once no job uses it any more.
    void ReleaseRetiredCapture();

    Clock m_clock;
    int64_t m_nStartMs;

    CXmlConfig m_config;
    ChannelSettings m_settings;

    std::unique_ptr<CommEvents> m_events;
    CommJob m_job;
    std::thread m_worker;
    uint8_t m_sendBuf[FRAME_BUF_SIZE] = {};
    uint8_t m_recvBuf[FRAME_BUF_SIZE] = {};
    std::string m_strDialCmd;

    int m_nChannel = CH_TCP;
    bool m_bPortOpen = false;
    bool m_bTcpConnected = false;
    bool m_bUdpBound = false;
    // The open flags by link: every read and write of a channel's flag goes
    // through this table.
    bool* const m_pLinkOpen[LINK_COUNT] = {&m_bPortOpen, &m_bTcpConnected, &m_bUdpBound};
    LinkLabel m_nLabel[LINK_COUNT] = {};

    JobStand m_stand;
    bool m_bRowOn[3] = {};

    DiagPending m_pending;
    int m_nSendCount = 0;
    int m_nRecvCount = 0;
    const char* m_pRecvStatus;
    int64_t m_nCmdStart = 0; // ms since the state's creation
    int m_nCmdTime = 0;

    std::unique_ptr<CCaptureWriter> m_capture;
    // A stopped recording whose writer the job in flight still points at.
    std::unique_ptr<CCaptureWriter> m_retiredCapture;
    std::string m_strCapturePath;
    std::string m_strCaptureChannel; // the name of the interface last added
    int m_nCaptureInterface = -1;
    bool m_bCaptureChannelStale = true; // channel or settings changed since
};
