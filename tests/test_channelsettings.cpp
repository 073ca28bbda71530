// The channel settings of config.xml: which key of which section feeds each
// field, what the settings dialogs write and in what order, the Ports
// bindings, and the serial port listing with those bindings.
#include <gtest/gtest.h>

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <string>
#include <vector>

#include <sys/stat.h>

#include "PtyUtil.h"
#include "TempDir.h"
#include "comm/CommJob.h"
#include "comm/SerialPort.h"
#include "config/ChannelSettings.h"
#include "config/SerialPorts.h"
#include "sim/ConsoleConfigXml.h"

namespace fs = std::filesystem;

namespace {

const std::string FULL = [] {
    ConsoleConfigXml c;
    c.declaration = R"(<?xml version="1.0"?>)";
    c.comment = "<!-- kept -->";
    c.com = R"(PortNo="3" BaudRate="57600" FirstChar="1100" RevTimeOut="110" Extra="x")";
    c.modem =
        R"(PortNo="4" BaudRate="9600" FirstChar="1200" RevTimeOut="120" AddedNo="0" CalledNo="5551234")";
    c.tcp = R"(IP="10.1.2.3" Port="7001" FirstChar="1300" RevTimeOut="130")";
    c.udp = R"(IP="10.4.5.6" Port="7002" FirstChar="1400" RevTimeOut="140")";
    c.ports = {{200, "/dev/pts/9"}};
    return c.Xml();
}();

class ChannelSettingsTest : public ::testing::Test {
  protected:
    void SetUp() override { ASSERT_FALSE(m_dir.empty()); }

    // Loads text as config.xml into config.
    void Load(const std::string& text) {
        m_path = (m_dir / "config.xml").string();
        std::ofstream(m_path, std::ios::binary) << text;
        ASSERT_TRUE(config.Load(m_path.c_str()));
    }
    std::string Saved() {
        EXPECT_TRUE(config.Save());
        std::ifstream in(m_path, std::ios::binary);
        return {std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>()};
    }

    CXmlConfig config;
    TempDir m_tmp;
    const fs::path& m_dir = m_tmp.path;
    std::string m_path;
};

std::string Replaced(std::string text, const std::string& part, const std::string& by) {
    const size_t at = text.find(part);
    EXPECT_NE(at, std::string::npos) << part;
    return at == std::string::npos ? text : text.replace(at, part.size(), by);
}

TEST_F(ChannelSettingsTest, EachFieldComesFromItsKeyAndKeepsItsValueWithoutIt) {
    Load(FULL);
    ChannelSettings s;
    ReadChannelSettings(config, s);
    EXPECT_EQ(s.nComPort, 3);
    EXPECT_EQ(s.nComBaud, 57600);
    EXPECT_EQ(s.nModemPort, 4);
    EXPECT_EQ(s.nModemBaud, 9600);
    EXPECT_EQ(s.strAddedNo, "0");
    EXPECT_EQ(s.strCalledNo, "5551234");
    EXPECT_EQ(s.strTcpIp, "10.1.2.3");
    EXPECT_EQ(s.nTcpPort, 7001);
    EXPECT_EQ(s.strUdpIp, "10.4.5.6");
    EXPECT_EQ(s.nUdpPort, 7002);
    // The Modem section stays selected: the next unqualified read is its.
    int first = 0;
    EXPECT_TRUE(config.GetInt("FirstChar", first));
    EXPECT_EQ(first, 1200);

    // Each key removed (or emptied, for the numbers) leaves its field alone.
    const ChannelSettings initial;
    const struct {
        const char* part;
        bool (*same)(const ChannelSettings&, const ChannelSettings&);
    } cases[] = {
        {R"(PortNo="3")", [](auto& a, auto& b) { return a.nComPort == b.nComPort; }},
        {R"(BaudRate="57600")", [](auto& a, auto& b) { return a.nComBaud == b.nComBaud; }},
        {R"(PortNo="4")", [](auto& a, auto& b) { return a.nModemPort == b.nModemPort; }},
        {R"(BaudRate="9600")", [](auto& a, auto& b) { return a.nModemBaud == b.nModemBaud; }},
        {R"(AddedNo="0")", [](auto& a, auto& b) { return a.strAddedNo == b.strAddedNo; }},
        {R"(CalledNo="5551234")", [](auto& a, auto& b) { return a.strCalledNo == b.strCalledNo; }},
        {R"(IP="10.1.2.3")", [](auto& a, auto& b) { return a.strTcpIp == b.strTcpIp; }},
        {R"(Port="7001")", [](auto& a, auto& b) { return a.nTcpPort == b.nTcpPort; }},
        {R"(IP="10.4.5.6")", [](auto& a, auto& b) { return a.strUdpIp == b.strUdpIp; }},
        {R"(Port="7002")", [](auto& a, auto& b) { return a.nUdpPort == b.nUdpPort; }},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.part);
        Load(Replaced(FULL, c.part, ""));
        ChannelSettings t;
        ReadChannelSettings(config, t);
        EXPECT_TRUE(c.same(t, initial));
    }
    // An empty port number is no number: the console keeps its port.
    std::string emptyPort = FULL;
    emptyPort.replace(emptyPort.find(R"(PortNo="3")"), 10, R"(PortNo="")");
    Load(emptyPort);
    ChannelSettings t;
    ReadChannelSettings(config, t);
    EXPECT_EQ(t.nComPort, initial.nComPort);
}

