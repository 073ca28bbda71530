#pragma once

#include <QString>

#include "app/DialogBase.h"

// The calculator ("辅助功能"): DES and two-key triple DES of one block,
// CRC-CCITT over hex data, XOR and inversion of 8-byte values. It needs no
// connection and sends nothing; each button works on what the fields hold.
class CAssistFunDlg : public CDialogBase {
  public:
    explicit CAssistFunDlg(QWidget* parent);

    void OnDesEncrypt();
    void OnDesDecrypt();
    void OnTripleDesEncrypt();
    void OnTripleDesDecrypt();
    void OnCrcCcitt();
    void OnXor();
    void OnInvert();

    QString m_strInput;
    QString m_strKey;
    QString m_strOutput;

  protected:
    void DoDataExchange(CDataExchange& dx) override;

  private:
    void RunDes(char mode);
    void RunTripleDes(char mode);
    // Shows a refusal of the block operations; false for ASSIST_OK.
    bool Refused(int code, char mode);
    void ShowResult(const std::string& hex);
    void FixInputText();
};
