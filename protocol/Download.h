#pragma once

#include <cstdint>

#include "comm/Notify.h"

constexpr int DOWNLOAD_IMAGE_MAX = 61440;
constexpr int DOWNLOAD_BLOCK = 128;
constexpr int DOWNLOAD_TIMEOUT_MS = 6000;
// Data buffer of one download step; Transact bounds the reply copy by it.
constexpr int TRANSACT_DATA_MAX = 256;

// One request/reply step: builds the frame for machine and command with len
// data bytes from data, exchanges it on the channel, and puts the reply's
// data (at most dataSize bytes) back into data and its length field into
// len. When an acknowledgement leads (serial, modem, UDP), the reply behind
// it is the one unpacked. Returns the reply's status byte (0..255), -1 bad
// length, -5 wrong machine number, -2 a reply shorter than its header, or
// the exchange's code.
int Transact(int handle, uint8_t machine, uint8_t command, int F, int I, int& len, uint8_t* data,
             int dataSize, int channel, const char* addr, int port);

// Downloads the program image at path: "LoadP", the size, the blocks from
// offset 128 on, the block at 0, then the byte sum; posts RC_DOWNLOAD_START
// and one RC_DOWNLOAD_STEP per accepted block and the checksum to wnd.
// Returns 0, a result code (-10 file cannot be read, -17 larger than 61,440
// bytes, refused before anything is sent) or the first non-zero status.
int DownloadProgram(int handle, int machine, const char* path, int channel, WindowHandle wnd,
                    const char* addr, int port);
