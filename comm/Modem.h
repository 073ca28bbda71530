#pragma once

#include <atomic>
#include <cstdint>

#include "protocol/ResultCodes.h"

// A modem on a serial port opened with ComOpen: the dial and the carrier
// wait, over the port's control lines.

// Writes the dial command after raising DTR and RTS. Returns RES_OK, or
// RES_DIAL_FAILED when the port is not open or the write fails.
ResultCode ComDialLine(int n, const uint8_t* command, int count);

// Polls carrier detect every 100 ms. Returns 1 when present, RES_NO_CARRIER
// after timeoutMs without it, 0 as soon as *cancel becomes true.
int ComWaitCarrier(int n, int timeoutMs, const std::atomic<bool>* cancel = nullptr);
