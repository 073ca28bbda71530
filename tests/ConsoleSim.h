#pragma once

// A console connected over TCP to the terminal simulator, for the tests of
// the result display, the send panel and the diagnostics.

#include <QString>
#include <gtest/gtest.h>
#include <memory>
#include <string>
#include <vector>

#include "ConsoleFixture.h"
#include "UiTestUtil.h"
#include "app/Beep.h"
#include "app/QuillmarkDlg.h"
#include "app/Resource.h"
#include "comm/SerialPort.h"
#include "sim/SimLauncher.h"

class ConsoleSimTest : public ConsoleFixture {
  protected:
    void SetUp() override {
        m_previousBeep = SetBeepHook([this](int hz, int ms) { beeps.push_back({hz, ms}); });
    }
    void TearDown() override {
        ConsoleFixture::TearDown();
        sim.reset();
        ComBindDevice(CSimLauncher::SIM_COM, "");
        SetBeepHook(std::move(m_previousBeep));
    }

    // Starts the simulator with options and a console on it; connect: the
    // channel (TCP or the serial line) is chosen and opened.
    CQuillmarkDlg& Start(const std::vector<std::string>& simOptions = {}, bool connect = true,
                         int firstChar = 1000, int channel = CH_TCP, int interChar = 300) {
        sim = std::make_unique<CSimLauncher>(simOptions);
        EXPECT_TRUE(sim->Ready());
        StartConsole(sim->ConsoleConfig(firstChar, interChar));
        dlg->activateWindow();
        WaitUntil([&] { return dlg->isActiveWindow(); }, 2000);
        if (connect && channel == CH_SERIAL) {
            EXPECT_TRUE(dlg->ClickItem(IDC_OPEN_PORT));
            EXPECT_TRUE(dlg->State().IsOpen(CH_SERIAL));
        } else if (connect) {
            Choose(CH_TCP);
            EXPECT_TRUE(dlg->ClickItem(IDC_TCP_CONNECT));
            EXPECT_TRUE(WaitUntil([&] { return dlg->State().IsOpen(CH_TCP); }, 5000));
        }
        return *dlg;
    }

    // Presses a button and waits until the console's job has its result.
    void PressAndWait(int id, int ms = 5000) {
        EXPECT_TRUE(dlg->ClickItem(id)) << id;
        EXPECT_TRUE(dlg->JobPending()) << id;
        EXPECT_TRUE(WaitUntil([&] { return !dlg->JobPending(); }, ms)) << id;
        Pump(20);
    }

    // Window texts with the widget's line breaks.
    std::string Recv() const { return dlg->GetItemText(IDC_RECV).toStdString(); }
    std::string Sent() const { return dlg->GetItemText(IDC_SEND).toStdString(); }
    void ClearWindows() { dlg->ClickItem(IDC_CLEAR); }
    bool Focused(int id) const { return dlg->GetDlgItem(id)->hasFocus(); }
    // The text of a field as if typed over: the content filter runs.
    void Type(int id, const char* text) { dlg->SetItemText(id, QString::fromUtf8(text)); }

    struct Tone {
        int hz;
        int ms;
    };
    std::vector<Tone> beeps;
    std::unique_ptr<CSimLauncher> sim;

  private:
    BeepHook m_previousBeep;
};
