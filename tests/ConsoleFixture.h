#pragma once

// A console started over a config file of the test's own folder, with its
// message boxes captured.

#include <QComboBox>
#include <gtest/gtest.h>
#include <memory>
#include <string>

#include "TempDir.h"
#include "UiTestUtil.h"
#include "app/QuillmarkDlg.h"
#include "app/Resource.h"

// Writes xml as dir's file and starts a console over it.
inline std::unique_ptr<CQuillmarkDlg> StartConsole(const TempDir& dir, const std::string& xml,
                                                   const std::string& file = "config.xml") {
    dir.Write(file, xml);
    auto dlg = std::make_unique<CQuillmarkDlg>(nullptr, dir.path / file);
    EXPECT_TRUE(dlg->Create());
    return dlg;
}

class ConsoleFixture : public ::testing::Test {
  protected:
    void TearDown() override { dlg.reset(); }

    CQuillmarkDlg& StartConsole(const std::string& xml, const std::string& file = "config.xml") {
        dlg = ::StartConsole(dir, xml, file);
        return *dlg;
    }

    // Chooses a channel as the user does.
    void Choose(int channel) {
        auto* combo = dlg->GetDlgItemAs<QComboBox>(IDC_CHANNEL);
        combo->setCurrentIndex(channel);
        emit combo->activated(channel);
    }

    TempDir dir;
    MessageCapture capture;
    std::unique_ptr<CQuillmarkDlg> dlg;
};
