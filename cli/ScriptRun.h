#pragma once

#include <functional>
#include <string>
#include <vector>

#include "cli/CliChannel.h"
#include "cli/ScriptParse.h"

// Runs a parsed script against a terminal through the worker, judges every
// reply and reports like a test runner.

// One run of one step.
struct StepResult {
    std::string strName; // the step's name, "#k" behind it when it runs more than once
    int nStep = 0;       // index into Script::steps
    bool bPass = false;
    double dReplyMs = -1.0;  // last request byte written to reply accepted; -1 none
    double dElapsedMs = 0.0; // the whole step run, as the tool saw it
    std::string strMessage;  // on failure: what was expected and what came
};

struct RunOptions {
    bool bStopOnFail = false;
    std::string strJUnitPath; // empty: no report
    std::string strSuiteName; // the report's suite, the script's file name
};

// Why the rounds ended.
enum RoundsEnd : int {
    ROUNDS_DONE = 0,     // every run of every step ran
    ROUNDS_STOPPED = 1,  // at the first failure, as asked
    ROUNDS_LINE_LOST = 2 // the line to the terminal is gone
};

struct RoundsOutcome {
    std::vector<StepResult> results;
    int nEnd = ROUNDS_DONE;
};

// Runs the script's rounds (its whole repeat count) on ch, which is open,
// and hands each step run to onResult as it ends. With bStopOnFail the
// first failure ends them; a lost line ends them with one failed "not run"
// result for each later step of the script.
RoundsOutcome RunRounds(CCliChannel& ch, const Script& script, bool bStopOnFail,
                        const std::function<void(const StepResult&)>& onResult);

// Opens the channel, runs the script (its whole repeat count), prints one
// line per step run and a summary, and writes the JUnit report when asked.
// Returns 0 when every step passed, 1 when any failed or the channel did not
// open or the report could not be written.
int RunScript(const ChannelSpec& chan, const Script& script, const RunOptions& opt);
