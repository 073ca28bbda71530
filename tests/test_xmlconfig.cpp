#include "TempDir.h"
#include "config/XmlConfig.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <climits>
#include <csignal>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <grp.h>
#include <iterator>
#include <string>
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>
#include <vector>

namespace fs = std::filesystem;

namespace {

class XmlConfigTest : public ::testing::Test {
  protected:
    void SetUp() override { ASSERT_FALSE(m_dir.empty()); }

    std::string PathOf(const std::string& name) const { return (m_dir / name).string(); }

    std::string Write(const std::string& name, const std::string& text) const {
        const std::string path = PathOf(name);
        std::ofstream(path, std::ios::binary) << text;
        return path;
    }

    static std::string Read(const std::string& path) {
        std::ifstream in(path, std::ios::binary);
        return {std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>()};
    }

    std::vector<std::string> Entries() const {
        std::vector<std::string> names;
        for (const auto& e : fs::directory_iterator(m_dir))
            names.push_back(e.path().filename().string());
        std::sort(names.begin(), names.end());
        return names;
    }

    // Loads text as config.xml of the test folder.
    std::string LoadText(CXmlConfig& cfg, const std::string& text) const {
        const std::string path = Write("config.xml", text);
        EXPECT_TRUE(cfg.Load(path.c_str())) << text;
        return path;
    }

