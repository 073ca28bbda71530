#pragma once

// Sizes and ranges the console and the command-line tool share.

// The console's send and receive buffers, and the tool's.
constexpr int FRAME_BUF_SIZE = 600;

// Accepted first-character and inter-character time-outs, ms.
constexpr int FIRST_CHAR_MIN_MS = 1;
constexpr int FIRST_CHAR_MAX_MS = 50000;
constexpr int INTER_CHAR_MIN_MS = 10;
constexpr int INTER_CHAR_MAX_MS = 10000;
