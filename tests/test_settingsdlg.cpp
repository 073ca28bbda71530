// The four channel settings dialogs over a real config.xml: what they show,
// what OK writes and saves, what is refused, Enter and Cancel, a failed
// save, and the IPv4-address control.
#include <QApplication>
#include <QComboBox>
#include <QKeyEvent>
#include <QLineEdit>
#include <QPushButton>
#include <QTimer>
#include <csignal>
#include <fstream>
#include <gtest/gtest.h>
#include <iterator>
#include <memory>
#include <string>

#include <sys/resource.h>

#include "PtyUtil.h"
#include "UiTestUtil.h"
#include "app/ComSetDlg.h"
#include "app/IpAddressCtrl.h"
#include "app/ModemSetDlg.h"
#include "app/Resource.h"
#include "app/TcpSetDlg.h"
#include "app/UdpSetDlg.h"
#include "comm/SerialPort.h"
#include "sim/ConsoleConfigXml.h"

namespace {

// Every section with values of its own, an extra attribute, a comment and a
// port binding: what a save must keep.
const std::string CONFIG = [] {
    ConsoleConfigXml c;
    c.declaration = R"(<?xml version="1.0"?>)";
    c.comment = "<!-- bench B -->";
    c.com = R"(PortNo="1" BaudRate="921600" FirstChar="1100" RevTimeOut="110" Extra="x")";
    c.modem =
        R"(PortNo="2" BaudRate="921600" FirstChar="1200" RevTimeOut="120" AddedNo="9" CalledNo="5551234")";
    c.tcp = R"(IP="10.1.2.3" Port="6688" FirstChar="1300" RevTimeOut="130")";
    c.udp = R"(IP="10.4.5.6" Port="6689" FirstChar="1400" RevTimeOut="140")";
    c.ports = {{200, "/dev/pts/77"}};
    return c.Xml();
}();

std::string Replaced(std::string text, const std::string& from, const std::string& to) {
    const size_t at = text.find(from);
    EXPECT_NE(at, std::string::npos) << from;
    return at == std::string::npos ? text : text.replace(at, from.size(), to);
}

void Key(QWidget* w, int key, const QString& text = {}) {
    QKeyEvent press(QEvent::KeyPress, key, Qt::NoModifier, text);
    QApplication::sendEvent(w, &press);
    QKeyEvent release(QEvent::KeyRelease, key, Qt::NoModifier, text);
    QApplication::sendEvent(w, &release);
}

void Type(const QString& keys) {
    for (QChar c : keys)
        Key(QApplication::focusWidget(), c.unicode(), QString(c));
}

// Two open dialogs, to run the same steps on each.
std::vector<std::unique_ptr<CDialogBase>> Both(std::unique_ptr<CDialogBase> a,
                                               std::unique_ptr<CDialogBase> b) {
    std::vector<std::unique_ptr<CDialogBase>> both;
    both.push_back(std::move(a));
    both.push_back(std::move(b));
    return both;
}

class SettingsDlgTest : public ::testing::Test {
  protected:
    void Load(const std::string& text) {
        dir.Write("config.xml", text);
        ASSERT_TRUE(config.Load(Path().c_str()));
    }
    std::string Path() const { return (dir.path / "config.xml").string(); }
    std::string OnDisk() const {
        std::ifstream in(Path(), std::ios::binary);
        return {std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>()};
    }
    // The file as a save writes it: the declaration the library writes, a
    // line feed between every two tags.
    static std::string AsSaved(std::string text) {
        text = Replaced(text, "<?xml version=\"1.0\"?>\n", "");
        for (size_t at = text.find("><"); at != std::string::npos; at = text.find("><", at + 2))
            text.insert(at + 1, "\n");
        return "<?xml version=\"1.0\"?>\n" + text;
    }

