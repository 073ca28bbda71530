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

// The console: channel choice and connection control, the send panel, the
// result display, diagnostics and download. Its handlers gather input, call
// the core and show what it returns; the worker does every blocking channel
// operation and reports by posting WM_COMM_RESULT.
class QAction;

class CQuillmarkDlg : public CDialogBase {
  public:
    // exeDir: where config.xml is looked for; empty means beside the
    // executable.
    explicit CQuillmarkDlg(QWidget* parent = nullptr, std::string exeDir = {});
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

    uint8_t m_sendBuf[600] = {};
    uint8_t m_recvBuf[600] = {};
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
    void contextMenuEvent(QContextMenuEvent* event) override;

  private:
    void OnConnectOutcome(int code, int channel);
    void StartChannelWorker(int channel);
    void AbandonDial(int port);
    void StopTimedSending();
    // False after the selected channel's not-open warning (focus on its
    // open, connect or bind button).
    bool CheckConnection();
    int RunSettingsDialog(int channel);

    std::string m_strExeDir;
    QAction* m_pAboutAction = nullptr;
    std::unique_ptr<CommEvents> m_pEvents; // created by the initialisation
    std::thread m_worker;
    // The channel whose connect, bind or dial outcome is awaited; -1 when
    // none. An outcome for anything else comes from a worker that was
    // stopped or cancelled since, and is dropped.
    int m_nConnecting = -1;
};
