#pragma once

// Sizes and ranges the console and the command-line tool share.

// The console's send and receive buffers, and the tool's.
constexpr int FRAME_BUF_SIZE = 600;

// What the channel settings dialogs store as time-outs, ms.
constexpr int SETTING_TIMEOUT_MIN_MS = 1;
constexpr int SETTING_TIMEOUT_MAX_MS = 40000;

// Accepted first-character and inter-character time-outs, ms: at least
// every value the settings dialogs store, so that no stored setting blocks
// a send.
constexpr int FIRST_CHAR_MIN_MS = 1;
constexpr int FIRST_CHAR_MAX_MS = 50000;
constexpr int INTER_CHAR_MIN_MS = SETTING_TIMEOUT_MIN_MS;
constexpr int INTER_CHAR_MAX_MS = SETTING_TIMEOUT_MAX_MS;
