#pragma once

#include "app/DialogBase.h"
#include "config/ChannelSettings.h"
#include "config/XmlConfig.h"

// What the four channel settings dialogs share: the store they edit, the two
// time-out fields and the end of a confirmed dialog. Each
// dialog keeps its channel's section as a plain record (Section()) that it
// shows, reads back on OK and saves with SaveSerialSection or SaveNetSection.
class CSettingsDlgBase : public CDialogBase {
  protected:
    // config: the console's store, which must outlive the dialog.
    CSettingsDlgBase(QWidget* parent, CXmlConfig& config) : CDialogBase(parent), m_config(config) {}

    // Binds the first-character and inter-character time-out fields.
    static void ExchangeTimeouts(CDataExchange& dx, int& firstChar, int& revTimeOut);
    // Ends the dialog with OK when rc, the result of saving the section, says
    // config.xml was saved. Otherwise the dialog says so and stays open, so
    // the user can retry or cancel; the store holds what the file holds.
    void CloseIfSaved(int rc);

    CXmlConfig& m_config;
};
