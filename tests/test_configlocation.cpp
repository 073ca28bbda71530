// Where the console finds config.xml: the order of the places, the user's
// copy of the shipped default, and entries that are there but no file.
#include <gtest/gtest.h>

#include <cerrno>
#include <filesystem>
#include <string>

#include <sys/stat.h>

#include "TempDir.h"
#include "config/ConfigLocation.h"

namespace fs = std::filesystem;

namespace {

const char* const DEFAULT_TEXT = "<?xml version=\"1.0\"?>\n<Quillmark>\n<TCP Port=\"6688\"/>\n"
                                 "</Quillmark>\n";

// An executable's folder, a home, an XDG config folder and a share folder,
// all empty until a test fills them; nothing of the tester's own home is seen.
class ConfigLocationTest : public ::testing::Test {
  protected:
    void SetUp() override { UseFolder("0"); }

    // Starts over in a fresh subfolder of the scratch folder.
    void UseFolder(const std::string& name) {
        m_root = m_tmp.path / name;
        for (const char* d : {"exe", "home", "xdg", "share"})
            fs::create_directories(m_root / d);
        search = {};
        search.strExeDir = At("exe").string();
        search.strHome = At("home").string();
        search.strConfigHome = At("xdg").string();
        search.strDefault = At("share/config.xml").string();
    }

    fs::path At(const std::string& rel) const { return m_root / rel; }

    void Put(const std::string& rel, const std::string& text) const {
        fs::create_directories(At(rel).parent_path());
        WriteFile(At(rel), text);
    }

    int Find() { return FindConfig(search, path, osError); }

    TempDir m_tmp;
    fs::path m_root;
    ConfigSearch search;
    std::string path;
    int osError = -1;
};

TEST_F(ConfigLocationTest, PlacesAreTriedInOrder) {
    const char* const XDG_USER = "xdg/quillmark/config.xml";
    const char* const HOME_USER = "home/.config/quillmark/config.xml";
    struct Case {
        const char* name;
        const char* given;      // --config, relative to the scratch folder; nullptr: none
        const char* files[2];   // files that exist besides the default
        const char* configHome; // "abs" the xdg folder, else the text itself
        bool home;
        bool shippedDefault;
        int expected;
        const char* expectedPath;
    } cases[] = {
        {"given wins, even missing",
         "elsewhere/my.xml",
         {"exe/config.xml", XDG_USER},
         "abs",
         true,
         true,
         CONFIG_GIVEN,
         "elsewhere/my.xml"},
        {"beside the executable wins over the user's",
         nullptr,
         {"exe/config.xml", XDG_USER},
         "abs",
         true,
         true,
         CONFIG_BESIDE_EXE,
         "exe/config.xml"},
        {"XDG_CONFIG_HOME wins over HOME",
         nullptr,
         {XDG_USER, HOME_USER},
         "abs",
         true,
         true,
         CONFIG_USER,
         XDG_USER},
        {"empty XDG_CONFIG_HOME means ~/.config",
         nullptr,
         {HOME_USER},
         "",
         true,
         true,
         CONFIG_USER,
         HOME_USER},
        {"relative XDG_CONFIG_HOME is ignored",
         nullptr,
         {HOME_USER},
         "xdg",
         true,
         true,
         CONFIG_USER,
         HOME_USER},
        {"copied into XDG_CONFIG_HOME", nullptr, {}, "abs", true, true, CONFIG_CREATED, XDG_USER},
        {"copied into ~/.config", nullptr, {}, "", true, true, CONFIG_CREATED, HOME_USER},
        {"no default: the user's is reported missing",
         nullptr,
         {},
         "abs",
         true,
         false,
         CONFIG_MISSING,
         XDG_USER},
        {"no home: the one beside the executable is reported missing",
         nullptr,
         {},
         "",
         false,
         true,
         CONFIG_MISSING,
         "exe/config.xml"},
    };
    int n = 0;
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        UseFolder("case" + std::to_string(++n));
        for (const char* f : c.files)
            if (f)
                Put(f, "<Quillmark/>\n");
        if (c.shippedDefault)
            Put("share/config.xml", DEFAULT_TEXT);
        search.strGiven = c.given ? At(c.given).string() : "";
        search.strConfigHome =
            std::string(c.configHome) == "abs" ? At("xdg").string() : c.configHome;
        search.strHome = c.home ? At("home").string() : "";

        EXPECT_EQ(Find(), c.expected);
        EXPECT_EQ(path, At(c.expectedPath).string());
        if (c.expected == CONFIG_CREATED) {
            EXPECT_EQ(ReadFile(path), DEFAULT_TEXT);
            EXPECT_EQ(Find(), CONFIG_USER) << "the copy is found on the next start";
        } else if (c.files[0] == nullptr) {
            EXPECT_FALSE(fs::exists(At("xdg/quillmark")));
            EXPECT_FALSE(fs::exists(At("home/.config")));
        }
    }
}

