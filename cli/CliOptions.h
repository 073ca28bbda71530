#pragma once

#include "protocol/Diagnostics.h"
#include "protocol/Limits.h"
#include "protocol/PubCommands.h"

// Limits and names the tool's options and its scripts share.

// The diagnostics a run can ask for, indexed by DiagCommand (the PC/SC
// commands stay disabled, as in the console).
constexpr int CLI_DIAG_COUNT = DIAG_POWER_OFF + 1;
inline constexpr const char* CLI_DIAG_NAMES[CLI_DIAG_COUNT] = {"version", "reader-id", "power-on",
                                                               "power-off"};

// The public commands in the order of the dialog's command list.
inline constexpr const char* CLI_PUB_NAMES[PUB_COMMAND_COUNT] = {
    "set-id", "read-id", "query", "set-machine", "read-type", "read-version", "set-rate"};