TEST_F(ChannelSettingsTest, TimeoutsComeFromTheSelectedChannelsSection) {
    Load(FULL);
    const struct {
        int channel;
        int first, inter;
    } cases[] = {
        {CH_SERIAL, 1100, 110}, {CH_MODEM, 1200, 120}, {CH_TCP, 1300, 130}, {CH_UDP, 1400, 140}};
    for (const auto& c : cases) {
        int first = 1, inter = 1;
        ReadChannelTimeouts(config, c.channel, first, inter);
        EXPECT_EQ(first, c.first) << c.channel;
        EXPECT_EQ(inter, c.inter) << c.channel;
    }
    // No selection keeps the section read last.
    int first = 0, inter = 0;
    ReadChannelTimeouts(config, -1, first, inter);
    EXPECT_EQ(first, 1400);
    EXPECT_EQ(inter, 140);
}

TEST_F(ChannelSettingsTest, DialogSectionsReadWhatTheDialogsShow) {
    Load(FULL);
    SerialSection modem;
    ASSERT_TRUE(ReadSerialSection(config, CH_MODEM, modem));
    EXPECT_EQ(modem.strPortNo, "4");
    EXPECT_EQ(modem.nBaudRate, 9600);
    EXPECT_EQ(modem.nFirstChar, 1200);
    EXPECT_EQ(modem.nRevTimeOut, 120);
    EXPECT_EQ(modem.strAddedNo, "0");
    EXPECT_EQ(modem.strCalledNo, "5551234");
    NetSection udp;
    ASSERT_TRUE(ReadNetSection(config, CH_UDP, udp));
    EXPECT_EQ(udp.strIp, "10.4.5.6");
    EXPECT_EQ(udp.strPort, "7002");
    EXPECT_EQ(udp.nFirstChar, 1400);

    // Wrong kinds are refused; a missing section reads nothing.
    SerialSection wrong;
    EXPECT_FALSE(ReadSerialSection(config, CH_TCP, wrong));
    NetSection wrongNet;
    EXPECT_FALSE(ReadNetSection(config, CH_MODEM, wrongNet));
    Load("<Quillmark><COMPort/></Quillmark>");
    NetSection tcp;
    EXPECT_FALSE(ReadNetSection(config, CH_TCP, tcp));
    EXPECT_EQ(tcp.nFirstChar, 0);
}