    // Opens dialog dlg over the store without a modal loop.
    template <class Dlg> std::unique_ptr<Dlg> Open(bool expectShown = true) {
        auto dlg = std::make_unique<Dlg>(nullptr, config);
        EXPECT_EQ(dlg->Create(), expectShown);
        if (expectShown) {
            dlg->activateWindow();
            QApplication::setActiveWindow(dlg.get());
        }
        return dlg;
    }

    TempDir dir;
    CXmlConfig config;
    MessageCapture capture;
};

TEST_F(SettingsDlgTest, EachTemplateHasItsControlsCaptionAndDefaultButton) {
    Load(CONFIG);
    const struct {
        std::unique_ptr<CDialogBase> dlg;
        const char* caption;
        std::vector<int> ids;
        int defaultButton;
    } cases[] = {
        {std::make_unique<CComSetDlg>(nullptr, config),
         "串口通信参数设置",
         {IDC_SET_PORT_LIST, IDC_SET_BAUD, IDC_SET_FIRST_CHAR, IDC_SET_INTER_CHAR},
         IDOK},
        {std::make_unique<CModemSetDlg>(nullptr, config),
         "Modem通信参数设置",
         {IDC_SET_PORT_LIST, IDC_SET_BAUD, IDC_SET_FIRST_CHAR, IDC_SET_INTER_CHAR, IDC_SET_ADDED_NO,
          IDC_SET_CALLED_NO},
         IDOK},
        {std::make_unique<CTcpSetDlg>(nullptr, config),
         "TCP通信参数设置",
         {IDC_SET_IP, IDC_SET_NET_PORT, IDC_SET_FIRST_CHAR, IDC_SET_INTER_CHAR},
         IDCANCEL},
        {std::make_unique<CUdpSetDlg>(nullptr, config),
         "UDP通信参数设置",
         {IDC_SET_IP, IDC_SET_NET_PORT, IDC_SET_FIRST_CHAR, IDC_SET_INTER_CHAR},
         IDCANCEL},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.caption);
        EXPECT_EQ(c.dlg->windowTitle(), QString::fromUtf8(c.caption));
        for (int id : c.ids)
            EXPECT_NE(c.dlg->GetDlgItem(id), nullptr) << id;
        for (int id : {IDOK, IDCANCEL}) {
            auto* button = c.dlg->GetDlgItemAs<QPushButton>(id);
            ASSERT_NE(button, nullptr);
            EXPECT_EQ(button->isDefault(), id == c.defaultButton) << id;
        }
        EXPECT_EQ(c.dlg->font().family(), "宋体");
        EXPECT_EQ(c.dlg->font().pointSize(), 10);
    }
}

TEST_F(SettingsDlgTest, BaudListFollowsTheStoredRate) {
    const struct {
        bool modem;
        const char* stored; // nullptr: no BaudRate at all
        int index;
    } cases[] = {
        {false, "921600", 8}, {false, "300", 0},   {false, "57600", 6}, {false, nullptr, 0},
        {false, "", 0},       {true, "921600", 0}, {true, "115200", 7}, {true, "1200", 4},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(std::string(c.modem ? "modem " : "serial ") + (c.stored ? c.stored : "none"));
        const std::string section = c.modem ? "<Modem " : "<COMPort ";
        std::string xml = Replaced(
            CONFIG, section + (c.modem ? "PortNo=\"2\" " : "PortNo=\"1\" ") + "BaudRate=\"921600\"",
            section + (c.stored ? std::string("BaudRate=\"") + c.stored + "\"" : std::string()));
        Load(xml);
        std::unique_ptr<CDialogBase> dlg;
        if (c.modem)
            dlg = Open<CModemSetDlg>();
        else
            dlg = Open<CComSetDlg>();
        auto* baud = dlg->GetDlgItemAs<QComboBox>(IDC_SET_BAUD);
        ASSERT_NE(baud, nullptr);
        EXPECT_EQ(baud->count(), c.modem ? 8 : 9);
        EXPECT_EQ(baud->itemText(baud->count() - 1), c.modem ? "115200" : "921600");
        EXPECT_EQ(baud->currentIndex(), c.index);
        // The list shows the serial driver's rates, in its order.
        for (int i = 0; i < baud->count(); ++i)
            EXPECT_EQ(baud->itemText(i).toInt(), ComBaudRate(static_cast<unsigned>(i))) << i;
    }
}

