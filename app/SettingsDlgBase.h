#pragma once

#include "app/DialogBase.h"
#include "config/ChannelSettings.h"
#include "config/XmlConfig.h"

// What the four channel settings dialogs share: the store they edit, the two
// time-out fields (1 to 40000 ms) and the save that ends a confirmed dialog.
class CSettingsDlgBase : public CDialogBase {
  public:
    explicit CSettingsDlgBase(QWidget* parent = nullptr) : CDialogBase(parent) {}

    // The console's store; set by the opener before DoModal.
    CXmlConfig* m_pConfig = nullptr;

    int m_nFirstChar = 1000;
    int m_nRevTimeOut = 1000;

  protected:
    void DoDataExchange(CDataExchange& dx) override;
    // Saves config.xml and ends the dialog with OK. When the save fails the
    // section gets back what it held before (the snapshot), the dialog says
    // so and stays open, so the user can retry or cancel.
    void SaveAndClose(const SectionSnapshot& before);
};