TEST_F(ChannelSettingsTest, WritesExactlyItsAttributesInOrderAndKeepsTheRest) {
    const char* const bare = "<Quillmark>\n<!-- kept -->\n<COMPort Extra=\"x\"/>\n<Modem/>\n"
                             "<TCP/>\n<UDP/>\n<Ports><Port No=\"200\" Device=\"/dev/pts/9\"/>"
                             "</Ports>\n</Quillmark>\n";
    Load(bare);
    SerialSection com{"7", 921600, 1, 40000, "ignored", "ignored"};
    EXPECT_TRUE(WriteSerialSection(config, CH_SERIAL, com));
    SerialSection modem{"", 19200, 1000, 1000, "", "12345"};
    EXPECT_TRUE(WriteSerialSection(config, CH_MODEM, modem));
    NetSection tcp{"0.0.0.0", "6688x", 2, 3};
    EXPECT_TRUE(WriteNetSection(config, CH_TCP, tcp));
    NetSection udp{"127.0.0.1", "", 4, 5};
    EXPECT_TRUE(WriteNetSection(config, CH_UDP, udp));
    EXPECT_EQ(Saved(),
              "<Quillmark>\n<!-- kept -->\n"
              "<COMPort Extra=\"x\" PortNo=\"7\" BaudRate=\"921600\" FirstChar=\"1\" "
              "RevTimeOut=\"40000\"/>\n"
              "<Modem PortNo=\"\" BaudRate=\"19200\" FirstChar=\"1000\" RevTimeOut=\"1000\" "
              "AddedNo=\"\" CalledNo=\"12345\"/>\n"
              "<TCP IP=\"0.0.0.0\" Port=\"6688x\" FirstChar=\"2\" RevTimeOut=\"3\"/>\n"
              "<UDP IP=\"127.0.0.1\" Port=\"\" FirstChar=\"4\" RevTimeOut=\"5\"/>\n"
              "<Ports>\n<Port No=\"200\" Device=\"/dev/pts/9\"/>\n</Ports>\n</Quillmark>\n");

    // A missing section takes no value; the rest of the file is still saved.
    Load("<Quillmark><COMPort/></Quillmark>");
    EXPECT_FALSE(WriteNetSection(config, CH_TCP, tcp));
    EXPECT_EQ(Saved(), "<Quillmark>\n<COMPort/>\n</Quillmark>\n");
}