TEST_F(ConfigLocationTest, CopyMakesPrivateFoldersAndLeavesOnlyConfigXml) {
    Put("share/config.xml", DEFAULT_TEXT);
    search.strConfigHome = At("xdg/deeper/still").string();
    ASSERT_EQ(Find(), CONFIG_CREATED);
    for (const char* d : {"xdg/deeper", "xdg/deeper/still", "xdg/deeper/still/quillmark"})
        EXPECT_EQ(fs::status(At(d)).permissions() & fs::perms::all, fs::perms::owner_all) << d;
    int entries = 0;
    for (const auto& e : fs::directory_iterator(At("xdg/deeper/still/quillmark"))) {
        EXPECT_EQ(e.path().filename(), "config.xml");
        ++entries;
    }
    EXPECT_EQ(entries, 1);
    EXPECT_EQ(ReadFile(path), DEFAULT_TEXT);
    EXPECT_EQ(ReadFile(search.strDefault), DEFAULT_TEXT);
}

TEST_F(ConfigLocationTest, EntriesThatAreNoFileAreReportedNotPassedOver) {
    Put("share/config.xml", DEFAULT_TEXT);
    // A dangling link beside the executable is the user's choice of file.
    fs::create_symlink(At("gone.xml"), At("exe/config.xml"));
    EXPECT_EQ(Find(), CONFIG_BESIDE_EXE);
    fs::remove(At("exe/config.xml"));

    // The user's dangling link or folder stays as it is: no copy replaces it.
    fs::create_directories(At("xdg/quillmark"));
    fs::create_symlink(At("unmounted/config.xml"), At("xdg/quillmark/config.xml"));
    EXPECT_EQ(Find(), CONFIG_USER);
    EXPECT_TRUE(fs::is_symlink(At("xdg/quillmark/config.xml")));
    fs::remove(At("xdg/quillmark/config.xml"));
    fs::create_directory(At("xdg/quillmark/config.xml"));
    EXPECT_EQ(Find(), CONFIG_USER);
    EXPECT_TRUE(fs::is_directory(At("xdg/quillmark/config.xml")));
}

TEST_F(ConfigLocationTest, DefaultThatIsNoFileIsMissing) {
    fs::create_directory(At("share/config.xml"));
    EXPECT_EQ(Find(), CONFIG_MISSING);
    EXPECT_FALSE(fs::exists(At("xdg/quillmark")));
}

TEST_F(ConfigLocationTest, FailedCopyKeepsTheErrorAndWritesNothing) {
    Put("share/config.xml", DEFAULT_TEXT);
    Put("xdg/quillmark", "a file where the folder should be");
    EXPECT_EQ(Find(), CONFIG_COPY_FAILED);
    EXPECT_EQ(osError, ENOTDIR);
    EXPECT_EQ(path, At("xdg/quillmark/config.xml").string());
    EXPECT_EQ(ReadFile(At("xdg/quillmark")), "a file where the folder should be");
}

} // namespace
