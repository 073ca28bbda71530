#pragma once

#include <string>

#include "cli/CliChannel.h"
#include "cli/ScriptParse.h"

// One step of a script run on a terminal's channel, its reply judged
// against what the step expects.

// What one run of a step gave.
struct StepOutcome {
    bool bPass = false;
    double dReplyMs = -1.0; // last request byte written to reply accepted; -1 none
    std::string strMessage; // on failure: what was expected and what came
    bool bLineLost = false; // the line to the terminal is gone
    std::string strLost;    // why
};

// Runs s once on ch (open) as the console files it and judges what came.
// A failed send or read is the outcome's verdict, never a failure of its own.
StepOutcome RunStep(CCliChannel& ch, const ScriptStep& s);