TEST_F(ChannelSettingsTest, SaveWritesTheSectionOrRollsItBackWhenTheFileRefusesIt) {
    const std::string text = "<Quillmark>\n<COMPort PortNo=\"3\" Extra=\"x\"/>\n"
                             "<Modem AddedNo=\"9\"/>\n<TCP IP=\"10.1.2.3\" Port=\"7001\"/>\n"
                             "<UDP/>\n</Quillmark>\n";
    const SerialSection serial{"7", 921600, 1, 40000, "0", "12345"};
    const NetSection net{"0.0.0.0", "6688x", 2, 3};
    const struct {
        int channel;
        bool net;
        const char* before;
        const char* after;
    } cases[] = {
        {CH_SERIAL, false, R"(<COMPort PortNo="3" Extra="x"/>)",
         R"(<COMPort PortNo="7" Extra="x" BaudRate="921600" FirstChar="1" RevTimeOut="40000"/>)"},
        {CH_MODEM, false, R"(<Modem AddedNo="9"/>)",
         R"(<Modem AddedNo="0" PortNo="7" BaudRate="921600" FirstChar="1" RevTimeOut="40000" )"
         R"(CalledNo="12345"/>)"},
        {CH_TCP, true, R"(<TCP IP="10.1.2.3" Port="7001"/>)",
         R"(<TCP IP="0.0.0.0" Port="6688x" FirstChar="2" RevTimeOut="3"/>)"},
        {CH_UDP, true, R"(<UDP/>)",
         R"(<UDP IP="0.0.0.0" Port="6688x" FirstChar="2" RevTimeOut="3"/>)"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.before);
        auto save = [&] {
            return c.net ? SaveNetSection(config, c.channel, net)
                         : SaveSerialSection(config, c.channel, serial);
        };
        // A file made read-only by its owner refuses the save, also for root.
        Load(text);
        ASSERT_EQ(::chmod(m_path.c_str(), 0444), 0);
        EXPECT_EQ(save(), SECTION_SAVE_FAILED);
        EXPECT_EQ(ReadFile(m_path), text);
        // The store holds what it held: the section's old attributes, in order, and no new ones.
        ASSERT_EQ(::chmod(m_path.c_str(), 0644), 0);
        EXPECT_EQ(Saved(), text);

        EXPECT_EQ(save(), SECTION_SAVED);
        EXPECT_EQ(ReadFile(m_path), Replaced(text, c.before, c.after));
    }

    // The other kind's channels write and save nothing.
    const std::string oneLine = "<Quillmark><COMPort/><TCP/></Quillmark>";
    Load(oneLine);
    EXPECT_EQ(SaveSerialSection(config, CH_TCP, serial), SECTION_WRONG_CHANNEL);
    EXPECT_EQ(SaveNetSection(config, CH_MODEM, net), SECTION_WRONG_CHANNEL);
    EXPECT_EQ(SaveNetSection(config, -1, net), SECTION_WRONG_CHANNEL);
    EXPECT_EQ(ReadFile(m_path), oneLine);
    // A missing section takes nothing; the rest is saved.
    EXPECT_EQ(SaveNetSection(config, CH_UDP, net), SECTION_SAVED);
    EXPECT_EQ(ReadFile(m_path), "<Quillmark>\n<COMPort/>\n<TCP/>\n</Quillmark>\n");
}

TEST_F(ChannelSettingsTest, PortsElementBindsItsValidEntriesOnly) {
    Load("<Quillmark><Ports>"
         "<Port No=\"200\" Device=\"/dev/pts/9\"/>"
         "<Port No=\"0\" Device=\"/dev/ttyX\"/>"
         "<Port No=\"255\" Device=\"/tmp/ttyB\" Note=\"unknown attributes are fine\"/>"
         "<Port No=\"256\" Device=\"/dev/a\"/>"
         "<Port No=\"-1\" Device=\"/dev/b\"/>"
         "<Port No=\"abc\" Device=\"/dev/c\"/>"
         "<Port No=\"7x\" Device=\"/dev/d\"/>"
         "<Port No=\"\" Device=\"/dev/e\"/>"
         "<Port Device=\"/dev/f\"/>"
         "<Port No=\"201\" Device=\"\"/>"
         "<Other No=\"202\" Device=\"/dev/g\"/>"
         "</Ports></Quillmark>");
    const std::vector<PortBinding> bindings = ReadPortBindings(config);
    ASSERT_EQ(bindings.size(), 3u);
    EXPECT_EQ(bindings[0].nNo, 200);
    EXPECT_EQ(bindings[0].strDevice, "/dev/pts/9");
    EXPECT_EQ(bindings[1].nNo, 0);
    EXPECT_EQ(bindings[2].nNo, 255);

    EXPECT_EQ(BindConfiguredPorts(config), 3);
    EXPECT_EQ(ComDevicePath(200), "/dev/pts/9");
    EXPECT_EQ(ComDevicePath(255), "/tmp/ttyB");
    EXPECT_EQ(ComDevicePath(201), "");
    for (int n : {0, 200, 255})
        ComBindDevice(n, "");

    Load("<Quillmark/>");
    EXPECT_TRUE(ReadPortBindings(config).empty());
    EXPECT_EQ(BindConfiguredPorts(config), 0);
}

