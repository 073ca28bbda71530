#pragma once

#include <QString>
#include <string>

#include "app/DialogBase.h"
#include "console/ConsoleState.h"

class QAction;

// The console: channel choice and connection control, the send panel, the
// result display, diagnostics and download. It holds the widgets, the
// fields bound to them and the wiring; the console's state and decisions
// live in its CConsoleState. The worker does every blocking channel
// operation and reports by posting WM_COMM_RESULT.
class CQuillmarkDlg : public CDialogBase {
  public:
    // configPath: the config.xml read at start-up and saved by the settings
    // dialogs; empty means config.xml beside the executable.
    explicit CQuillmarkDlg(QWidget* parent = nullptr, std::string configPath = {});
    ~CQuillmarkDlg() override;

    // The console's state, for what the window shows and for tests.
    const CConsoleState& State() const { return m_state; }
    // Whether the job record is busy: the console's last job still belongs to
    // the worker, or a dialog holds the record. Sends, diagnostics and timer
    // ticks file nothing meanwhile.
    bool JobPending() const { return m_state.JobPending(); }
    // Whether a dialog (public commands, download) holds the job record.
    bool JobLent() const { return m_state.JobLent(); }
    // Whether a worker runs for this console (connecting or connected).
    bool WorkerRuns() const { return m_state.WorkerRuns(); }
    // Whether the initialisation got through (config.xml loaded).
    bool IsInitialised() const { return m_state.HasEvents(); }

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
    // 开始记录... / 停止记录 of the context menu: records the channel's
    // traffic to a capture file the user names.
    void OnCapture();
    // A tick of a timed row's timer (TIMER_PROTOCOL_SEND, TIMER_DIRECT_SEND).
    void OnTimer(int id) override;

  protected:
    bool OnInitDialog() override;
    void DoDataExchange(CDataExchange& dx) override;
    void OnCommResult(int code, long value) override;
    bool PreTranslateMessage(QWidget* control, QEvent* event) override;
    void contextMenuEvent(QContextMenuEvent* event) override;

  private:
    void ShowCaptureStatus();
    // The fields a handler reads back: each reads only those it uses, so
    // that a field it does not use cannot refuse it.
    enum FieldGroup : unsigned {
        FG_PROTOCOL = 1,     // machine number, command, protocol data
        FG_DIRECT = 2,       // direct data, HEX发送, 发送新行
        FG_PROTOCOL_ROW = 4, // the protocol row's box and period
        FG_DIRECT_ROW = 8,   // the direct row's box and period
        FG_TIMEOUTS = 16,    // the two time-outs
        FG_LABELS = 32,      // receive status, counters, command time (shown only)
        FG_DOWNLOAD = 64,    // download file and machine number
        FG_ALL = 127
    };
    void Exchange(CDataExchange& dx, unsigned groups);
    bool ReadFields(unsigned groups);
    // Writes every field after a result, leaving alone the editable field
    // that has the keyboard focus (its text, caret and selection).
    void RefreshFields();

    // The controls of each link's panel, by link.
    struct LinkPanel {
        int nGroup;
        int nSettings;
        int nOpen;
        int nClose;
        int nStatus;
        int nAddress[2]; // 0: none
    };
    static const LinkPanel LINK_PANELS[LINK_COUNT];

    // Sets every channel panel's enables, captions and status label from the
    // state: a panel is on while its link is the chosen channel's; an open
    // button while its link is not open and is chosen or was closed by the
    // user; a close button while its link is open. keepOwnClose: the chosen
    // link's close button, its link not open, stays as it was (a new choice
    // and a failed connect leave it).
    void ShowChannels(bool keepOwnClose = false);
    void OnConnectOutcome(int code, int channel);
    // The user's close of link, by its close button or close-all.
    void CloseLink(int link);
    void StopTimedSending();
    // Runs a dialog that files its own jobs on the console's job; the
    // console files none meanwhile and takes the results back afterwards.
    int RunOnLentJob(CDialogBase& dlg);
    int RunSettingsDialog(int channel);
    // A settings button: the dialog, then the channel chosen again with what
    // it saved, its close button off.
    void OnSettings(int channel);

    // Wiring of the display, send-panel and diagnostics handlers.
    void ConnectDisplayHandlers();
    void ConnectSendHandlers();
    void ConnectDiagHandlers();

    // The not-connected warning of the selected channel; true when it was
    // refused. On a tick the row's timed sending is stopped first.
    bool RefuseNotConnected();
    // A timed row's controls, the fields its box and period belong to, and
    // its send; by row (ROW_NONE has none).
    struct TimedRowControls {
        int nBox;
        int nPeriod;
        unsigned nFields;
        void (CQuillmarkDlg::*pSend)();
    };
    static const TimedRowControls ROW_CONTROLS[ROW_DIRECT + 1];

    // Ends timed sending of one row: state, box, field and timer.
    void StopTimedRow(int row);
    // State, box and field of a row, its timer left as it is.
    void SetTimedRow(int row, bool on);
    // Reads the fields for a send; a tick's row counts as stopped while they
    // are read, so that a range message comes after its timed sending ended.
    bool ReadSendFields(unsigned groups);
    // Shows an input-check refusal of row's send: stops the row's timed
    // sending first, then the message (writeBack: then the fields are
    // written back), then focuses and selects the field.
    void RefuseInput(int row, const QString& text, int fieldId, bool writeBack = false);
    void FilterHexField(int fieldId, QString& member, int& length);
    void ToggleTimedRow(int row);
    // The range message when row's period is outside 1-10000 ms.
    void CheckPeriod(int row);
    // Files the built request of sendLen bytes; timed: the command clock
    // starts.
    void FileExchange(int sendLen, bool timed);
    void RunDiag(int cmd);

    CConsoleState m_state;

    // Fields bound to the controls.
    int m_nMachineNo = 255;
    QString m_strCommand = QStringLiteral("DD");
    // A timed row's box and period, by row (ROW_NONE unused).
    struct TimedRowFields {
        bool bTimed = false;
        int nPeriod = 1000;
    };
    TimedRowFields m_rows[ROW_DIRECT + 1];
    bool m_bHexSend = false;
    bool m_bSendNewLine = false;
    int m_nFirstCharTimeout = 1000;
    int m_nInterCharTimeout = 1000;
    QString m_strProtocolData;
    QString m_strDirectData;
    int m_nProtocolDataLen = 0;
    int m_nDirectDataLen = 0;
    QString m_strLoadFile;
    int m_nLoadMachineNo = 255;
    bool m_bManualReceive = false;

    // The row whose tick runs its send now (ROW_NONE for a click).
    int m_nTickRow = ROW_NONE;
    std::string m_strConfigPath;
    QAction* m_pAboutAction = nullptr;
    QAction* m_pCaptureAction = nullptr;
    QString m_strTitle;       // the caption without the recording's status
    QString m_strCaptureFile; // the file of the last recording, offered again
};