TEST_F(SettingsDlgTest, TimeoutsShowTheStoreOrTheDialogsInitialValue) {
    const std::string noFirst = Replaced(
        Replaced(Replaced(Replaced(CONFIG, R"( FirstChar="1100")", ""), R"( FirstChar="1200")", ""),
                 R"( FirstChar="1300")", ""),
        R"( FirstChar="1400")", "");
    Load(noFirst);
    EXPECT_EQ(Open<CComSetDlg>()->GetItemText(IDC_SET_FIRST_CHAR), "1000");
    EXPECT_EQ(Open<CModemSetDlg>()->GetItemText(IDC_SET_FIRST_CHAR), "1000");
    for (auto& dlg : Both(Open<CTcpSetDlg>(), Open<CUdpSetDlg>())) {
        EXPECT_EQ(dlg->GetItemText(IDC_SET_FIRST_CHAR), "0");
        EXPECT_EQ(dlg->GetItemText(IDC_SET_INTER_CHAR),
                  QString(dlg->windowTitle().startsWith("TCP") ? "130" : "140"));
        // OK without changing it is refused by the range check.
        dlg->ClickItem(IDOK);
        EXPECT_TRUE(dlg->isVisible());
    }
    ASSERT_EQ(capture.boxes.size(), 2u);
    EXPECT_EQ(capture.boxes[0].text, "请输入一个介于 1 和 40000 之间的整数。");
    EXPECT_EQ(OnDisk(), noFirst);
}

