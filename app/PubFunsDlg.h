#pragma once

#include <QString>
#include <cstdint>

#include "app/DialogBase.h"
#include "comm/CommJob.h"
#include "protocol/PubCommands.h"

// The terminal's management commands ("公用命令", 0xE0-0xE6). The dialog
// borrows the console's job record and worker: each 执行 files one exchange
// with the dialog's own buffers and window, and the reply is decoded into
// the dialog's fields.
//
// One command at a time: a second 执行 while a command runs files nothing,
// and results that arrive while none runs belong to jobs the dialog did not
// file and are ignored. The buffers belong to the worker until the
// command's last result arrives, so a close asked for meanwhile (关闭,
// Escape, the title bar) takes effect when that result arrives.
class CPubFunsDlg : public CDialogBase {
  public:
    // job: the console's job record, lent for as long as the dialog lives.
    CPubFunsDlg(QWidget* parent, CommJob& job);
    ~CPubFunsDlg() override;

    // The job record the dialog files its commands on.
    CommJob& Job() const { return m_job; }

    void OnShowWindow();
    void OnExecute();
    void OnCommandChange();
    void OnMachineNoKillFocus();
    // True when ID号(HEX) holds 8 hex digits; else shows why, focuses and selects it.
    bool CheckId();

    // A close while a command runs takes effect when its result arrives.
    void OnOK() override;
    void OnCancel() override;

    // Whether a command of this dialog awaits its result.
    bool CommandRuns() const { return m_bCommandRuns; }

    QString m_strId;
    QString m_strMachineNo = QString::fromLatin1(PUB_DEFAULT_MACHINE_NO);
    QString m_strLowId;
    QString m_strType;
    QString m_strVersion;
    QString m_strDoneTime;
    int m_nCommand = -1;
    int m_nRate = -1;
    int m_nMachineNo = 255;
    int m_nLastCommand = 0;

  protected:
    void DoDataExchange(CDataExchange& dx) override;
    void OnCommResult(int code, long value) override;
    bool PreTranslateMessage(QWidget* control, QEvent* event) override;
    void showEvent(QShowEvent* event) override;

  private:
    // Reads the controls and the machine number; false when a field fails.
    bool ReadFields();
    void Show(const PubMessage& message);
    // Decodes the reply of len bytes into the fields and shows its message;
    // false for a status-byte error, which leaves the fields alone.
    bool ShowReply(int len);

    CommJob& m_job;
    uint8_t m_sendBuf[PUB_BUFFER_SIZE] = {};
    uint8_t m_recvBuf[PUB_BUFFER_SIZE] = {};
    bool m_bCommandRuns = false;
    bool m_bClosePending = false;
    int m_nCloseResult = IDOK;
};