TEST(ListSerialPortsWithBindings, ListsBoundDevicesAfterTheMachinesOwn) {
    PtyPair pty;
    ASSERT_TRUE(pty.Open());
    std::vector<SerialPortInfo> own;
    ASSERT_EQ(ListSerialPorts(own), 0);

    const std::vector<PortBinding> bound = {
        {200, pty.path}, {201, "/tmp/odd (name)"}, {200, pty.path}};
    std::vector<SerialPortInfo> ports(2);
    std::string error = "stale";
    ASSERT_EQ(ListSerialPorts(ports, bound, error), 0);
    EXPECT_EQ(error, "");
    ASSERT_EQ(ports.size(), own.size() + 2);
    for (size_t i = 0; i < own.size(); ++i)
        EXPECT_EQ(ports[i].strFriendlyName, own[i].strFriendlyName);
    const SerialPortInfo& p = ports[own.size()];
    EXPECT_EQ(p.strDevicePath, pty.path);
    EXPECT_EQ(p.strPortName, "COM200");
    EXPECT_EQ(p.strFriendlyName, pty.path + " (COM200)");
    EXPECT_EQ(p.strDescription, pty.path);
    EXPECT_FALSE(p.bUsb);
    // The port number is taken from the first "(" of the friendly name.
    EXPECT_EQ(ports[own.size() + 1].strFriendlyName, "/tmp/odd [name] (COM201)");
    EXPECT_EQ(ports[own.size() + 1].strDevicePath, "/tmp/odd (name)");

    // A machine port bound under its own number is listed once.
    if (!own.empty()) {
        const std::string com = own[0].strPortName;
        ASSERT_EQ(
            ListSerialPorts(ports, {{std::atoi(com.c_str() + 3), own[0].strDevicePath}}, error), 0);
        EXPECT_EQ(ports.size(), own.size());
    }
}

TEST_F(ChannelSettingsTest, AComNumberBoundTwiceIsListedOnceWithTheDeviceThatOpens) {
    Load("<Quillmark><Ports>"
         "<Port No=\"200\" Device=\"/tmp/first\"/>"
         "<Port No=\"201\" Device=\"/tmp/other\"/>"
         "<Port No=\"200\" Device=\"/tmp/last\"/>"
         "</Ports></Quillmark>");
    BindConfiguredPorts(config);
    const std::string opens = ComDevicePath(200);
    ComBindDevice(200, "");
    ComBindDevice(201, "");
    EXPECT_EQ(opens, "/tmp/last");

    std::vector<SerialPortInfo> ports;
    std::string error;
    ASSERT_EQ(ListSerialPorts(ports, ReadPortBindings(config), error), 0);
    std::vector<std::string> com200;
    for (const SerialPortInfo& p : ports)
        if (p.strFriendlyName.find("(COM200)") != std::string::npos)
            com200.push_back(p.strDevicePath);
    EXPECT_EQ(com200, std::vector<std::string>{opens});
    EXPECT_EQ(ports.back().strDevicePath, "/tmp/other");

    // A machine port's number bound to another device lists that device only.
    std::vector<SerialPortInfo> own;
    ASSERT_EQ(ListSerialPorts(own), 0);
    if (own.empty())
        return;
    ASSERT_EQ(
        ListSerialPorts(ports, {{std::atoi(own[0].strPortName.c_str() + 3), "/tmp/last"}}, error),
        0);
    ASSERT_EQ(ports.size(), own.size());
    EXPECT_EQ(ports[0].strPortName, own[0].strPortName);
    EXPECT_EQ(ports[0].strDevicePath, "/tmp/last");
}

TEST(ListSerialPortsWithBindings, MachinePortsNameTheirDescriptionWithoutParentheses) {
    std::vector<SerialPortInfo> ports;
    ASSERT_EQ(ListSerialPorts(ports), 0);
    for (const SerialPortInfo& p : ports) {
        EXPECT_EQ(p.strFriendlyName, p.strDescription + " (" + p.strPortName + ")");
        EXPECT_EQ(p.strDescription.find_first_of("()"), std::string::npos) << p.strDescription;
    }
}

} // namespace