TEST_F(SettingsDlgTest, SerialOkWritesItsAttributesInOrderAndSavesTheWholeFile) {
    const struct {
        const char* portText;
        const char* portNo;
    } cases[] = {
        {"/dev/pts/77 (COM200)", "200"},
        {"USB Serial (COM12)", "12"},
        {"COM7", ""},
        {"(COM)", ""},
        {"a)b (COM9)", ""},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.portText);
        Load(CONFIG);
        auto dlg = Open<CComSetDlg>();
        auto* ports = dlg->GetDlgItemAs<QComboBox>(IDC_SET_PORT_LIST);
        EXPECT_GE(ports->findText("/dev/pts/77 (COM200)"), 0);
        ports->setEditText(QString::fromUtf8(c.portText));
        dlg->SetCurSel(IDC_SET_BAUD, 7);
        dlg->SetItemText(IDC_SET_FIRST_CHAR, "1");
        dlg->SetItemText(IDC_SET_INTER_CHAR, "40000");
        dlg->ClickItem(IDOK);
        EXPECT_FALSE(dlg->isVisible());
        EXPECT_EQ(dlg->result(), IDOK);
        EXPECT_EQ(dlg->Section().strPortNo, c.portNo);
        EXPECT_EQ(dlg->Section().nBaudRate, 115200);
        EXPECT_EQ(
            OnDisk(),
            AsSaved(Replaced(
                CONFIG,
                R"(<COMPort PortNo="1" BaudRate="921600" FirstChar="1100" RevTimeOut="110" Extra="x"/>)",
                std::string(R"(<COMPort PortNo=")") + c.portNo +
                    R"(" BaudRate="115200" FirstChar="1" RevTimeOut="40000" Extra="x"/>)")));
    }
    EXPECT_TRUE(capture.boxes.empty());
}

TEST_F(SettingsDlgTest, PortListIsSortedAndKeepsTheStoredPortChosen) {
    auto previous = CPortSetDlg::SetPortLister(
        [](std::vector<SerialPortInfo>& ports, const std::vector<PortBinding>&, std::string&) {
            ports.clear();
            for (const char* name : {"b (COM3)", "a (COM12)", "c (COM200)"})
                ports.push_back({"", "", name, false, ""});
            return 0;
        });
    const struct {
        const char* stored;
        int index;
        const char* written;
    } cases[] = {{"3", 1, "3"}, {"200", 2, "200"}, {"99", 0, "12"}, {"", 0, "12"}};
    for (const auto& c : cases) {
        SCOPED_TRACE(c.stored);
        const std::string xml = Replaced(CONFIG, R"(<Modem PortNo="2")",
                                         std::string("<Modem PortNo=\"") + c.stored + "\"");
        Load(xml);
        auto dlg = Open<CModemSetDlg>();
        auto* ports = dlg->GetDlgItemAs<QComboBox>(IDC_SET_PORT_LIST);
        ASSERT_EQ(ports->count(), 3);
        EXPECT_EQ(ports->itemText(0), "a (COM12)");
        EXPECT_EQ(ports->currentIndex(), c.index);
        dlg->ClickItem(IDOK);
        EXPECT_NE(
            OnDisk().find(std::string("<Modem PortNo=\"") + c.written + "\" BaudRate=\"19200\""),
            std::string::npos);
    }
    CPortSetDlg::SetPortLister(previous);
}

TEST_F(SettingsDlgTest, ModemOkWritesTheNumbersAndRefusesAnEmptyCalledNumber) {
    Load(CONFIG);
    auto dlg = Open<CModemSetDlg>();
    EXPECT_EQ(dlg->GetItemText(IDC_SET_ADDED_NO), "9");
    EXPECT_EQ(dlg->GetItemText(IDC_SET_CALLED_NO), "5551234");
    EXPECT_EQ(dlg->GetDlgItemAs<QLineEdit>(IDC_SET_CALLED_NO)->maxLength(), 15);

    dlg->SetItemText(IDC_SET_CALLED_NO, "");
    dlg->ClickItem(IDOK);
    ASSERT_EQ(capture.boxes.size(), 1u);
    EXPECT_EQ(capture.boxes[0].text, "被叫的号码不能为空!");
    EXPECT_EQ(capture.boxes[0].caption, "提示");
    EXPECT_EQ(capture.boxes[0].icon, MB_ICONEXCLAMATION);
    EXPECT_TRUE(dlg->isVisible());
    EXPECT_EQ(QApplication::focusWidget(), dlg->GetDlgItem(IDC_SET_CALLED_NO));
    EXPECT_EQ(OnDisk(), CONFIG);

    dlg->SetItemText(IDC_SET_ADDED_NO, "");
    dlg->SetItemText(IDC_SET_CALLED_NO, "0123456789ABCDE");
    dlg->GetDlgItemAs<QComboBox>(IDC_SET_PORT_LIST)->setEditText("/dev/pts/77 (COM200)");
    dlg->ClickItem(IDOK);
    EXPECT_EQ(dlg->result(), IDOK);
    EXPECT_EQ(dlg->Section().strAddedNo, "");
    EXPECT_EQ(dlg->Section().strCalledNo, "0123456789ABCDE");
    EXPECT_EQ(
        OnDisk(),
        AsSaved(Replaced(
            CONFIG,
            R"(<Modem PortNo="2" BaudRate="921600" FirstChar="1200" RevTimeOut="120" AddedNo="9" CalledNo="5551234"/>)",
            R"(<Modem PortNo="200" BaudRate="19200" FirstChar="1200" RevTimeOut="120" AddedNo="" CalledNo="0123456789ABCDE"/>)")));
}

TEST_F(SettingsDlgTest, BadTimeoutIsNamedFocusedAndNothingWritten) {
    const struct {
        int id;
        const char* text;
        const char* message;
    } cases[] = {
        {IDC_SET_FIRST_CHAR, "0", "请输入一个介于 1 和 40000 之间的整数。"},
        {IDC_SET_FIRST_CHAR, "40001", "请输入一个介于 1 和 40000 之间的整数。"},
        {IDC_SET_FIRST_CHAR, "abc", "请输入一个整数。"},
        {IDC_SET_INTER_CHAR, "", "请输入一个整数。"},
        {IDC_SET_INTER_CHAR, "-5", "请输入一个介于 1 和 40000 之间的整数。"},
    };
    Load(CONFIG);
    for (const auto& c : cases) {
        SCOPED_TRACE(c.text);
        for (auto& dlg : Both(Open<CComSetDlg>(), Open<CTcpSetDlg>())) {
            capture.boxes.clear();
            dlg->SetItemText(c.id, QString::fromUtf8(c.text));
            dlg->ClickItem(IDOK);
            ASSERT_EQ(capture.boxes.size(), 1u);
            EXPECT_EQ(capture.boxes[0].text, QString::fromUtf8(c.message));
            EXPECT_TRUE(dlg->isVisible());
            EXPECT_EQ(dlg->focusWidget(), dlg->GetDlgItem(c.id));
        }
    }
    EXPECT_EQ(OnDisk(), CONFIG);
}

TEST_F(SettingsDlgTest, EnterCancelsTheNetworkDialogsAndConfirmsTheSerialOnes) {
    Load(CONFIG);
    const std::string saved = AsSaved(CONFIG);
    for (auto& dlg : Both(Open<CTcpSetDlg>(), Open<CUdpSetDlg>())) {
        dlg->SetItemText(IDC_SET_NET_PORT, "1");
        dlg->FocusItem(IDC_SET_NET_PORT);
        Key(dlg->GetDlgItem(IDC_SET_NET_PORT), Qt::Key_Return);
        EXPECT_EQ(dlg->result(), IDCANCEL);
        EXPECT_FALSE(dlg->isVisible());
    }
    EXPECT_EQ(OnDisk(), CONFIG);
    for (auto& dlg : Both(Open<CComSetDlg>(), Open<CModemSetDlg>())) {
        dlg->FocusItem(IDC_SET_FIRST_CHAR);
        Key(dlg->GetDlgItem(IDC_SET_FIRST_CHAR), Qt::Key_Return);
        EXPECT_EQ(dlg->result(), IDOK);
    }
    EXPECT_NE(OnDisk(), CONFIG);
    // Also from a typed port name.
    auto com = Open<CComSetDlg>();
    auto* ports = com->GetDlgItemAs<QComboBox>(IDC_SET_PORT_LIST);
    ports->setEditText("/dev/pts/77 (COM200)");
    ports->lineEdit()->setFocus();
    Key(ports->lineEdit(), Qt::Key_Return);
    EXPECT_EQ(com->result(), IDOK);
    EXPECT_NE(OnDisk().find(R"(<COMPort PortNo="200")"), std::string::npos);

    // Cancel writes nothing, also into the document in memory.
    Load(CONFIG);
    auto tcp = Open<CTcpSetDlg>();
    tcp->SetItemText(IDC_SET_NET_PORT, "1");
    tcp->ClickItem(IDCANCEL);
    EXPECT_EQ(tcp->result(), IDCANCEL);
    ASSERT_TRUE(config.Save());
    EXPECT_EQ(OnDisk(), saved);
    EXPECT_TRUE(capture.boxes.empty());
}

TEST_F(SettingsDlgTest, NetworkOkWritesAddressPortAndTimeoutsAsTyped) {
    const struct {
        const char* storedTcp;
        const char* shown[4];
        const char* writtenTcp;
    } cases[] = {
        {R"(<TCP IP="10.1.2.3" Port="6688" FirstChar="1300" RevTimeOut="130"/>)",
         {"10", "1", "2", "3"},
         R"(<TCP IP="10.1.2.3" Port="77x" FirstChar="1300" RevTimeOut="130"/>)"},
        {R"(<TCP IP="1.2" Port="6688" FirstChar="1300" RevTimeOut="130"/>)",
         {"1", "2", "", ""},
         R"(<TCP IP="1.2.0.0" Port="77x" FirstChar="1300" RevTimeOut="130"/>)"},
        {R"(<TCP IP="" Port="6688" FirstChar="1300" RevTimeOut="130"/>)",
         {"", "", "", ""},
         R"(<TCP IP="0.0.0.0" Port="77x" FirstChar="1300" RevTimeOut="130"/>)"},
        {R"(<TCP Port="6688" FirstChar="1300" RevTimeOut="130"/>)",
         {"", "", "", ""},
         R"(<TCP Port="77x" FirstChar="1300" RevTimeOut="130" IP="0.0.0.0"/>)"},
        {R"(<TCP IP="10.0.0.300" Port="6688" FirstChar="1300" RevTimeOut="130"/>)",
         {"10", "0", "0", "44"},
         R"(<TCP IP="10.0.0.44" Port="77x" FirstChar="1300" RevTimeOut="130"/>)"},
    };
    const std::string original =
        R"(<TCP IP="10.1.2.3" Port="6688" FirstChar="1300" RevTimeOut="130"/>)";
    for (const auto& c : cases) {
        SCOPED_TRACE(c.storedTcp);
        const std::string xml = Replaced(CONFIG, original, c.storedTcp);
        Load(xml);
        auto dlg = Open<CTcpSetDlg>();
        auto* ip = dlg->GetDlgItemAs<CIpAddressCtrl>(IDC_SET_IP);
        ASSERT_NE(ip, nullptr);
        for (int i = 0; i < 4; ++i)
            EXPECT_EQ(ip->Field(i)->text(), c.shown[i]) << i;
        EXPECT_EQ(dlg->GetItemText(IDC_SET_NET_PORT), "6688");
        EXPECT_EQ(dlg->GetDlgItemAs<QLineEdit>(IDC_SET_NET_PORT)->maxLength(), 6);
        dlg->SetItemText(IDC_SET_NET_PORT, "77x");
        dlg->ClickItem(IDOK);
        EXPECT_EQ(dlg->result(), IDOK);
        EXPECT_EQ(dlg->Section().strPort, "77x");
        EXPECT_EQ(dlg->Section().nFirstChar, 1300);
        EXPECT_EQ(OnDisk(), AsSaved(Replaced(xml, c.storedTcp, c.writtenTcp)));
    }
}

TEST_F(SettingsDlgTest, MissingSectionStillSavesTheRest) {
    const std::string xml = Replaced(
        CONFIG, "<UDP IP=\"10.4.5.6\" Port=\"6689\" FirstChar=\"1400\" RevTimeOut=\"140\"/>\n", "");
    Load(xml);
    auto udp = Open<CUdpSetDlg>();
    EXPECT_EQ(udp->GetItemText(IDC_SET_NET_PORT), "");
    udp->SetItemText(IDC_SET_FIRST_CHAR, "5");
    udp->SetItemText(IDC_SET_INTER_CHAR, "5");
    udp->ClickItem(IDOK);
    EXPECT_EQ(udp->result(), IDOK);
    EXPECT_EQ(OnDisk(), AsSaved(xml));

    const std::string noCom = Replaced(
        CONFIG,
        R"(<COMPort PortNo="1" BaudRate="921600" FirstChar="1100" RevTimeOut="110" Extra="x"/>
)",
        "");
    Load(noCom);
    auto com = Open<CComSetDlg>();
    EXPECT_EQ(com->GetItemText(IDC_SET_FIRST_CHAR), "1000");
    com->ClickItem(IDOK);
    EXPECT_EQ(com->result(), IDOK);
    EXPECT_EQ(OnDisk(), AsSaved(noCom));
}

