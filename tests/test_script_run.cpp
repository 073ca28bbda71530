// quillmark-cli run end to end: scripts against the simulator over TCP, a
// pseudo-terminal and UDP, the JUnit report, a line that goes away.
#include <gtest/gtest.h>

#include <pugixml.hpp>

#include <chrono>
#include <filesystem>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "RunProgram.h"
#include "SimLines.h"
#include "TempDir.h"
#include "TextUtil.h"

namespace {

namespace fs = std::filesystem;

const fs::path EXAMPLES = QUILLMARK_EXAMPLES_DIR;

bool StartsWith(const std::string& s, const std::string& prefix) {
    return s.rfind(prefix, 0) == 0;
}

// "NAME PASS 0.123 ms": the reply time, three decimals.
bool HasReplyTime(const std::string& line) {
    const size_t ms = line.find(" ms");
    if (ms == std::string::npos || ms < 6)
        return false;
    const size_t space = line.rfind(' ', ms - 1);
    const std::string number = line.substr(space + 1, ms - space - 1);
    const size_t dot = number.find('.');
    return dot != std::string::npos && number.size() - dot == 4;
}

TEST(ScriptRun, ExamplesPassAgainstTheDefaultSimulator) {
    SimLines sim({});
    ASSERT_TRUE(sim.Ready());
    struct Case {
        const char* script;
        const char* line;
        size_t steps;
    };
    const Case cases[] = {
        {"smoke.toml", "tcp", 8},    {"smoke.toml", "pty", 8},    {"smoke.toml", "udp", 8},
        {"download.toml", "pty", 2}, {"download.toml", "tcp", 2}, {"reply-time.toml", "tcp", 1000},
    };
    for (const Case& c : cases) {
        const RunResult r = sim.Run(EXAMPLES / c.script, c.line);
        EXPECT_EQ(r.status, 0) << c.script << " " << c.line << "\n" << r.out << r.err;
        const std::vector<std::string> steps = StepLines(r.out);
        ASSERT_EQ(steps.size(), c.steps) << c.script << " " << c.line << "\n" << r.out;
        for (const std::string& l : steps)
            EXPECT_NE(l.find(" PASS "), std::string::npos) << c.script << ": " << l;
        EXPECT_NE(r.out.find("passed " + std::to_string(c.steps) + ", failed 0"), std::string::npos)
            << r.out;
    }
    // The download step has no reply time of its own; the version after it has.
    const RunResult dl = sim.Run(EXAMPLES / "download.toml", "tcp");
    const std::vector<std::string> steps = StepLines(dl.out);
    ASSERT_EQ(steps.size(), 2u);
    EXPECT_EQ(steps[0], "download firmware.bin PASS -");
    EXPECT_TRUE(HasReplyTime(steps[1])) << steps[1];
}

TEST(ScriptRun, RepeatsGiveStatistics) {
    SimLines sim({});
    ASSERT_TRUE(sim.Ready());
    sim.Write("rep.toml", "repeat = 2\n[[step]]\nname = \"echo\"\nexchange = \"10\"\n"
                          "expect_status = 0\nrepeat = 3\n[[step]]\npause_ms = 1\n");
    const RunResult r = sim.Run(sim.Dir() / "rep.toml", "tcp");
    ASSERT_EQ(r.status, 0) << r.out << r.err;
    const std::vector<std::string> steps = StepLines(r.out);
    ASSERT_EQ(steps.size(), 8u) << r.out;
    for (int k = 1; k <= 3; ++k) {
        EXPECT_TRUE(StartsWith(steps[k - 1], "echo #" + std::to_string(k) + " PASS "))
            << steps[k - 1];
        EXPECT_TRUE(HasReplyTime(steps[k - 1])) << steps[k - 1];
    }
    EXPECT_EQ(steps[3], "pause 1 #1 PASS -");
    EXPECT_TRUE(StartsWith(steps[6], "echo #6 PASS ")) << steps[6];

    // "echo: 6, min, median, p95, max" in order; the pause has no times.
    const size_t at = r.out.find("\necho: 6, ");
    ASSERT_NE(at, std::string::npos) << r.out;
    double v[4];
    ASSERT_EQ(std::sscanf(r.out.c_str() + at, "\necho: 6, %lf, %lf, %lf, %lf", &v[0], &v[1], &v[2],
                          &v[3]),
              4);
    EXPECT_GT(v[0], 0.0);
    EXPECT_LE(v[0], v[1]);
    EXPECT_LE(v[1], v[2]);
    EXPECT_LE(v[2], v[3]);
    EXPECT_EQ(r.out.find("pause 1:"), std::string::npos) << r.out;
}

// The faults example against the simulator it names: which steps fail and
// what their lines say.
struct FaultLine {
    const char* name;
    const char* verdict; // "PASS" or "FAIL"
    const char* message; // a piece of the line
};

const FaultLine FAULT_LINES[] = {
    {"wrong status", "FAIL", "expected status 00, got status 01; reply C2 01 01 00 00"},
    {"wrong length and data", "FAIL",
     "expected length 3, data 01 ?? 03, got length 2, data 01 02; reply C2 01 00 00 02 01 02"},
    {"no reply", "FAIL", "expected a reply, got -6 终端机无反应，接收失败!"},
    {"expected silence", "PASS", ""},
    {"damaged reply", "FAIL", "expected a reply, got -9 数据校验错误!"},
    {"reply where silence was expected", "FAIL",
     "expected no-reply, got the reply C2 01 00 00 00 C7 E9 C3"},
    {"no card", "FAIL", "expected verdict ok, got no-card; reply C2 FF 00 00 01 01 93 45 C3"},
    {"transfer error", "FAIL", "expected verdict ok, got transfer-error; reply C2 FF CE 00 01 E6"},
    {"wrong program date", "FAIL",
     "expected done_time 2000年01月01日00时, got done_time 2024年06月03日09时"},
    {"wrong raw reply", "FAIL", "expected bytes C2 01 00 00 01 ?? ?? ?? C3, got C2 01 00 00 00 C7"},
};

const std::vector<std::string> FAULT_SIM = {"--fault", "status:11",  "--fault", "silent:12",
                                            "--fault", "bad-crc:13", "--fault", "transfer-error:E1",
                                            "--card",  "absent"};

TEST(ScriptRun, EachFailureKindIsJudged) {
    SimLines sim(FAULT_SIM);
    ASSERT_TRUE(sim.Ready());
    for (const char* line : {"tcp", "pty"}) {
        const RunResult r = sim.Run(EXAMPLES / "faults.toml", line);
        EXPECT_EQ(r.status, 1) << line << r.err;
        const std::vector<std::string> steps = StepLines(r.out);
        ASSERT_EQ(steps.size(), std::size(FAULT_LINES)) << r.out;
        for (size_t i = 0; i < steps.size(); ++i) {
            const FaultLine& f = FAULT_LINES[i];
            EXPECT_TRUE(StartsWith(steps[i], std::string(f.name) + " " + f.verdict + " "))
                << line << ": " << steps[i];
            EXPECT_NE(steps[i].find(f.message), std::string::npos) << line << ": " << steps[i];
        }
        // A time-out expected or not took about the first-character time-out.
        EXPECT_NE(steps[3].find(" PASS 5"), std::string::npos) << steps[3];
        EXPECT_NE(r.out.find("passed 1, failed 9"), std::string::npos) << r.out;
    }
}

// The UDP reader takes datagrams as they come: the run checks them itself.
TEST(ScriptRun, UdpRepliesAreCheckedAndNoReplyIsTheirTimeOut) {
    SimLines sim({"--fault", "silent:12", "--fault", "bad-crc:13"});
    ASSERT_TRUE(sim.Ready());
    sim.Write("udp.toml", "[defaults]\nfirst_char_ms = 200\ninter_char_ms = 100\n"
                          "[[step]]\nexchange = \"12\"\nexpect_error = \"no-reply\"\n"
                          "[[step]]\nexchange = \"13\"\nexpect_error = \"checksum\"\n"
                          "[[step]]\nexchange = \"10\"\nexpect_status = 0\n"
                          "[[step]]\nname = \"damaged\"\nexchange = \"13\"\n");
    const RunResult r = sim.Run(sim.Dir() / "udp.toml", "udp");
    EXPECT_EQ(r.status, 1) << r.out << r.err;
    const std::vector<std::string> steps = StepLines(r.out);
    ASSERT_EQ(steps.size(), 4u) << r.out;
    for (int i = 0; i < 3; ++i)
        EXPECT_NE(steps[i].find(" PASS "), std::string::npos) << steps[i];
    EXPECT_TRUE(StartsWith(steps[3], "damaged FAIL ")) << steps[3];
    EXPECT_NE(steps[3].find("expected a reply, got -9 数据校验错误!; reply C2 01 00 00 00"),
              std::string::npos)
        << steps[3];
}

TEST(ScriptRun, CommandLineTimeOutsApplyWhereTheScriptSetsNone) {
    SimLines sim({"--fault", "silent:12"});
    ASSERT_TRUE(sim.Ready());
    sim.Write("t.toml", "[[step]]\nexchange = \"12\"\nexpect_error = \"no-reply\"\n");
    const RunResult r = sim.Run(sim.Dir() / "t.toml", "tcp", {"--first-char", "150"});
    ASSERT_EQ(r.status, 0) << r.out << r.err;
    double ms = 0;
    ASSERT_EQ(std::sscanf(r.out.c_str(), "exchange 12 PASS %lf ms", &ms), 1) << r.out;
    // Waited for the 150 ms given, not the 1000 ms default.
    EXPECT_GE(ms, 150.0);
    EXPECT_LT(ms, 900.0);

    sim.Write("own.toml", "[defaults]\nfirst_char_ms = 300\n[[step]]\nexchange = \"12\"\n"
                          "expect_error = \"no-reply\"\n");
    const RunResult own = sim.Run(sim.Dir() / "own.toml", "tcp", {"--first-char", "150"});
    ASSERT_EQ(std::sscanf(own.out.c_str(), "exchange 12 PASS %lf ms", &ms), 1) << own.out;
    EXPECT_GE(ms, 300.0);
}

TEST(ScriptRun, StopOnFailEndsAtTheFirstFailure) {
    SimLines sim(FAULT_SIM);
    ASSERT_TRUE(sim.Ready());
    const RunResult r = sim.Run(EXAMPLES / "faults.toml", "tcp", {"--stop-on-fail"});
    EXPECT_EQ(r.status, 1);
    const std::vector<std::string> steps = StepLines(r.out);
    ASSERT_EQ(steps.size(), 1u) << r.out;
    EXPECT_TRUE(StartsWith(steps[0], "wrong status FAIL ")) << steps[0];
    EXPECT_NE(r.out.find("passed 0, failed 1 (stopped at the first failure)"), std::string::npos)
        << r.out;
}

TEST(ScriptRun, JUnitReportHoldsEveryStepRun) {
    SimLines sim(FAULT_SIM);
    ASSERT_TRUE(sim.Ready());
    const fs::path report = sim.Dir() / "junit.xml";
    const RunResult r = sim.Run(EXAMPLES / "faults.toml", "tcp", {"--junit", report.string()});
    EXPECT_EQ(r.status, 1);

    pugi::xml_document doc;
    ASSERT_TRUE(doc.load_file(report.c_str())) << report;
    const pugi::xml_node suite = doc.child("testsuites").child("testsuite");
    ASSERT_TRUE(suite);
    EXPECT_STREQ(suite.attribute("name").value(), "faults.toml");
    int cases = 0;
    int failures = 0;
    for (const pugi::xml_node tc : suite.children("testcase")) {
        const FaultLine& f = FAULT_LINES[cases];
        EXPECT_STREQ(tc.attribute("name").value(), f.name);
        EXPECT_TRUE(tc.attribute("classname"));
        EXPECT_GE(tc.attribute("time").as_double(-1), 0.0);
        const pugi::xml_node failure = tc.child("failure");
        EXPECT_EQ(static_cast<bool>(failure), std::string(f.verdict) == "FAIL") << f.name;
        if (failure) {
            ++failures;
            EXPECT_NE(std::string(failure.attribute("message").value()).find(f.message),
                      std::string::npos)
                << failure.attribute("message").value();
        }
        ++cases;
    }
    EXPECT_EQ(cases, static_cast<int>(std::size(FAULT_LINES)));
    EXPECT_EQ(suite.attribute("tests").as_int(), cases);
    EXPECT_EQ(suite.attribute("failures").as_int(), failures);
    EXPECT_EQ(suite.attribute("errors").as_int(-1), 0);
    EXPECT_EQ(doc.child("testsuites").attribute("tests").as_int(), cases);

    // A report that cannot be written fails the run.
    const RunResult bad =
        sim.Run(EXAMPLES / "smoke.toml", "tcp", {"--junit", (sim.Dir() / "no/dir.xml").string()});
    EXPECT_EQ(bad.status, 1);
    EXPECT_NE(bad.err.find("cannot write the JUnit report"), std::string::npos) << bad.err;
}

TEST(ScriptRun, BadScriptIsRefusedBeforeAnythingIsSent) {
    SimLines sim({});
    ASSERT_TRUE(sim.Ready());
    sim.Write("bad.toml", "[[step]]\ndiag = \"version\"\n[[step]]\nexchange = \"10\"\n"
                          "data = \"0X\"\n");
    for (const char* line : {"tcp", "pty"}) {
        const RunResult r = sim.Run(sim.Dir() / "bad.toml", line);
        EXPECT_EQ(r.status, 2);
        EXPECT_EQ(r.out, "");
        EXPECT_NE(r.err.find("bad.toml:5:10: 'data': expected hex digit pairs, character 2 is 'X'"),
                  std::string::npos)
            << r.err;
    }
    const RunResult missing = sim.Run(sim.Dir() / "none.toml", "tcp");
    EXPECT_EQ(missing.status, 2);
    EXPECT_NE(missing.err.find("cannot read the script"), std::string::npos) << missing.err;
    EXPECT_EQ(sim.Log().find("RX "), std::string::npos) << sim.Log();

    const RunResult noLine = ::Run("quillmark-cli", {"run", (EXAMPLES / "smoke.toml").string()});
    EXPECT_EQ(noLine.status, 2);
    const RunResult help = ::Run("quillmark-cli", {"run", "--help"});
    EXPECT_EQ(help.status, 0);
    EXPECT_NE(help.out.find("--junit"), std::string::npos) << help.out;
}

TEST(ScriptRun, ALineThatGoesAwayFailsTheRemainingSteps) {
    const std::string script = "[[step]]\nname = \"before\"\ndiag = \"version\"\n"
                               "[[step]]\npause_ms = 800\n"
                               "[[step]]\nname = \"after\"\ndiag = \"version\"\nrepeat = 5\n"
                               "[[step]]\nname = \"last\"\ndiag = \"reader-id\"\n";
    // The serial line: the simulator ends while the script pauses.
    {
        SimLines sim({});
        ASSERT_TRUE(sim.Ready());
        sim.Write("gone.toml", script);
        std::thread stopper([&] {
            std::this_thread::sleep_for(std::chrono::milliseconds(300));
            sim.Stop();
        });
        const RunResult r = sim.Run(sim.Dir() / "gone.toml", "pty");
        stopper.join();
        EXPECT_EQ(r.status, 1) << r.out << r.err;
        const std::vector<std::string> steps = StepLines(r.out);
        ASSERT_EQ(steps.size(), 4u) << r.out;
        EXPECT_TRUE(StartsWith(steps[0], "before PASS ")) << steps[0];
        EXPECT_TRUE(StartsWith(steps[2], "after #1 FAIL -: ")) << steps[2];
        EXPECT_NE(steps[2].find("发送数据失败!"), std::string::npos) << steps[2];
        EXPECT_EQ(steps[3], "last FAIL -: not run: the line to the terminal is gone (expected the "
                            "request sent, got -3 发送数据失败!)");
        EXPECT_NE(r.out.find("passed 2, failed 2"), std::string::npos) << r.out;
    }
    // TCP: a connection the terminal closes, expected once, ends the run.
    {
        SimLines sim({"--fault", "close:12"});
        ASSERT_TRUE(sim.Ready());
        sim.Write("closed.toml", "[[step]]\nexchange = \"12\"\nexpect_error = \"peer-closed\"\n"
                                 "[[step]]\nname = \"next\"\nexchange = \"10\"\n"
                                 "[[step]]\nname = \"last\"\nexchange = \"10\"\n");
        const RunResult r = sim.Run(sim.Dir() / "closed.toml", "tcp");
        EXPECT_EQ(r.status, 1);
        const std::vector<std::string> steps = StepLines(r.out);
        ASSERT_EQ(steps.size(), 3u) << r.out;
        EXPECT_TRUE(StartsWith(steps[0], "exchange 12 PASS ")) << steps[0];
        EXPECT_TRUE(StartsWith(steps[1], "next FAIL ")) << steps[1];
        EXPECT_TRUE(StartsWith(steps[2], "last FAIL -: not run: the line to the terminal is gone"))
            << steps[2];
    }
}

} // namespace
