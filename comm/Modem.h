#pragma once

#include <atomic>
#include <cstdint>

// A modem on a serial port opened with ComOpen: the dial and the carrier
// wait, over the port's control lines.

// Writes the dial command after raising DTR and RTS. Returns 0, or -1 when
// the port is not open or the write fails.
int ComDialLine(int n, const uint8_t* command, int count);

// Polls carrier detect every 100 ms. Returns 1 when present, -6 after
// timeoutMs without it, 0 as soon as *cancel becomes true.
int ComWaitCarrier(int n, int timeoutMs, const std::atomic<bool>* cancel = nullptr);
