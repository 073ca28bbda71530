// `quillmark-cli run`: the script's rounds, one line per step run as it
// ends, then the summary, the reply-time table and the JUnit report.
#include "cli/ScriptRun.h"

#include <chrono>
#include <cstdio>

#include "cli/JUnitReport.h"
#include "cli/ReplyStats.h"
#include "cli/StepRun.h"

namespace {

using Clock = std::chrono::steady_clock;

// The result of step i's run named name, which gave o in elapsed.
StepResult ResultOf(size_t i, std::string name, const StepOutcome& o, Clock::duration elapsed) {
    StepResult r;
    r.nStep = static_cast<int>(i);
    r.strName = std::move(name);
    r.bPass = o.bPass;
    r.dReplyMs = o.dReplyMs;
    r.dElapsedMs = std::chrono::duration<double, std::milli>(elapsed).count();
    r.strMessage = o.strMessage;
    return r;
}

// After a lost line every later step of the script fails once, with why.
void AddNotRun(const Script& script, const std::string& lost,
               const std::function<void(const StepResult&)>& onResult,
               std::vector<StepResult>& results) {
    for (size_t i = static_cast<size_t>(results.back().nStep) + 1; i < script.steps.size(); ++i) {
        StepResult r;
        r.nStep = static_cast<int>(i);
        r.strName = script.steps[i].strName;
        r.strMessage = "not run: the line to the terminal is gone (" + lost + ")";
        onResult(r);
        results.push_back(r);
    }
}

std::string Ms(double ms) {
    char text[32];
    std::snprintf(text, sizeof text, "%.3f", ms);
    return text;
}

void PrintResult(const StepResult& r) {
    std::string line = r.strName + " " + (r.bPass ? "PASS" : "FAIL") + " " +
                       (r.dReplyMs >= 0 ? Ms(r.dReplyMs) + " ms" : "-");
    if (!r.bPass)
        line += ": " + r.strMessage;
    std::printf("%s\n", line.c_str());
    std::fflush(stdout);
}

// Prints "passed P, failed F". Returns F.
int PrintSummary(const RoundsOutcome& run) {
    int passed = 0;
    for (const StepResult& r : run.results)
        passed += r.bPass ? 1 : 0;
    const int failed = static_cast<int>(run.results.size()) - passed;
    std::printf("\npassed %d, failed %d%s\n", passed, failed,
                run.nEnd == ROUNDS_STOPPED ? " (stopped at the first failure)" : "");
    return failed;
}

// Prints the reply-time figures of each step that ran more than once and
// got a reply time; nothing when there is none.
void PrintReplyTimes(const Script& script, const std::vector<StepResult>& results) {
    bool bHeader = false;
    for (size_t i = 0; i < script.steps.size(); ++i) {
        std::vector<double> times;
        int runs = 0;
        for (const StepResult& r : results) {
            if (r.nStep != static_cast<int>(i))
                continue;
            ++runs;
            if (r.dReplyMs >= 0)
                times.push_back(r.dReplyMs);
        }
        if (runs < 2 || times.empty())
            continue;
        if (!bHeader) {
            std::printf("reply times (ms): runs, min, median, p95, max\n");
            bHeader = true;
        }
        const ReplyStats st = ComputeReplyStats(times);
        std::printf("%s: %d, %s, %s, %s, %s\n", script.steps[i].strName.c_str(), st.nRuns,
                    Ms(st.dMin).c_str(), Ms(st.dMedian).c_str(), Ms(st.dP95).c_str(),
                    Ms(st.dMax).c_str());
    }
    std::fflush(stdout);
}

// Writes the JUnit report when opt asks for one. Returns false, the reason
// on stderr, when it cannot be written.
bool WriteReport(const RunOptions& opt, const std::vector<StepResult>& results, double seconds) {
    if (opt.strJUnitPath.empty())
        return true;
    std::string error;
    if (WriteJUnitReport(opt.strJUnitPath, opt.strSuiteName, results, seconds, error))
        return true;
    std::fprintf(stderr, "%s\n", error.c_str());
    return false;
}

} // namespace

RoundsOutcome RunRounds(CCliChannel& ch, const Script& script, bool bStopOnFail,
                        const std::function<void(const StepResult&)>& onResult) {
    RoundsOutcome run;
    std::vector<int> runsOf(script.steps.size(), 0);
    std::string lost;
    for (int round = 0; round < script.nRepeat && run.nEnd == ROUNDS_DONE; ++round) {
        for (size_t i = 0; i < script.steps.size() && run.nEnd == ROUNDS_DONE; ++i) {
            const ScriptStep& s = script.steps[i];
            const bool bNumbered = static_cast<long long>(s.nRepeat) * script.nRepeat > 1;
            for (int k = 0; k < s.nRepeat && run.nEnd == ROUNDS_DONE; ++k) {
                std::string name =
                    bNumbered ? s.strName + " #" + std::to_string(++runsOf[i]) : s.strName;
                const auto start = Clock::now();
                const StepOutcome o = RunStep(ch, s);
                const StepResult r = ResultOf(i, std::move(name), o, Clock::now() - start);
                onResult(r);
                run.results.push_back(r);
                if (o.bLineLost) {
                    run.nEnd = ROUNDS_LINE_LOST;
                    lost = o.strLost;
                } else if (!o.bPass && bStopOnFail) {
                    run.nEnd = ROUNDS_STOPPED;
                }
            }
        }
    }
    if (run.nEnd == ROUNDS_LINE_LOST)
        AddNotRun(script, lost, onResult, run.results);
    return run;
}

int RunScript(const ChannelSpec& chan, const Script& script, const RunOptions& opt) {
    const auto t0 = Clock::now();
    CCliChannel ch;
    if (!ch.Open(chan))
        return 1;
    const RoundsOutcome run = RunRounds(ch, script, opt.bStopOnFail, PrintResult);
    const int failed = PrintSummary(run);
    PrintReplyTimes(script, run.results);
    ch.Close();
    const double seconds = std::chrono::duration<double>(Clock::now() - t0).count();
    if (!WriteReport(opt, run.results, seconds))
        return 1;
    return failed == 0 ? 0 : 1;
}
