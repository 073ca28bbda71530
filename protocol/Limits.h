#pragma once

// Limits the console and the command-line tool share.

// Send and receive buffers lent to the worker: the largest request frame
// (296 bytes), a reply behind an acknowledgement and a direct send all fit.
constexpr int FRAME_BUF_SIZE = 600;
