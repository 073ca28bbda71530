#pragma once

#include <QString>
#include <cstdint>
#include <memory>
#include <string>
#include <thread>

#include "app/DialogBase.h"
#include "comm/CommJob.h"
#include "config/ChannelSettings.h"
#include "config/XmlConfig.h"
#include "protocol/Limits.h"

// Set by the received-frame display when the reply began with the
// acknowledgement; read by the protocol send.
extern bool g_bConfirmPacket;
// The sequence byte of the next prefixed protocol send: 1 ... 252, 0, 1 ...
extern uint8_t g_nSeqNo;

// The console: channel choice and connection control, the send panel, the
// result display, diagnostics and download. Its handlers gather input, call
// the core and show what it returns; the worker does every blocking channel
// operation and reports by posting WM_COMM_RESULT.
class QAction;

class CQuillmarkDlg : public CDialogBase {
  public:
    // configPath: the config.xml read at start-up and saved by the settings
    // dialogs; empty means config.xml beside the executable.
    explicit CQuillmarkDlg(QWidget* parent = nullptr, std::string configPath = {});
    ~CQuillmarkDlg() override;

    // Fills the settings from the store; a missing key keeps its value.
    void LoadSettings();
    // Writes the four settings labels.
    void ShowSettings();
    // Stops a running worker (it closes its channel) and clears the three
    // connection flags.
    void StopWorker();
    // IDM_ABOUTBOX shows the About box.
    void OnSysCommand(int nID);

    // Channel control.
    void OnSelchangeChannel();
    void OnComSettings();
    void OnTcpSettings();
    void OnUdpSettings();
    void OnOpenPort();
    void OnClosePort();
    void OnTcpConnect();
    void OnTcpDisconnect();
    void OnUdpBind();
    void OnUdpClose();
    // Closes UDP, the serial/modem port and TCP, whatever channel is chosen.
    void OnCloseAll();

    // "公共命令": the connection check, then the public commands dialog on
    // the console's job; the console takes the results back afterwards.
    void OnPubFuns();
    // "辅助功能": a new calculator dialog each time; needs no connection.
    void OnAssist();
    // "选择文件": the chosen .bin file becomes the download path.
    void OnChooseFile();
    // "下载": the checks, then the download dialog on the console's job,
    // which closes every channel when it ends.
    void OnDownload();
    // Result display (QuillmarkDlgDisplay.cpp).
    void ShowRecvFrame(const uint8_t* bytes, int n);
    void ShowRecvRaw(const uint8_t* bytes, int n);
    void ShowSent(const uint8_t* bytes, int n);
    void OnClearDisplay();
    void OnClearCount();

    // Send panel and timed sending (QuillmarkDlgSend.cpp).
    void SendByProtocol();
    void SendDirect();
    void OnTimedProtocolSend();
    void OnTimedDirectSend();
    void OnProtocolDataChange();
    void OnDirectDataChange();
    void CheckProtocolPeriod();
    void CheckDirectPeriod();
    void OnReceive();
    void OnReceiveModeToggle();

    // Diagnostics (QuillmarkDlgDiag.cpp).
    void OnVersion();
    void OnReaderId();
    void OnPowerOn();
    void OnPowerOff();
    void OnSetPcsc();
    void OnCancelPcsc();

    // Whether the job record is busy: the console's last job still belongs to
    // the worker (its buffers and the record must not be touched until its
    // result arrives), or a dialog holds the record. Sends, diagnostics and
    // timer ticks file nothing meanwhile.
    bool JobPending() const { return m_bJobPending || m_bJobLent; }
    // Whether a dialog (public commands, download) holds the job record.
    bool JobLent() const { return m_bJobLent; }

    // Whether a worker runs for this console (connecting or connected).
    bool WorkerRuns() const;
    // Whether the initialisation got through (config.xml loaded).
    bool IsInitialised() const { return m_pEvents != nullptr; }

