#pragma once

#include <cstdint>

// The worker reports only by posting a code and a value to a window. The
// core knows windows only as opaque handles; the program that owns the
// windows installs the poster (the console posts WM_COMM_RESULT to its Qt
// windows, the command-line tool and tests queue the results).
using WindowHandle = std::uintptr_t;
constexpr WindowHandle NO_WINDOW = 0;

constexpr int WM_COMM_RESULT = 0x0400 + 2;

enum CommResultCode : int {
    RC_CONNECT_FAILED = 1, // lParam: ChannelKind
    RC_CONNECTED = 2,      // lParam: ChannelKind
    RC_SENT = 3,           // lParam: RES_OK or a result code
    RC_RECEIVED = 4,       // lParam: reply length or a result code
    RC_DOWNLOAD_DONE = 5,  // lParam: RES_OK, a result code or the terminal's status
    RC_DOWNLOAD_START = 6, // lParam: file size / 128
    RC_DOWNLOAD_STEP = 7,  // lParam: 0
    RC_RAW_RECEIVED = 8    // lParam: byte count or a result code
};

using CommResultPoster = void (*)(WindowHandle wnd, int code, long value);

// Installs the poster; set it before any worker runs. nullptr drops posts.
void SetCommResultPoster(CommResultPoster poster);

// Posts code and value to wnd through the installed poster. Safe to call
// from the worker; a post to NO_WINDOW is dropped.
void PostCommResult(WindowHandle wnd, int code, long value);
