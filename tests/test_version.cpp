// The programs' own command-line answers: --version from all three, and the
// console's --help and --config refusals, all given before any display opens.
#include <gtest/gtest.h>

#include <cstdlib>
#include <string>
#include <vector>

#include "RunProgram.h"

namespace {

// Qt started on this platform without a display aborts: an answer that came
// after QApplication cannot pass.
class ProgramsTest : public ::testing::Test {
  protected:
    void SetUp() override {
        unsetenv("DISPLAY");
        unsetenv("WAYLAND_DISPLAY");
        setenv("QT_QPA_PLATFORM", "xcb", 1);
    }
};

TEST_F(ProgramsTest, EachPrintsTheProjectVersion) {
    for (const char* program : {"quillmark", "quillmark-cli", "quillmark-sim"}) {
        SCOPED_TRACE(program);
        const RunResult r = ::Run(program, {"--version"});
        EXPECT_EQ(r.status, 0) << r.err;
        EXPECT_EQ(r.out, std::string(program) + " " QUILLMARK_VERSION "\n");
    }
    const RunResult later = ::Run("quillmark", {"-platform", "xcb", "--version"});
    EXPECT_EQ(later.status, 0);
    EXPECT_EQ(later.out, "quillmark " QUILLMARK_VERSION "\n");
}

TEST_F(ProgramsTest, ConsoleHelpAndBadConfigOption) {
    const RunResult help = ::Run("quillmark", {"--help"});
    EXPECT_EQ(help.status, 0);
    EXPECT_NE(help.out.find("--config FILE"), std::string::npos);
    struct Case {
        std::vector<std::string> args;
    } cases[] = {{{"--config"}}, {{"--config="}}, {{"--config", ""}}};
    for (const Case& c : cases) {
        SCOPED_TRACE(c.args.back());
        const RunResult r = ::Run("quillmark", c.args);
        EXPECT_EQ(r.status, 2);
        EXPECT_EQ(r.err, "quillmark: --config needs a file name\n");
    }
}

} // namespace