TEST_F(SettingsDlgTest, FailedSaveKeepsTheFileTheStoreAndTheDialog) {
    Load(CONFIG);
    auto dlg = Open<CTcpSetDlg>();
    dlg->SetItemText(IDC_SET_NET_PORT, "1234");

    rlimit saved;
    ASSERT_EQ(::getrlimit(RLIMIT_FSIZE, &saved), 0);
    const auto oldHandler = std::signal(SIGXFSZ, SIG_IGN);
    rlimit small = saved;
    small.rlim_cur = 100;
    ASSERT_EQ(::setrlimit(RLIMIT_FSIZE, &small), 0);
    dlg->ClickItem(IDOK);
    ::setrlimit(RLIMIT_FSIZE, &saved);
    std::signal(SIGXFSZ, oldHandler);

    EXPECT_TRUE(dlg->isVisible());
    ASSERT_EQ(capture.boxes.size(), 1u);
    EXPECT_TRUE(capture.boxes[0].text.contains("config.xml"));
    EXPECT_EQ(capture.boxes[0].caption, "错误");
    EXPECT_EQ(OnDisk(), CONFIG);
    // The store holds what the file holds: a later save writes the old port.
    dlg->ClickItem(IDCANCEL);
    ASSERT_TRUE(config.Save());
    EXPECT_EQ(OnDisk(), AsSaved(CONFIG));
}

