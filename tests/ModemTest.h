#pragma once

#include <gtest/gtest.h>

#include "FakeModemLines.h"
#include "PtyUtil.h"
#include "comm/SerialPort.h"

// The modem tests' port: a pseudo-terminal bound to PORT whose modem lines
// are played by a fake.
constexpr int PORT = 200;

class ModemTest : public ::testing::Test {
  protected:
    void SetUp() override {
        ASSERT_TRUE(pty.Open());
        ASSERT_EQ(ComBindDevice(PORT, pty.path.c_str()), 0);
        ComSetModemLines(&lines);
    }
    void TearDown() override {
        ComClose(PORT);
        ComSetModemLines(nullptr);
        ComBindDevice(PORT, "");
    }

    PtyPair pty;
    FakeModemLines lines{FakeModemLines::NEVER, &pty};
};
