#pragma once

#include "protocol/Diagnostics.h"
#include "protocol/PubCommands.h"

// Limits and names the tool's options and its scripts share.

// The console's range checks of its time-out fields.
constexpr int FIRST_CHAR_MIN = 1;
constexpr int FIRST_CHAR_MAX = 50000;
constexpr int INTER_CHAR_MIN = 10;
constexpr int INTER_CHAR_MAX = 10000;

// The diagnostics a run can ask for, indexed by DiagCommand (the PC/SC
// commands stay disabled, as in the console).
constexpr int CLI_DIAG_COUNT = DIAG_POWER_OFF + 1;
inline constexpr const char* CLI_DIAG_NAMES[CLI_DIAG_COUNT] = {"version", "reader-id", "power-on",
                                                               "power-off"};

// The public commands in the order of the dialog's command list.
inline constexpr const char* CLI_PUB_NAMES[PUB_COMMAND_COUNT] = {
    "set-id", "read-id", "query", "set-machine", "read-type", "read-version", "set-rate"};