TEST_F(SettingsDlgTest, NoPortsOrAFailedListingClosesWithoutWriting) {
    const struct {
        int rc;
        const char* error;
        const char* message;
        const char* caption;
    } cases[] = {
        {0, "", "系统中不存在可用的串口!", "警告"},
        {-1, "udev_enumerate_scan_devices failed. (err=c)",
         "udev_enumerate_scan_devices failed. (err=c)", "错误"},
    };
    Load(CONFIG);
    for (const auto& c : cases) {
        SCOPED_TRACE(c.message);
        auto previous =
            CPortSetDlg::SetPortLister([&](std::vector<SerialPortInfo>& ports,
                                           const std::vector<PortBinding>&, std::string& error) {
                ports.clear();
                error = c.error;
                return c.rc;
            });
        capture.boxes.clear();
        Open<CComSetDlg>(false);
        Open<CModemSetDlg>(false);
        CPortSetDlg::SetPortLister(previous);
        ASSERT_EQ(capture.boxes.size(), 2u);
        for (const CapturedBox& box : capture.boxes) {
            EXPECT_EQ(box.text, QString::fromUtf8(c.message));
            EXPECT_EQ(box.caption, QString::fromUtf8(c.caption));
        }
    }
    EXPECT_EQ(OnDisk(), CONFIG);
}

