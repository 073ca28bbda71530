#pragma once

#include <gtest/gtest.h>

#include <cstdint>
#include <vector>

#include "FrameUtil.h"
#include "PtyUtil.h"
#include "comm/SerialPort.h"

// The serial driver's tests play the device on a pseudo-terminal bound to
// PORT; OTHER_PORT is free for a second binding.
constexpr int PORT = 200;
constexpr int OTHER_PORT = 201;

const std::vector<uint8_t> REPLY = MakeReply(1, 0, {0x11, 0xC2, 0x33}); // 11 bytes

class SerialTest : public ::testing::Test {
  protected:
    void SetUp() override {
        ASSERT_TRUE(pty.Open());
        ASSERT_EQ(ComBindDevice(PORT, pty.path.c_str()), 0);
    }
    void TearDown() override {
        ComClose(PORT);
        ComClose(OTHER_PORT);
        ComBindDevice(PORT, "");
        ComBindDevice(OTHER_PORT, "");
    }

    PtyPair pty;
};
