// quillmark-cli end to end: the tool against the simulator over a
// pseudo-terminal, TCP and UDP on 127.0.0.1, both run as processes.
#include <gtest/gtest.h>

#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <poll.h>
#include <pty.h>
#include <signal.h>
#include <spawn.h>
#include <sys/file.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <memory>
#include <random>
#include <string>
#include <thread>
#include <vector>

#include "CliE2e.h"
#include "LoopbackPeer.h"
#include "RunProgram.h"
#include "TempDir.h"
#include "sim/SimProcess.h"

namespace {

namespace fs = std::filesystem;
using Clock = std::chrono::steady_clock;

RunResult Cli(const std::vector<std::string>& args) {
    return Run("quillmark-cli", args);
}

// ---- offline subcommands ---------------------------------------------

TEST(CliOffline, PrintsResults) {
    struct Case {
        std::vector<std::string> args;
        std::string out;
    };
    const Case cases[] = {
        {{"crc", "313233343536373839"}, "8C35\n"},
        {{"crc", ""}, "C78C\n"},
        {{"crc", "c0ffe40000"}, "C28C\n"},
        {{"frame", "--machine", "1", "--cmd", "10"}, "C0 01 10 00 00 C0 09 C1\n"},
        {{"frame", "--machine", "255", "--cmd", "e4"}, VERSION_SENT},
        {{"frame", "--machine", "255", "--cmd", "24", "--data", "FF"},
         "C0 FF 24 00 01 FF EB 6B C1\n"},
        // Sixteen cells a line, as the send window shows them.
        {{"frame", "--machine", "1", "--cmd", "10", "--data", "0102030405060708090A0B0C0D0E0F1011"},
         "C0 01 10 00 11 01 02 03 04 05 06 07 08 09 0A 0B\n0C 0D 0E 0F 10 11 E8 70 C1\n"},
        {{"des", "enc", "--key", "133457799BBCDFF1", "--data", "0123456789ABCDEF"},
         "85E813540F0AB405\n"},
        {{"des", "dec", "--key", "133457799bbcdff1", "--data", "85e813540f0ab405"},
         "0123456789ABCDEF\n"},
        // Equal halves reduce two-key triple DES to single DES.
        {{"3des", "enc", "--key", "133457799BBCDFF1133457799BBCDFF1", "--data", "0123456789ABCDEF"},
         "85E813540F0AB405\n"},
        {{"3des", "enc", "--key", "0123456789ABCDEFFEDCBA9876543210", "--data", "0123456789ABCDEF"},
         "1A4D672DCA6CB335\n"},
        {{"3des", "dec", "--key", "0123456789ABCDEFFEDCBA9876543210", "--data", "1A4D672DCA6CB335"},
         "0123456789ABCDEF\n"},
    };
    for (const Case& c : cases) {
        const RunResult r = Cli(c.args);
        EXPECT_EQ(r.status, 0) << c.args[0] << " " << c.args[1] << "\n" << r.err;
        EXPECT_EQ(r.out, c.out) << c.args[0] << " " << c.args[1];
    }
}

TEST(CliOffline, RefusesBadArgumentsWithStatus2) {
    const std::string data289(578, 'A');
    struct Case {
        std::vector<std::string> args;
        std::string err; // a piece of the message
    };
    const Case cases[] = {
        {{}, "subcommand"},
        {{"crc", "12G4"}, "第3个字符不是合法的16进制字符"},
        {{"crc", "ABC"}, "奇数个"},
        {{"frame", "--machine", "1", "--cmd", "1"}, "请输入2位合法的16进制字符"},
        {{"frame", "--machine", "1", "--cmd", "1G"}, "请输入2位合法的16进制字符"},
        {{"frame", "--machine", "256", "--cmd", "10"}, "--machine"},
        {{"frame", "--machine", "1", "--cmd", "10", "--data", "00 1"}, "第3个字符"},
        {{"frame", "--machine", "1", "--cmd", "10", "--data", data289}, "576"},
        {{"des", "enc", "--key", "1334577", "--data", "0123456789ABCDEF"}, "奇数个"},
        {{"des", "enc", "--key", "13345779", "--data", "0123456789ABCDEF"}, "16 hex digits"},
        {{"3des", "enc", "--key", "133457799BBCDFF1", "--data", "0123456789ABCDEF"},
         "32 hex digits"},
        {{"des", "sign", "--key", "133457799BBCDFF1", "--data", "0123456789ABCDEF"}, "sign"},
        {{"exchange", "--machine", "1", "--cmd", "10"}, "[--serial,--tcp,--udp] is required"},
        {{"exchange", "--machine", "1", "--cmd", "10", "--tcp", "127.0.0.1:1", "--udp",
          "127.0.0.1:2"},
         "2 were given"},
        {{"exchange", "--machine", "1", "--cmd", "10", "--tcp", "localhost:6688"}, "ADDR:PORT"},
        {{"exchange", "--machine", "1", "--cmd", "10", "--tcp", "127.0.0.1:70000"}, "ADDR:PORT"},
        {{"exchange", "--machine", "1", "--cmd", "10", "--serial", "ttyS0"}, "COM1-COM255"},
        {{"exchange", "--machine", "1", "--cmd", "10", "--serial", "COM1", "--baud", "12345"},
         "12345"},
        {{"exchange", "--machine", "1", "--cmd", "10", "--tcp", "127.0.0.1:1", "--baud", "9600"},
         "--serial"},
        {{"exchange", "--machine", "1", "--cmd", "10", "--tcp", "127.0.0.1:1", "--first-char", "0"},
         "--first-char"},
        {{"diag", "reboot", "--tcp", "127.0.0.1:1"}, "reboot"},
        {{"raw", "--hex", "00", "--text", "x", "--tcp", "127.0.0.1:1"}, "excludes"},
        {{"raw", "--no-receive", "--tcp", "127.0.0.1:1"}, "--hex or --text"},
        {{"pub", "set-id", "--id", "12G45678", "--tcp", "127.0.0.1:1"},
         "ID号(HEX):第3个字符不是合法的16进制字符"},
        {{"pub", "set-id", "--id", "1234567", "--tcp", "127.0.0.1:1"},
         "请输入合法的4字节ID号(十六进制表示)!"},
        {{"pub", "read-type", "--machine", "0", "--tcp", "127.0.0.1:1"},
         "机号: 请填入一个1和255之间的整数"},
        {{"pub", "set-rate", "--rate", "38400", "--tcp", "127.0.0.1:1"}, "38400"},
        {{"download", "x.bin", "--machine", "0", "--tcp", "127.0.0.1:1"}, "--machine"},
    };
    for (const Case& c : cases) {
        const RunResult r = Cli(c.args);
        const std::string what = c.args.empty() ? "(none)" : c.args[0];
        EXPECT_EQ(r.status, 2) << what << "\n" << r.out << r.err;
        EXPECT_NE(r.err.find(c.err), std::string::npos) << what << ": " << r.err;
        EXPECT_EQ(r.out, "") << what;
    }
}

TEST(CliOffline, EveryMalformedAddressExits2) {
    const char* const addresses[] = {
        "127.000.0.1", "127.0.0.01", "010.0.0.1", "1.2.3",      "1.2.3.4.5",
        "1.2.3.256",   "1..2.3",     "1.2.3.",    ".1.2.3",     "1.2.3.-4",
        "1.2.3.+4",    " 1.2.3.4",   "1.2.3.4 ",  "0x7f.0.0.1", "",
    };
    for (const char* addr : addresses) {
        SCOPED_TRACE(std::string("\"") + addr + "\"");
        const std::string endpoint = std::string(addr) + ":6688";
        for (const char* option : {"--tcp", "--udp"}) {
            const RunResult r =
                Cli({"exchange", "--machine", "1", "--cmd", "10", option, endpoint});
            EXPECT_EQ(r.status, 2) << option << "\n" << r.err;
            EXPECT_NE(r.err.find("ADDR:PORT"), std::string::npos) << option << ": " << r.err;
        }
        const RunResult local = Cli({"exchange", "--machine", "1", "--cmd", "10", "--udp",
                                     "127.0.0.1:6688", "--udp-local", addr});
        EXPECT_EQ(local.status, 2) << local.err;
        EXPECT_EQ(local.out, "");
    }
}

TEST(CliOffline, HelpExitsWith0) {
    for (const char* sub :
         {"crc", "frame", "des", "3des", "ports", "exchange", "diag", "raw", "pub", "download"}) {
        const RunResult r = Cli({sub, "--help"});
        EXPECT_EQ(r.status, 0) << sub;
        EXPECT_NE(r.out.find("Usage"), std::string::npos) << sub;
    }
    const RunResult pub = Cli({"pub", "--help"});
    for (const char* name :
         {"set-id", "read-id", "query", "set-machine", "read-type", "read-version", "set-rate"})
        EXPECT_NE(pub.out.find(name), std::string::npos) << name;
}

TEST(CliOffline, PortsListsFriendlyNamesEndingInTheComName) {
    const RunResult r = Cli({"ports"});
    if (r.status == 1) {
        EXPECT_NE(r.err.find("系统中不存在可用的串口!"), std::string::npos) << r.err;
        return;
    }
    ASSERT_EQ(r.status, 0) << r.err;
    std::istringstream lines(r.out);
    std::string line;
    int count = 0;
    while (std::getline(lines, line)) {
        ++count;
        const size_t open = line.rfind(" (COM");
        ASSERT_NE(open, std::string::npos) << line;
        EXPECT_EQ(line.back(), ')') << line;
    }
    EXPECT_GT(count, 0);
}

TEST(CliChannelOpen, ReportsAPortThatCannotBeOpened) {
    TempDir dir;
    const std::string missing = (dir.path / "no-such-tty").string();
    const RunResult r = Cli({"exchange", "--machine", "1", "--cmd", "10", "--serial", missing});
    EXPECT_EQ(r.status, 1);
    EXPECT_NE(r.err.find("失败,请检查该串口是否已被占用!"), std::string::npos) << r.err;
    EXPECT_NE(r.err.find(missing), std::string::npos) << r.err;
}

// The system's reason follows the console's text, with a hint for the two
// causes users hit most.
TEST(CliChannelOpen, ShowsTheSystemsReasonForAFailedOpen) {
    TempDir dir;
    const std::string file = (dir.path / "not-a-tty").string();
    WriteFile(file, "x");
    const std::string missing = (dir.path / "no-such-tty").string();
    int master = -1;
    int slave = -1;
    char held[128] = {};
    ASSERT_EQ(openpty(&master, &slave, held, nullptr, nullptr), 0);
    // Another program's hold on the port, as flock refuses it even to root.
    ASSERT_EQ(flock(slave, LOCK_EX | LOCK_NB), 0);

    struct Case {
        std::string device;
        const char* reason;
        const char* hint; // nullptr: no hint line
    };
    const Case cases[] = {
        {missing, "(No such file or directory)", nullptr},
        {file, "(Inappropriate ioctl for device)", nullptr},
        {held, "(Resource temporarily unavailable)", "已被另一个程序占用"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.device);
        const RunResult r =
            Cli({"exchange", "--machine", "1", "--cmd", "10", "--serial", c.device});
        EXPECT_EQ(r.status, 1);
        const std::string first = r.err.substr(0, r.err.find('\n'));
        EXPECT_NE(first.find("失败,请检查该串口是否已被占用! (" + c.device + ") " + c.reason),
                  std::string::npos)
            << r.err;
        EXPECT_EQ(r.err.find("提示") != std::string::npos, c.hint != nullptr) << r.err;
        if (c.hint != nullptr) {
            EXPECT_NE(r.err.find(c.hint), std::string::npos) << r.err;
        }
    }
    close(slave);
    close(master);
}

// Root opens any file; a refused open needs another user.
TEST(CliChannelOpen, PermissionDeniedHintsAtTheDialoutGroup) {
    if (geteuid() != 0 || access("/usr/bin/setpriv", X_OK) != 0)
        GTEST_SKIP() << "needs root and setpriv to run the tool as nobody";
    TempDir dir;
    const std::string file = (dir.path / "ttyLocked").string();
    WriteFile(file, "");
    ASSERT_EQ(chmod(file.c_str(), 0600), 0);
    const RunResult r = RunAsNobody(
        "quillmark-cli", {"exchange", "--machine", "1", "--cmd", "10", "--serial", "./ttyLocked"},
        dir.path);
    EXPECT_EQ(r.status, 1);
    EXPECT_NE(r.err.find("(Permission denied)"), std::string::npos) << r.err;
    EXPECT_NE(r.err.find("dialout"), std::string::npos) << r.err;
}

// A connect refused until the time-out: the console's text, then the reason
// of the last attempt.
TEST(CliChannelOpen, ShowsTheReasonOfAFailedConnect) {
    const std::string peer = "127.0.0.1:" + std::to_string(ClosedPort());

    const RunResult r = Cli({"exchange", "--machine", "1", "--cmd", "10", "--tcp", peer});
    EXPECT_EQ(r.status, 1);
    EXPECT_NE(r.err.find("建立连接不成功,超时退出 (Connection refused)"), std::string::npos)
        << r.err;
}

// A USB adapter pulled while the tool waits for the reply: the pty's master
// closes once the request is in.
TEST(CliChannelOpen, DeviceThatVanishesEndsTheRunWithStatus1) {
    int master = -1;
    int slave = -1;
    ASSERT_EQ(openpty(&master, &slave, nullptr, nullptr, nullptr), 0);
    // The tool must not inherit the master, or closing it here hangs nothing up.
    fcntl(master, F_SETFD, FD_CLOEXEC);
    fcntl(slave, F_SETFD, FD_CLOEXEC);
    const std::string path = ttyname(slave);
    RunResult r;
    const auto t0 = Clock::now();
    std::thread tool([&] {
        r = Cli({"diag", "version", "--serial", path, "--first-char", "5000"});
    });
    std::string request;
    pollfd p{master, POLLIN, 0};
    while (request.size() < 8 && poll(&p, 1, 5000) == 1) {
        char b[64];
        const ssize_t n = read(master, b, sizeof b);
        if (n <= 0)
            break;
        request.append(b, static_cast<size_t>(n));
    }
    close(master);
    tool.join();
    close(slave);
    EXPECT_EQ(request.size(), 8u);
    EXPECT_EQ(r.status, 1) << r.out << r.err;
    EXPECT_NE(r.out.find(Status("接收数据错!", -2)), std::string::npos) << r.out;
    EXPECT_NE(r.err.find(path), std::string::npos) << r.err;
    EXPECT_LT(std::chrono::duration_cast<std::chrono::milliseconds>(Clock::now() - t0).count(),
              5000);
}

// ---- replies ----------------------------------------------------------

struct ReplyCase {
    std::vector<std::string> args;
    std::string out;
    int status;
};

TEST(CliReplies, EveryReplyKindOnEveryLine) {
    Sim sim({});
    ASSERT_TRUE(sim.Ready());
    const ReplyCase cases[] = {
        {{"diag", "version"}, VERSION_GOOD, 0},
        {{"diag", "reader-id"},
         "C0 FF E1 00 00 29 7C C1\nC2 FF 00 00 05\n12 34 56 78 01\nDC 90 C3\n\n"
         "成功获取读写器终端ID，读写器与PC直接连接正常！\n\n" +
             Status("接收成功!", 13),
         0},
        {{"diag", "power-on"},
         "C0 FF 03 00 00 E7 2D C1\nC2 FF 00 00 0D\n3B 69 00 00 51 75 69 6C 6C 6D 61 72 6B\n"
         "6C 93 C3\n\n卡片上电成功，读写器与探针板连接正常！\n\n" +
             Status("接收成功!", 21),
         0},
        {{"diag", "power-off"},
         "C0 FF 07 00 00 3B ED C1\nC2 FF 00 00 00\nFA FE C3\n\n卡片下电成功！\n\n" +
             Status("接收成功!", 8),
         0},
        // Any other command is echoed; the reply carries the addressed number.
        {{"exchange", "--machine", "1", "--cmd", "10", "--data", "0102"},
         "C0 01 10 00 02 01 02 FA 6E C1\nC2 01 00 00 02\n01 02\n9E D7 C3\n\n" +
             Status("接收成功!", 10),
         0},
        {{"exchange", "--machine", "255", "--cmd", "10"},
         "C0 FF 10 00 00 FD 1E C1\nC2 FF 00 00 00\nFA FE C3\n\n" + Status("接收成功!", 8),
         0},
        // Seventeen data bytes: a second data line of one cell.
        {{"exchange", "--machine", "1", "--cmd", "10", "--data",
          "0102030405060708090A0B0C0D0E0F1011"},
         "C0 01 10 00 11 01 02 03 04 05 06 07 08 09 0A 0B\n0C 0D 0E 0F 10 11 E8 70 C1\n"
         "C2 01 00 00 11\n01 02 03 04 05 06 07 08 09 0A 0B 0C 0D 0E 0F 10\n11\n58 93 C3\n\n" +
             Status("接收成功!", 25),
         0},
    };
    for (Line line : LINES) {
        for (const ReplyCase& c : cases) {
            const RunResult r = sim.Cli(line, c.args);
            EXPECT_EQ(r.out, c.out) << LINE_NAMES[line] << " " << c.args[0] << " " << c.args[1];
            EXPECT_EQ(r.status, c.status) << LINE_NAMES[line] << " " << c.args[1] << r.err;
        }
    }
}

TEST(CliReplies, AnotherMachineNumberGetsNoReplyAndACardlessPowerOnItsVerdict) {
    Sim sim({"--card", "absent"});
    ASSERT_TRUE(sim.Ready());
    const RunResult off = sim.Cli(LINE_TCP, {"exchange", "--machine", "2", "--cmd", "10"});
    EXPECT_EQ(off.out,
              "C0 02 10 00 00 5B D5 C1\n" + NO_RESPONSE + Status("终端机无反应，接收失败!", -6));
    EXPECT_EQ(off.status, 1);
    const RunResult on = sim.Cli(LINE_PTY, {"diag", "power-on"});
    EXPECT_EQ(on.out, "C0 FF 03 00 00 E7 2D C1\nC2 FF 00 00 01\n01\n93 45 C3\n\n"
                      "未发现卡片或不可识别卡，请检查读写器与探针板连接！\n\n" +
                          Status("接收成功!", 9));
    EXPECT_EQ(on.status, 0);
}

// ---- faults -----------------------------------------------------------

// What the console shows for each fault: the serial reader keeps an
// acknowledgement in front and checks every byte; the TCP reader reads an
// acknowledgement over; the UDP reader takes the datagram within F + I as
// it stands and joins at most one more to a short one.
const FaultCase FAULTS[] = {
    {"ack", {"--fault", "ack"}, {ACK_GOOD, VERSION_GOOD, ACK_GOOD}, {0, 0, 0}},
    {"ack_split", {"--fault", "ack-split"}, {ACK_GOOD, VERSION_GOOD, UDP_TIMEOUT}, {0, 0, 1}},
    // 1.5 s: past F (1 s) on the byte streams, inside F + I (2 s) on UDP.
    {"first_delay",
     {"--fault", "first-delay", "--first-delay", "1500"},
     {TIMEOUT, TIMEOUT, VERSION_GOOD},
     {1, 1, 0}},
    {"bad_crc",
     {"--fault", "bad-crc"},
     {CRC_ERROR, CRC_ERROR,
      VERSION_SENT + "C2 FF 00 00 06\n03 01 24 05 17 10\nBC B1 C3\n\n" + VERSION_VERDICT +
          Status("接收成功!", 14)},
     {1, 1, 0}},
    {"bad_end",
     {"--fault", "bad-end"},
     {VERSION_SENT + Status("接收数据错!", -2),
      VERSION_SENT + Status("非Tavoframe88格式数据包!", -10),
      VERSION_SENT + "C2 FF 00 00 06\n03 01 24 05 17 10\nBC 4E 00\n\n" + VERSION_VERDICT +
          Status("接收成功!", 14)},
     {1, 1, 0}},
    // Accepted as a frame: its dump and the send-side line text, no verdict.
    {"transfer_error",
     {"--fault", "transfer-error"},
     {VERSION_SENT + "C2 FF CE 00 01\nE6\n0F 72 C3\n\n通信线路异常，PC数据发送传输错误！\n\n" +
          Status("接收成功!", 9),
      VERSION_SENT + "C2 FF CE 00 01\nE6\n0F 72 C3\n\n通信线路异常，PC数据发送传输错误！\n\n" +
          Status("接收成功!", 9),
      VERSION_SENT + "C2 FF CE 00 01\nE6\n0F 72 C3\n\n通信线路异常，PC数据发送传输错误！\n\n" +
          Status("接收成功!", 9)},
     {0, 0, 0}},
    {"silent", {"--fault", "silent"}, {TIMEOUT, TIMEOUT, UDP_TIMEOUT}, {1, 1, 1}},
    {"close",
     {"--fault", "close"},
     {TIMEOUT, VERSION_SENT + NO_RESPONSE + Status("终端机无反应，接收失败!", -15), UDP_TIMEOUT},
     {1, 1, 1}},
    // A refusal is a frame like any other for the receive window.
    {"status",
     {"--fault", "status", "--status", "AC"},
     {VERSION_SENT + "C2 FF AC 00 00\n32 03 C3\n\n" + VERSION_VERDICT + Status("接收成功!", 8),
      VERSION_SENT + "C2 FF AC 00 00\n32 03 C3\n\n" + VERSION_VERDICT + Status("接收成功!", 8),
      VERSION_SENT + "C2 FF AC 00 00\n32 03 C3\n\n" + VERSION_VERDICT + Status("接收成功!", 8)},
     {0, 0, 0}},
    {"garbage",
     {"--fault", "garbage"},
     {VERSION_GOOD, VERSION_GOOD,
      VERSION_SENT + "55 AA 00 C2 FF\n00 00 06 03 01 24 05 17 10\nBC 4E C3\n\n" + VERSION_VERDICT +
          Status("接收成功!", 17)},
     {0, 0, 0}},
};

INSTANTIATE_TEST_SUITE_P(All, CliFaults, testing::ValuesIn(FAULTS),
                         [](const testing::TestParamInfo<FaultCase>& info) {
                             return std::string(info.param.name);
                         });

TEST(CliFaults, AFaultForOneCommandLeavesTheOthersAlone) {
    Sim sim({"--fault", "silent:E1"});
    ASSERT_TRUE(sim.Ready());
    EXPECT_EQ(sim.Cli(LINE_TCP, {"diag", "version"}).out, VERSION_GOOD);
    const RunResult r = sim.Cli(LINE_TCP, {"diag", "reader-id"}, {"--first-char", "300"});
    EXPECT_EQ(r.status, 1);
    EXPECT_NE(r.out.find(Status("终端机无反应，接收失败!", -6)), std::string::npos) << r.out;
}

// ---- raw --------------------------------------------------------------

TEST(CliRaw, SendsBytesAndDumpsWhatArrives) {
    Sim sim({});
    ASSERT_TRUE(sim.Ready());
    // Short quiet time: the dump ends once the line has been silent 100 ms.
    const std::vector<std::string> quick = {"--inter-char", "100"};
    for (Line line : LINES) {
        const RunResult frame = sim.Cli(line, {"raw", "--hex", "c0ffe40000c28cc1"}, quick);
        EXPECT_EQ(frame.out, VERSION_SENT + "C2 FF 00 00 06 03 01 24 05 17 10 BC 4E C3    000F\n" +
                                 Status("接收成功!", 14))
            << LINE_NAMES[line];
        EXPECT_EQ(frame.status, 0) << LINE_NAMES[line];

        // A 28-byte echo: a full line and the offset of the next.
        const RunResult echo = sim.Cli(line,
                                       {"raw", "--hex",
                                        "C001100014000102030405060708090A0B0C0D0E0F10111213"
                                        "DC0DC1"},
                                       quick);
        EXPECT_EQ(echo.status, 0) << LINE_NAMES[line] << echo.out;
        EXPECT_NE(echo.out.find("C2 01 00 00 14 00 01 02 03 04 05 06 07 08 09 0A    000F\n"
                                "0B 0C 0D 0E 0F 10 11 12 13 "),
                  std::string::npos)
            << LINE_NAMES[line] << echo.out;
        EXPECT_NE(echo.out.find(" C3    001F\n" + Status("接收成功!", 28)), std::string::npos)
            << LINE_NAMES[line] << echo.out;

        // Text with a carriage return, which the terminal does not answer.
        const RunResult text = sim.Cli(line, {"raw", "--text", "hi", "--cr"},
                                       {"--first-char", "300", "--inter-char", "100"});
        const std::string nothing =
            line == LINE_UDP ? Status("接收数据超时!", -4) : Status("没有数据!", 0);
        EXPECT_EQ(text.out, "68 69 0D\n" + nothing) << LINE_NAMES[line];
        EXPECT_EQ(text.status, 1) << LINE_NAMES[line];

        const RunResult sendOnly =
            sim.Cli(line, {"raw", "--hex", "C0FFE40000C28CC1", "--no-receive"});
        EXPECT_EQ(sendOnly.out, VERSION_SENT) << LINE_NAMES[line];
        EXPECT_EQ(sendOnly.status, 0) << LINE_NAMES[line];
    }
}

// ---- public commands ----------------------------------------------------

TEST(CliPub, CommandsShowFieldsAndMessagesAndChangeTheTerminal) {
    Sim sim({});
    ASSERT_TRUE(sim.Ready());
    const ReplyCase cases[] = {
        {{"pub", "read-id"}, "ID号(HEX): 12345678\n低位ID号: 78\n设备机号: 1\n", 0},
        {{"pub", "query", "--low-id", "78"},
         "ID号(HEX): 12345678\n设备机号: 1\n机器类型: 3,1\n程序版本: 2024年05月17日10时\n",
         0},
        {{"pub", "read-type", "--machine", "1"},
         "机器类型: 3,1\n程序版本: 2024年05月17日10时\n",
         0},
        {{"pub", "read-version", "--machine", "1"}, "程序完成时间: 2024年06月03日09时\n", 0},
        {{"pub", "set-rate", "--machine", "1", "--rate", "57600"},
         "修改终端设备通信波特率成功!\n",
         0},
        {{"pub", "set-id", "--id", "0a0b0c0d"}, "设置设备ID号成功!\n", 0},
        {{"pub", "read-id"}, "ID号(HEX): 0A0B0C0D\n低位ID号: 0D\n设备机号: 1\n", 0},
        {{"pub", "set-machine", "--id", "0A0B0C0D", "--machine", "7"}, "设置机号成功!\n", 0},
        {{"pub", "read-version", "--machine", "7"}, "程序完成时间: 2024年06月03日09时\n", 0},
    };
    const Line lines[] = {LINE_TCP, LINE_PTY, LINE_UDP};
    int i = 0;
    for (const ReplyCase& c : cases) {
        // Spread the sequence over the lines: the terminal's memory is shared.
        const Line line = lines[i++ % 3];
        const RunResult r = sim.Cli(line, c.args);
        EXPECT_EQ(r.out, c.out) << LINE_NAMES[line] << " " << c.args[1];
        EXPECT_EQ(r.status, c.status) << c.args[1] << r.err;
    }
    // The old machine number no longer answers.
    const RunResult gone =
        sim.Cli(LINE_TCP, {"pub", "read-type", "--machine", "1"}, {"--first-char", "300"});
    EXPECT_EQ(gone.out, "终端机无反应，接收失败!\n");
    EXPECT_EQ(gone.status, 1);
}

// A reply 1.5 s late: inside the dialog's 3 s, which the help names as the
// default, and past every other subcommand's 1 s.
TEST(CliPub, WaitsTheDialogsTimeOut) {
    Sim sim({"--fault", "first-delay:E4", "--first-delay", "1500"});
    ASSERT_TRUE(sim.Ready());
    const RunResult r = sim.Cli(LINE_TCP, {"pub", "read-type", "--machine", "1"});
    EXPECT_EQ(r.out, "机器类型: 3,1\n程序版本: 2024年05月17日10时\n");
    EXPECT_EQ(r.status, 0) << r.err;
}

TEST(CliPub, RefusalsAndDamagedRepliesShowTheDialogsMessages) {
    Sim status({"--fault", "status:E1", "--fault", "bad-crc:E5"});
    ASSERT_TRUE(status.Ready());
    const RunResult refused = status.Cli(LINE_PTY, {"pub", "read-id"});
    EXPECT_EQ(refused.out, "接收数据出错!\n");
    EXPECT_EQ(refused.status, 1);
    const RunResult damaged = status.Cli(LINE_TCP, {"pub", "read-version", "--machine", "1"});
    EXPECT_EQ(damaged.out, "数据校验错误!\n");
    EXPECT_EQ(damaged.status, 1);
}

// ---- download ---------------------------------------------------------

std::string RandomBytes(size_t n, unsigned seed) {
    std::mt19937 gen(seed);
    std::string s(n, '\0');
    for (char& c : s)
        c = static_cast<char>(gen() & 0xFF);
    return s;
}

class CliDownload : public testing::TestWithParam<Line> {};

TEST_P(CliDownload, ImagesArriveByteForByte) {
    const Line line = GetParam();
    Sim sim({});
    ASSERT_TRUE(sim.Ready());
    for (size_t size : {size_t{0}, size_t{128}, size_t{300}, size_t{512}, size_t{61440}}) {
        const fs::path file = sim.Dir() / ("image-" + std::to_string(size) + ".bin");
        const std::string bytes = RandomBytes(size, static_cast<unsigned>(size));
        WriteFile(file, bytes);
        fs::remove(sim.Image());
        const RunResult r = sim.Cli(line, {"download", file.string(), "--machine", "1"});
        EXPECT_EQ(r.status, 0) << size << r.out << r.err;
        // Plain progress lines (not a terminal), 0 % to 100 %, then the outcome.
        EXPECT_EQ(r.out.rfind("下载进度 0%\n", 0), 0u) << size << r.out;
        EXPECT_NE(r.out.find("下载进度 100%\n下载程序成功\n"), std::string::npos) << size;
        ASSERT_TRUE(fs::exists(sim.Image())) << size;
        EXPECT_TRUE(ReadFile(sim.Image()) == bytes) << size;
    }
}

INSTANTIATE_TEST_SUITE_P(Lines, CliDownload, testing::ValuesIn(LINES),
                         [](const testing::TestParamInfo<Line>& info) {
                             return std::string(LINE_NAMES[info.param]);
                         });

TEST(CliDownloadOutcome, ProgressOfThreeBlocksAndTheByteSum) {
    Sim sim({});
    ASSERT_TRUE(sim.Ready());
    const fs::path file = sim.Dir() / "300.bin";
    WriteFile(file, RandomBytes(300, 7));
    const RunResult r = sim.Cli(LINE_TCP, {"download", file.string(), "--machine", "1"});
    EXPECT_EQ(r.out, "下载进度 0%\n下载进度 25%\n下载进度 50%\n下载进度 75%\n下载进度 100%\n"
                     "下载程序成功\n");
    EXPECT_EQ(r.status, 0);
}

TEST(CliDownloadOutcome, FailuresReportTheirOutcome) {
    Sim sim({});
    ASSERT_TRUE(sim.Ready());
    const fs::path big = sim.Dir() / "big.bin";
    WriteFile(big, RandomBytes(61441, 1));

    // Too large: refused before the terminal hears of it.
    const RunResult over = sim.Cli(LINE_PTY, {"download", big.string(), "--machine", "1"});
    EXPECT_EQ(over.out, "下载程序失败，返回错误代码 -17\n");
    EXPECT_EQ(over.status, 1);
    EXPECT_EQ(sim.Log().find("RX pty"), std::string::npos) << sim.Log();

    // Missing: found after the start step.
    const RunResult missing =
        sim.Cli(LINE_TCP, {"download", (sim.Dir() / "none.bin").string(), "--machine", "1"});
    EXPECT_EQ(missing.out, "下载程序失败，返回错误代码 -10\n");
    EXPECT_EQ(missing.status, 1);

    // A machine number nobody answers: the 6 s step time-out (UDP would
    // wait F + I and report -4).
    const fs::path small = sim.Dir() / "small.bin";
    WriteFile(small, RandomBytes(200, 2));
    const auto start = Clock::now();
    const RunResult silent = sim.Cli(LINE_PTY, {"download", small.string(), "--machine", "9"});
    EXPECT_EQ(silent.out, "下载程序失败，终端无响应,请检查机号是否正确!\n");
    EXPECT_EQ(silent.status, 1);
    EXPECT_GE(Clock::now() - start, std::chrono::milliseconds(5900));
    EXPECT_FALSE(fs::exists(sim.Image()));
}

TEST(CliDownloadOutcome, ANonZeroStatusIsTheErrorCode) {
    Sim sim({"--fault", "status:03", "--status", "AC"});
    ASSERT_TRUE(sim.Ready());
    const fs::path file = sim.Dir() / "300.bin";
    WriteFile(file, RandomBytes(300, 3));
    const RunResult r = sim.Cli(LINE_PTY, {"download", file.string(), "--machine", "1"});
    EXPECT_EQ(r.out, "下载进度 0%\n下载程序失败，返回错误代码 172\n");
    EXPECT_EQ(r.status, 1);
    EXPECT_FALSE(fs::exists(sim.Image()));
}

} // namespace