TEST(IpAddressCtrl, TypingMovesFieldByFieldAndBlankReadsZero) {
    CDialogBase host;
    auto* ip = new CIpAddressCtrl(&host);
    host.show();
    QApplication::setActiveWindow(&host);
    ip->Field(0)->setFocus();

    // A third digit moves on, as does "."; a "." in an empty field stays.
    Type("192.");
    EXPECT_EQ(QApplication::focusWidget(), ip->Field(1));
    Type(".");
    EXPECT_EQ(QApplication::focusWidget(), ip->Field(1));
    Type("16.999");
    EXPECT_EQ(ip->Field(2)->text(), "255");
    EXPECT_EQ(QApplication::focusWidget(), ip->Field(3));
    uint8_t f[4] = {1, 1, 1, 1};
    EXPECT_EQ(ip->GetAddress(f[0], f[1], f[2], f[3]), 3);
    EXPECT_EQ(f[0], 192);
    EXPECT_EQ(f[1], 16);
    EXPECT_EQ(f[2], 255);
    EXPECT_EQ(f[3], 0);
    // Letters never get in; Backspace in an empty field goes back.
    Type("a");
    EXPECT_EQ(ip->Field(3)->text(), "");
    Key(ip->Field(3), Qt::Key_Backspace);
    EXPECT_EQ(QApplication::focusWidget(), ip->Field(2));

    ip->SetAddress(0, 1, 2, 3);
    EXPECT_EQ(ip->Field(0)->text(), "0");
    ip->ClearAddress();
    EXPECT_EQ(ip->GetAddress(f[0], f[1], f[2], f[3]), 0);
    EXPECT_EQ(f[0] | f[1] | f[2] | f[3], 0);
}

} // namespace
