// scripts/check-layers.sh on small trees of its own: a check that passes
// everything would look the same as a tree that keeps its layers.
#include <gtest/gtest.h>

#include <filesystem>
#include <string>
#include <utility>
#include <vector>

#include "RunProgram.h"
#include "TempDir.h"

namespace {

namespace fs = std::filesystem;

const std::string SCRIPT = QUILLMARK_SOURCE_DIR "/scripts/check-layers.sh";

TEST(CheckLayers, RefusesEveryEdgeOutsideTheTable) {
    struct Case {
        const char* name;
        std::vector<std::pair<std::string, std::string>> files; // path, text
        int status;
        std::string err; // a part of what it prints, when it fails
    };
    const Case cases[] = {
        {"edges of the table",
         {{"comm/Port.cpp", "#include \"comm/Port.h\"\n#include \"protocol/Frame.h\"\n"
                            "#include <sys/socket.h>\n#include \"Local.h\"\n"},
          {"config/Store.cpp", "#include \"comm/SerialPort.h\"\n"},
          {"bench/Bench.cpp", "#include \"app/Dlg.h\"\n"}},
         0,
         ""},
        {"a folder above",
         {{"protocol/Frame.h", "\n  #  include \"comm/Port.h\"\n"}},
         1,
         "protocol/Frame.h:2 includes comm/Port.h"},
        {"a folder beside",
         {{"tools/Des.h", "#include <protocol/Frame.h>\n"}},
         1,
         "tools/Des.h:1 includes protocol/Frame.h"},
        {"another file of a folder given by one file",
         {{"config/Store.cpp", "#include \"comm/CommJob.h\"\n"}},
         1,
         "config/Store.cpp:1 includes comm/CommJob.h"},
        {"a relative path",
         {{"comm/Port.cpp", "#include \"../config/Store.h\"\n"}},
         1,
         "comm/Port.cpp:1 includes config/Store.h"},
        {"a folder of the table the tree lacks",
         {{"cli/Main.cpp", "#include \"console/State.h\"\n"}},
         1,
         "cli/Main.cpp:1 includes console/State.h"},
        {"a folder the table does not name",
         {{"sim/Sim.cpp", "#include \"tests/Fixture.h\"\n"}},
         1,
         "sim/Sim.cpp:1 includes tests/Fixture.h"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        TempDir tree;
        fs::create_directory(tree.path / "tests");
        for (const auto& [path, text] : c.files) {
            fs::create_directories((tree.path / path).parent_path());
            tree.Write(path, text);
        }
        const RunResult r = ::Run("/bin/bash", {SCRIPT, tree.path.string()});
        EXPECT_EQ(r.status, c.status) << r.err;
        EXPECT_NE(r.err.find(c.err), std::string::npos) << r.err;
    }
}

} // namespace
