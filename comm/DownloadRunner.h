#pragma once

#include <cstdint>

#include "comm/CaptureTap.h"
#include "comm/Notify.h"
#include "protocol/Download.h"

// The download engine on the worker's channels: the exchange goes through
// ExchangeFrame, the progress becomes posts to a window.

// Transact on an open channel (handle: COM number or socket; addr and port:
// the UDP peer), recorded on capture. Returns what the engine's Transact
// returns.
int Transact(int handle, uint8_t machine, uint8_t command, int F, int I, int& len, uint8_t* data,
             int dataSize, int channel, const char* addr, int port,
             const CaptureLink& capture = {});

// DownloadImage on an open channel, recorded on capture; posts
// RC_DOWNLOAD_START with the block total and one RC_DOWNLOAD_STEP per
// accepted block and the byte sum to wnd. Returns what DownloadImage returns.
int DownloadProgram(int handle, int machine, const char* path, int channel, WindowHandle wnd,
                    const char* addr, int port, const CaptureLink& capture = {});