    TempDir m_tmp;
    const fs::path& m_dir = m_tmp.path;
};

const char SECTIONS[] = "<Quillmark><COMPort PortNo=\"1\"/><Modem/>"
                        "<TCP><Inner/></TCP><!-- note --><UDP/><COMPort PortNo=\"2\"/></Quillmark>";

TEST_F(XmlConfigTest, SelectNodeFollowsPathSegments) {
    struct Case {
        const char* path;
        const char* found; // element name, or nullptr when nothing is found
    } cases[] = {
        {"Quillmark/COMPort", "COMPort"},
        {"/Quillmark/COMPort", "COMPort"},
        {"Quillmark/COMPort/", "COMPort"},
        {"//Quillmark/COMPort", "COMPort"},
        {"Quillmark//COMPort", "COMPort"},
        {"Quillmark/UDP", "UDP"},
        {"Quillmark", "Quillmark"},
        {"Quillmark/", "Quillmark"},
        {"Quillmark/TCP/Inner", "Inner"},
        {"Quillmark/Inner", nullptr},
        {"COMPort", nullptr},
        {"Other/COMPort", nullptr},
        {"quillmark/COMPort", nullptr},
        {"Quillmark/Missing", nullptr},
        {"Quillmark/COMPort/PortNo", nullptr},
        {"", nullptr},
        {"/", nullptr},
    };
    CXmlConfig cfg;
    LoadText(cfg, SECTIONS);
    for (const Case& c : cases) {
        const pugi::xml_node node = cfg.SelectNode(c.path);
        if (c.found) {
            EXPECT_STREQ(node.name(), c.found) << c.path;
        } else {
            EXPECT_FALSE(node) << c.path;
        }
    }
}

TEST_F(XmlConfigTest, SelectNodePicksFirstOfSameNameAndNullPathKeepsSelection) {
    CXmlConfig cfg;
    LoadText(cfg, SECTIONS);
    ASSERT_TRUE(cfg.SelectNode("Quillmark/COMPort"));
    std::string port;
    EXPECT_TRUE(cfg.GetString("PortNo", port));
    EXPECT_EQ(port, "1");

    EXPECT_FALSE(cfg.SelectNode(nullptr));
    port.clear();
    EXPECT_TRUE(cfg.GetString("PortNo", port));
    EXPECT_EQ(port, "1");

    EXPECT_FALSE(cfg.SelectNode("Quillmark/Missing"));
    EXPECT_FALSE(cfg.GetString("PortNo", port));
    EXPECT_FALSE(cfg.SetString("PortNo", "9"));
}

TEST_F(XmlConfigTest, GetsConvertLikeTheCLibrary) {
    struct Case {
        const char* text;
        bool ok;
        long value;
    } cases[] = {
        {"42", true, 42}, {"-7", true, -7},    {"+5", true, 5},     {"abc", true, 0},
        {"", false, 0},   {"  42x", true, 42}, {"12 34", true, 12}, {"0x10", true, 0},
        {"007", true, 7}, {" ", true, 0},      {"-", true, 0},      {"40000", true, 40000},
    };
    for (const Case& c : cases) {
        CXmlConfig cfg;
        LoadText(cfg, std::string("<Quillmark><S v=\"") + c.text + "\"/></Quillmark>");
        ASSERT_TRUE(cfg.SelectNode("Quillmark/S"));
        int n = -99;
        long l = -99;
        EXPECT_EQ(cfg.GetInt("v", n), c.ok) << c.text;
        EXPECT_EQ(cfg.GetLong("v", l), c.ok) << c.text;
        EXPECT_EQ(n, c.ok ? c.value : -99) << c.text;
        EXPECT_EQ(l, c.ok ? c.value : -99) << c.text;
        std::string s = "untouched";
        EXPECT_TRUE(cfg.GetString("v", s));
        EXPECT_EQ(s, c.text);
    }
}

TEST_F(XmlConfigTest, GetsFailWithoutTouchingTheOutput) {
    CXmlConfig cfg;
    std::string s = "kept";
    int n = 5;
    long l = 6;
    // Nothing loaded, nothing selected.
    EXPECT_FALSE(cfg.SelectNode("Quillmark"));
    EXPECT_FALSE(cfg.GetString("v", s));

    LoadText(cfg, "<Quillmark><S v=\"1\"/></Quillmark>");
    ASSERT_TRUE(cfg.SelectNode("Quillmark/S"));
    EXPECT_FALSE(cfg.GetString("missing", s));
    EXPECT_FALSE(cfg.GetInt("missing", n));
    EXPECT_FALSE(cfg.GetLong("missing", l));
    EXPECT_FALSE(cfg.GetString(nullptr, s));
    EXPECT_EQ(s, "kept");
    EXPECT_EQ(n, 5);
    EXPECT_EQ(l, 6);
}

TEST_F(XmlConfigTest, SetsReplaceOrAddOneAttribute) {
    CXmlConfig cfg;
    LoadText(cfg, "<Quillmark><TCP IP=\"1.2.3.4\" Port=\"1\"/></Quillmark>");
    const pugi::xml_node tcp = cfg.SelectNode("Quillmark/TCP");
    ASSERT_TRUE(tcp);

    EXPECT_TRUE(cfg.SetString("IP", "10.0.0.1"));
    EXPECT_TRUE(cfg.SetInt("Port", -6688));
    EXPECT_TRUE(cfg.SetInt("FirstChar", 40000));
    EXPECT_TRUE(cfg.SetLong("BaudRate", LONG_MAX));
    EXPECT_TRUE(cfg.SetString("Empty", ""));

    int count = 0;
    for (pugi::xml_attribute a : tcp.attributes())
        count += std::string(a.name()) == "IP";
    EXPECT_EQ(count, 1);

    std::string s;
    int n = 0;
    long l = 0;
    EXPECT_TRUE(cfg.GetString("IP", s));
    EXPECT_EQ(s, "10.0.0.1");
    EXPECT_TRUE(cfg.GetInt("Port", n));
    EXPECT_EQ(n, -6688);
    EXPECT_TRUE(cfg.GetInt("FirstChar", n));
    EXPECT_EQ(n, 40000);
    EXPECT_TRUE(cfg.GetLong("BaudRate", l));
    EXPECT_EQ(l, LONG_MAX);
    EXPECT_TRUE(cfg.GetString("Empty", s));
    EXPECT_EQ(s, "");
    EXPECT_FALSE(cfg.GetInt("Empty", n));
}

TEST_F(XmlConfigTest, SetsRefuseWhatWouldNotLoadAgain) {
    CXmlConfig cfg;
    EXPECT_FALSE(cfg.SetString("IP", "1.2.3.4")); // nothing selected
    const std::string path = LoadText(cfg, "<Quillmark><TCP/></Quillmark>");
    ASSERT_TRUE(cfg.SelectNode("Quillmark/TCP"));
    const char* badNames[] = {nullptr, "", "1st", "a b", "a=b", "-x", "a\"", "<a>"};
    for (const char* name : badNames)
        EXPECT_FALSE(cfg.SetString(name, "v")) << (name ? name : "(null)");
    EXPECT_FALSE(cfg.SetString("IP", nullptr));
    EXPECT_TRUE(cfg.SetString("Odd", "<a & \"b\">\n'c'"));

    ASSERT_TRUE(cfg.Save());
    CXmlConfig again;
    ASSERT_TRUE(again.Load(path.c_str()));
    ASSERT_TRUE(again.SelectNode("Quillmark/TCP"));
    std::string s;
    EXPECT_TRUE(again.GetString("Odd", s));
    EXPECT_EQ(s, "<a & \"b\">\n'c'");
    const auto attrs = again.SelectNode("Quillmark/TCP").attributes();
    EXPECT_EQ(std::distance(attrs.begin(), attrs.end()), 1);
}

TEST_F(XmlConfigTest, SaveBreaksLineAfterEveryTag) {
    struct Case {
        const char* in;
        const char* out;
    } cases[] = {
        {"<Quillmark><COMPort/><Modem/></Quillmark>",
         "<Quillmark>\n<COMPort/>\n<Modem/>\n</Quillmark>\n"},
        {"<?xml version=\"1.0\"?>\r\n<Quillmark>\r\n  <TCP IP=\"1\"/>\r\n</Quillmark>\r\n",
         "<?xml version=\"1.0\"?>\n<Quillmark>\n<TCP IP=\"1\"/>\n</Quillmark>\n"},
        {"<!-- head --><Quillmark a=\"x\"><UDP>text</UDP></Quillmark>",
         "<!-- head -->\n<Quillmark a=\"x\">\n<UDP>text</UDP>\n</Quillmark>\n"},
    };
    for (const Case& c : cases) {
        CXmlConfig cfg;
        const std::string path = LoadText(cfg, c.in);
        ASSERT_TRUE(cfg.Save());
        const std::string written = Read(path);
        EXPECT_EQ(written, c.out);
        // Saving what was read back changes nothing: no blank lines pile up.
        ASSERT_TRUE(cfg.Load(path.c_str()));
        ASSERT_TRUE(cfg.Save());
        EXPECT_EQ(Read(path), written);
    }
}

TEST_F(XmlConfigTest, ShippedConfigReadsAndSavesUnchanged) {
    // The tests run beside the shipped config.xml.
    const std::string shipped = Read("config.xml");
    ASSERT_FALSE(shipped.empty());
    CXmlConfig cfg;
    const std::string path = LoadText(cfg, shipped);

    int n = 0;
    long l = 0;
    std::string s = "x";
    for (const char* section :
         {"Quillmark/COMPort", "Quillmark/Modem", "Quillmark/TCP", "Quillmark/UDP"}) {
        ASSERT_TRUE(cfg.SelectNode(section)) << section;
        EXPECT_TRUE(cfg.GetInt("FirstChar", n)) << section;
        EXPECT_TRUE(cfg.GetInt("RevTimeOut", n)) << section;
    }
    ASSERT_TRUE(cfg.SelectNode("Quillmark/COMPort"));
    EXPECT_TRUE(cfg.GetInt("PortNo", n));
    EXPECT_TRUE(cfg.GetLong("BaudRate", l));
    ASSERT_TRUE(cfg.SelectNode("Quillmark/Modem"));
    EXPECT_TRUE(cfg.GetString("AddedNo", s));
    EXPECT_EQ(s, "");
    EXPECT_TRUE(cfg.GetString("CalledNo", s));
    ASSERT_TRUE(cfg.SelectNode("Quillmark/TCP"));
    EXPECT_TRUE(cfg.GetString("IP", s));
    EXPECT_TRUE(cfg.GetInt("Port", n));

    ASSERT_TRUE(cfg.Save());
    EXPECT_EQ(Read(path), shipped);
}

TEST_F(XmlConfigTest, SaveKeepsWhatTheStoreDoesNotKnow) {
    const char text[] =
        "<?xml version=\"1.0\" encoding=\"UTF-8\"?>\n"
        "<!-- settings of the console -->\n"
        "<Quillmark Version=\"3\">\n"
        "<COMPort PortNo=\"1\" Extra=\"keep\"/>\n"
        "<Ports>\n<Port No=\"200\" Device=\"/dev/pts/3\"/>\n<!-- pty -->\n</Ports>\n"
        "<?tool hint?>\n"
        "<TCP IP=\"127.0.0.1\" Port=\"6688\"/>\n"
        "</Quillmark>\n";
    CXmlConfig cfg;
    const std::string path = LoadText(cfg, text);
    ASSERT_TRUE(cfg.SelectNode("Quillmark/TCP"));
    ASSERT_TRUE(cfg.SetString("IP", "192.168.1.9"));
    ASSERT_TRUE(cfg.Save());

    // Only the changed value differs.
    std::string expected = text;
    expected.replace(expected.find("127.0.0.1"), 9, "192.168.1.9");
    EXPECT_EQ(Read(path), expected);

    CXmlConfig again;
    ASSERT_TRUE(again.Load(path.c_str()));
    const pugi::xml_node port = again.SelectNode("Quillmark/Ports/Port");
    ASSERT_TRUE(port);
    EXPECT_STREQ(port.attribute("No").value(), "200");
    EXPECT_STREQ(port.attribute("Device").value(), "/dev/pts/3");
}

TEST_F(XmlConfigTest, SelectionStaysUsableAcrossSave) {
    CXmlConfig cfg;
    const std::string path = LoadText(cfg, "<Quillmark><UDP Port=\"1\"/></Quillmark>");
    ASSERT_TRUE(cfg.SelectNode("Quillmark/UDP"));
    ASSERT_TRUE(cfg.Save());
    // A dialog selects when shown and sets at OK: the sets must still reach the file.
    ASSERT_TRUE(cfg.SetInt("Port", 2));
    ASSERT_TRUE(cfg.Save());
    EXPECT_EQ(Read(path), "<Quillmark>\n<UDP Port=\"2\"/>\n</Quillmark>\n");
}

TEST_F(XmlConfigTest, SaveTargetsAndRemembersOnlyTheLoadedPath) {
    CXmlConfig cfg;
    EXPECT_FALSE(cfg.Save()); // nothing loaded, no target
    const std::string path = LoadText(cfg, "<Quillmark><TCP Port=\"1\"/></Quillmark>");
    ::chmod(path.c_str(), 0640);
    const std::string copy = PathOf("copy.xml");
    ASSERT_TRUE(cfg.SelectNode("Quillmark/TCP"));
    ASSERT_TRUE(cfg.SetInt("Port", 2));
    ASSERT_TRUE(cfg.Save(copy.c_str()));
    EXPECT_EQ(Read(path), "<Quillmark><TCP Port=\"1\"/></Quillmark>");
    EXPECT_EQ(Read(copy), "<Quillmark>\n<TCP Port=\"2\"/>\n</Quillmark>\n");

    ASSERT_TRUE(cfg.Save(""));
    EXPECT_EQ(Read(path), Read(copy));
    struct stat st;
    ASSERT_EQ(::stat(path.c_str(), &st), 0);
    EXPECT_EQ(st.st_mode & 07777, 0640u);

    // Load without a path reads the remembered file again.
    Write("config.xml", "<Quillmark><TCP Port=\"3\"/></Quillmark>");
    ASSERT_TRUE(cfg.Load(nullptr));
    ASSERT_TRUE(cfg.SelectNode("Quillmark/TCP"));
    int n = 0;
    EXPECT_TRUE(cfg.GetInt("Port", n));
    EXPECT_EQ(n, 3);
    EXPECT_EQ(Entries(), (std::vector<std::string>{"config.xml", "copy.xml"}));
}

TEST_F(XmlConfigTest, SaveFailureLeavesTargetAlone) {
    const char text[] = "<Quillmark><TCP Port=\"1\"/></Quillmark>";
    CXmlConfig cfg;
    const std::string path = LoadText(cfg, text);
    ASSERT_TRUE(cfg.SelectNode("Quillmark/TCP"));
    ASSERT_TRUE(cfg.SetInt("Port", 2));

    fs::create_directory(m_dir / "sub");
    Write("sub/inner.xml", "x");
    const std::string targets[] = {PathOf("missing/config.xml"), PathOf("sub"), "/proc/version"};
    for (const std::string& target : targets)
        EXPECT_FALSE(cfg.Save(target.c_str())) << target;
    EXPECT_TRUE(fs::is_directory(m_dir / "sub"));
    EXPECT_EQ(Read(PathOf("sub/inner.xml")), "x");
    EXPECT_EQ(Read(path), text);
    EXPECT_EQ(Entries(), (std::vector<std::string>{"config.xml", "sub"}));
}

// Runs fn in a child process as user nobody, where permission bits hold,
// with dir as its working folder. fn names files relative to dir, so nobody
// needs no search right on the folders above it, which a fresh machine may
// close (a root folder made with mode 0700). Returns fn's result, or -1 when
// the child could not drop to nobody.
template <class Fn> int AsNobody(const fs::path& dir, Fn fn) {
    const pid_t pid = ::fork();
    if (pid == 0) {
        if (::chdir(dir.c_str()) != 0 || ::setgroups(0, nullptr) != 0 || ::setgid(65534) != 0 ||
            ::setuid(65534) != 0)
            ::_exit(255);
        ::_exit(fn() ? 1 : 0);
    }
    int status = 0;
    if (pid < 0 || ::waitpid(pid, &status, 0) != pid || !WIFEXITED(status))
        return -1;
    return WEXITSTATUS(status) == 255 ? -1 : WEXITSTATUS(status);
}

TEST_F(XmlConfigTest, SaveWritesThroughALinkToItsTarget) {
    const char old[] = "<Quillmark><TCP Port=\"1\"/></Quillmark>";
    fs::create_directory(m_dir / "real");
    const std::string real = Write("real/config.xml", old);
    ::chmod(real.c_str(), 0604);
    const std::string link = PathOf("config.xml");
    fs::create_symlink("real/config.xml", link);
    CXmlConfig cfg;
    ASSERT_TRUE(cfg.Load(link.c_str()));
    ASSERT_TRUE(cfg.SelectNode("Quillmark/TCP"));
    ASSERT_TRUE(cfg.SetInt("Port", 2));
    ASSERT_TRUE(cfg.Save());

    EXPECT_TRUE(fs::is_symlink(link));
    EXPECT_EQ(Read(real), "<Quillmark>\n<TCP Port=\"2\"/>\n</Quillmark>\n");
    struct stat st;
    ASSERT_EQ(::stat(real.c_str(), &st), 0);
    EXPECT_EQ(st.st_mode & 07777, 0604u);
    EXPECT_EQ(Entries(), (std::vector<std::string>{"config.xml", "real"}));
    EXPECT_EQ(std::distance(fs::directory_iterator(m_dir / "real"), fs::directory_iterator()), 1);

    // A link that leads nowhere is not replaced by a file.
    fs::create_symlink("nowhere.xml", PathOf("dangling.xml"));
    EXPECT_FALSE(cfg.Save(PathOf("dangling.xml").c_str()));
    EXPECT_TRUE(fs::is_symlink(PathOf("dangling.xml")));
    EXPECT_FALSE(fs::exists(PathOf("nowhere.xml")));
}

TEST_F(XmlConfigTest, SaveRefusesWhatMayNotBeWritten) {
    const char old[] = "<Quillmark><TCP Port=\"1\"/></Quillmark>";
    CXmlConfig cfg;
    const std::string path = LoadText(cfg, old);
    ASSERT_TRUE(cfg.SelectNode("Quillmark/TCP"));
    ASSERT_TRUE(cfg.SetInt("Port", 2));

    // Made read-only by its owner: refused even for root.
    ::chmod(path.c_str(), 0444);
    EXPECT_FALSE(cfg.Save());
    EXPECT_EQ(Read(path), old);

    // Writable by its owner only: nobody may not replace it.
    const auto saveAsNobody = [&] {
        return AsNobody(m_dir, [&] { return cfg.Save("config.xml"); });
    };
    ::chmod(m_dir.c_str(), 0777);
    ::chmod(path.c_str(), 0644);
    const int asOther = saveAsNobody();
    if (asOther < 0)
        GTEST_SKIP() << "cannot run as nobody here";
    EXPECT_EQ(asOther, 0);
    EXPECT_EQ(Read(path), old);

    // A folder nobody may not write: an in-place write is no way out.
    ::chmod(path.c_str(), 0666);
    ::chmod(m_dir.c_str(), 0755);
    EXPECT_EQ(saveAsNobody(), 0);
    EXPECT_EQ(Read(path), old);
    EXPECT_EQ(Entries(), (std::vector<std::string>{"config.xml"}));

    // With the folder open the same user saves.
    ::chmod(m_dir.c_str(), 0777);
    EXPECT_EQ(saveAsNobody(), 1);
    EXPECT_EQ(Read(path), "<Quillmark>\n<TCP Port=\"2\"/>\n</Quillmark>\n");
}

TEST_F(XmlConfigTest, WriteFailingMidwayKeepsOldFile) {
    const std::string old = "<Quillmark><TCP Port=\"1\"/></Quillmark>";
    CXmlConfig cfg;
    const std::string path = LoadText(cfg, old);
    ASSERT_TRUE(cfg.SelectNode("Quillmark/TCP"));
    ASSERT_TRUE(cfg.SetString("Note", std::string(4096, 'n').c_str()));

    // A file size limit stops the write part way, even for root (like a full disk).
    rlimit saved;
    ASSERT_EQ(::getrlimit(RLIMIT_FSIZE, &saved), 0);
    const auto oldHandler = std::signal(SIGXFSZ, SIG_IGN);
    rlimit small = saved;
    small.rlim_cur = 100;
    ASSERT_EQ(::setrlimit(RLIMIT_FSIZE, &small), 0);
    const bool ok = cfg.Save();
    ::setrlimit(RLIMIT_FSIZE, &saved);
    std::signal(SIGXFSZ, oldHandler);

    EXPECT_FALSE(ok);
    EXPECT_EQ(Read(path), old);
    EXPECT_EQ(Entries(), (std::vector<std::string>{"config.xml"}));
    // With room again the same document is written.
    EXPECT_TRUE(cfg.Save());
    EXPECT_NE(Read(path).find(std::string(4096, 'n')), std::string::npos);
}

TEST_F(XmlConfigTest, LoadRejectsWhatIsNotAConfigFile) {
    const std::string garbage("\x00\xff\xfe\x01<\x00\x80\x9f", 8);
    struct Case {
        const char* what;
        std::string text;
    } cases[] = {
        {"empty", ""},
        {"blank", " \r\n"},
        {"truncated", "<?xml version=\"1.0\"?>\n<Quillmark>\n<COMPort PortNo=\"1"},
        {"unclosed", "<Quillmark><COMPort/>"},
        {"mismatched", "<Quillmark></COMPort>"},
        {"plain text", "hello world"},
        {"comment only", "<!-- Quillmark -->"},
        {"binary", garbage},
    };
    for (const Case& c : cases) {
        CXmlConfig cfg;
        const std::string good = Write("good.xml", "<Quillmark><TCP IP=\"1\"/></Quillmark>");
        ASSERT_TRUE(cfg.Load(good.c_str()));
        ASSERT_TRUE(cfg.SelectNode("Quillmark/TCP"));

        const std::string path = Write("config.xml", c.text);
        EXPECT_FALSE(cfg.Load(path.c_str())) << c.what;
        // Nothing of the earlier document stays reachable.
        EXPECT_FALSE(cfg.SetString("IP", "2")) << c.what;
        EXPECT_FALSE(cfg.SelectNode("Quillmark")) << c.what;
    }

    CXmlConfig cfg;
    EXPECT_FALSE(cfg.Load(nullptr));
    EXPECT_FALSE(cfg.Load(""));
    EXPECT_FALSE(cfg.Load(PathOf("missing.xml").c_str()));
    EXPECT_FALSE(cfg.Load(m_dir.c_str()));
    EXPECT_FALSE(cfg.Load("/dev/null"));
}

TEST_F(XmlConfigTest, LoadAcceptsBomDeclarationAndCrlf) {
    const std::string body = "<Quillmark>\r\n<COMPort PortNo=\"3\"/>\r\n</Quillmark>\r\n";
    const std::string utf16 = std::string("\xff\xfe<\0Q\0/\0>\0", 10); // <Q/> in UTF-16LE
    struct Case {
        const char* what;
        std::string text;
    } cases[] = {
        {"BOM", "\xef\xbb\xbf" + body},
        {"declaration", "<?xml version=\"1.0\" encoding=\"UTF-8\" standalone=\"yes\"?>\r\n" + body},
        {"BOM and declaration", "\xef\xbb\xbf<?xml version=\"1.0\" encoding=\"utf-8\"?>" + body},
        {"leading blank", "\n  \n" + body},
        {"doctype", "<!DOCTYPE Quillmark>" + body},
    };
    for (const Case& c : cases) {
        CXmlConfig cfg;
        const std::string path = LoadText(cfg, c.text);
        ASSERT_TRUE(cfg.SelectNode("Quillmark/COMPort")) << c.what;
        int n = 0;
        EXPECT_TRUE(cfg.GetInt("PortNo", n)) << c.what;
        EXPECT_EQ(n, 3) << c.what;

        ASSERT_TRUE(cfg.Save()) << c.what;
        const std::string written = Read(path);
        EXPECT_EQ(written.find('\r'), std::string::npos) << c.what;
        CXmlConfig again;
        ASSERT_TRUE(again.Load(path.c_str())) << c.what;
        ASSERT_TRUE(again.SelectNode("Quillmark/COMPort")) << c.what;
    }
    CXmlConfig cfg;
    LoadText(cfg, utf16);
    EXPECT_TRUE(cfg.SelectNode("Q"));
}

TEST_F(XmlConfigTest, SavedFileDeclaresTheEncodingItIsWrittenIn) {
    // Read as Latin-1, written as UTF-8: the declaration must follow or "é" would change on
    // every round trip.
    CXmlConfig cfg;
    const std::string path = LoadText(
        cfg,
        "<?xml version=\"1.0\" encoding=\"ISO-8859-1\"?><Quillmark><S v=\"\xe9\"/></Quillmark>");
    ASSERT_TRUE(cfg.Save());
    EXPECT_EQ(Read(path), "<?xml version=\"1.0\" encoding=\"UTF-8\"?>\n"
                          "<Quillmark>\n<S v=\"\xc3\xa9\"/>\n</Quillmark>\n");
    CXmlConfig again;
    ASSERT_TRUE(again.Load(path.c_str()));
    ASSERT_TRUE(again.SelectNode("Quillmark/S"));
    std::string s;
    EXPECT_TRUE(again.GetString("v", s));
    EXPECT_EQ(s, "\xc3\xa9");
}

TEST_F(XmlConfigTest, ForeignRootLoadsButNoSectionIsFound) {
    const char text[] = "<Other><COMPort PortNo=\"1\"/></Other>";
    CXmlConfig cfg;
    const std::string path = LoadText(cfg, text);
    EXPECT_FALSE(cfg.SelectNode("Quillmark/COMPort"));
    int n = 7;
    EXPECT_FALSE(cfg.GetInt("PortNo", n));
    EXPECT_EQ(n, 7);
    EXPECT_FALSE(cfg.SetInt("PortNo", 2));
    ASSERT_TRUE(cfg.Save());
    EXPECT_EQ(Read(path), "<Other>\n<COMPort PortNo=\"1\"/>\n</Other>\n");
}

} // namespace