    // Fields bound to the controls.
    int m_nMachineNo = 255;
    QString m_strCommand = QStringLiteral("DD");
    bool m_bProtocolTimed = false;
    bool m_bDirectTimed = false;
    bool m_bHexSend = false;
    bool m_bSendNewLine = false;
    int m_nProtocolPeriod = 1000;
    int m_nDirectPeriod = 1000;
    int m_nFirstCharTimeout = 1000;
    int m_nInterCharTimeout = 1000;
    QString m_strProtocolData;
    QString m_strDirectData;
    int m_nProtocolDataLen = 0;
    int m_nDirectDataLen = 0;
    QString m_strComStatus = QStringLiteral("未打开");
    QString m_strTcpStatus = QStringLiteral("未连接");
    QString m_strUdpStatus = QStringLiteral("未绑定");
    QString m_strRecvStatus = QStringLiteral("接收状态");
    int m_nRecvCount = 0;
    int m_nSendCount = 0;
    QString m_strLoadFile;
    int m_nLoadMachineNo = 255;
    int m_nCmdTime = 0;

    // Channel state.
    int m_nChannel = 2;
    uint8_t m_bPortOpen = 0;
    uint8_t m_bTcpConnected = 0;
    uint8_t m_bUdpBound = 0;
    uint8_t m_bProtocolTimerOn = 0;
    uint8_t m_bDirectTimerOn = 0;
    uint8_t m_bManualReceive = 0;
    int m_bWaitVersion = 0;
    int m_bWaitReaderId = 0;
    int m_bWaitPowerOn = 0;
    int m_bWaitPowerOff = 0;

    uint8_t m_sendBuf[FRAME_BUF_SIZE] = {};
    uint8_t m_recvBuf[FRAME_BUF_SIZE] = {};
    long m_tCmdStart = 0;
    long m_tCmdEnd = 0;

    CXmlConfig m_config;
    ChannelSettings m_settings;
    CommJob m_job;
    std::string m_strDialCmd;

  protected:
    bool OnInitDialog() override;
    void DoDataExchange(CDataExchange& dx) override;
    void OnCommResult(int code, long value) override;
    void OnTimer(int id) override;
    bool PreTranslateMessage(QWidget* control, QEvent* event) override;
    void contextMenuEvent(QContextMenuEvent* event) override;

  private:
    void OnConnectOutcome(int code, int channel);
    void StartChannelWorker(int channel);
    void AbandonDial(int port);
    void StopTimedSending();
    // Runs a dialog that files its own jobs on m_job; the console files none
    // meanwhile and takes the results back afterwards.
    int RunOnLentJob(CDialogBase& dlg);
    int RunSettingsDialog(int channel);
    void StartCmdClock();

    // Wiring of the display, send-panel and diagnostics handlers.
    void ConnectDisplayHandlers();
    void ConnectSendHandlers();
    void ConnectDiagHandlers();
    // Result codes of the console's own jobs.
    void OnSendResult(long value);
    void OnReceiveResult(long value);
    void OnRawReceiveResult(long value);

    // The not-connected warning of the selected channel; true when it was
    // refused. On a tick (timerId) the row's timed sending is stopped first.
    bool RefuseNotConnected(int timerId);
    // Whether the selected channel is open.
    bool ChannelOpen() const;
    // Ends timed sending of one row: box, member, flag and timer.
    void StopTimedRow(int timerId);
    // Box, member and flag of a row, its timer left as it is.
    void SetTimedRow(int timerId, bool on);
    // Reads the fields for a send (tick: the timer running it, or 0).
    bool ReadSendFields(int tick);
    // Shows an input-check refusal of a send: stops the row's timed sending
    // first, then the message (writeBack: then the fields are written back),
    // then focuses and selects the field.
    void RefuseInput(const QString& text, int fieldId, bool writeBack = false);
    void FilterHexField(int fieldId, QString& member, int& length);
    void ToggleTimedRow(int timerId);
    void CheckPeriod(int fieldId, int period);
    // Files the console's job: an exchange of sendLen bytes from m_sendBuf,
    // or a raw receive, with the console's time-outs. Sets the job event last.
    void FileJob(int operation, int sendLen);
    void RunDiag(int cmd);

    bool m_bJobPending = false;
    bool m_bJobLent = false;
    // The timer whose tick is running its send (0 for a click).
    int m_nTickTimer = 0;

    std::string m_strConfigPath;
    QAction* m_pAboutAction = nullptr;
    std::unique_ptr<CommEvents> m_pEvents; // created by the initialisation
    std::thread m_worker;
    // The channel whose connect, bind or dial outcome is awaited; -1 when
    // none. An outcome for anything else comes from a worker that was
    // stopped or cancelled since, and is dropped.
    int m_nConnecting = -1;
};
