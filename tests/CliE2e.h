#pragma once

#include <gtest/gtest.h>

#include <filesystem>
#include <memory>
#include <ostream>
#include <string>
#include <vector>

#include "RunProgram.h"
#include "TempDir.h"
#include "sim/SimProcess.h"

// quillmark-cli against the simulator on its three lines, and the fault
// cases run on each, shared by the end-to-end tests and their timing cases.

enum Line { LINE_PTY, LINE_TCP, LINE_UDP };
constexpr Line LINES[] = {LINE_PTY, LINE_TCP, LINE_UDP};
const char* const LINE_NAMES[] = {"pty", "tcp", "udp"};

// The simulator on all three lines, its log and saved image in a scratch
// folder.
class Sim {
  public:
    explicit Sim(const std::vector<std::string>& extra)
        : m_image(m_dir.path / "image.out"), m_proc(Args(extra, m_image), m_dir.path),
          m_pty(m_proc.Line("pty")), m_tcp(Address(m_proc.Line("tcp"))),
          m_udp(Address(m_proc.Line("udp"))) {}

    bool Ready() const { return !m_pty.empty() && !m_tcp.empty() && !m_udp.empty(); }

    // The channel options of a line; UDP binds loopback, not the adapter.
    std::vector<std::string> Channel(Line line) const {
        switch (line) {
        case LINE_PTY:
            return {"--serial", m_pty};
        case LINE_TCP:
            return {"--tcp", m_tcp};
        default:
            return {"--udp", m_udp, "--udp-local", "127.0.0.1"};
        }
    }

    // The CLI with args, then the channel options of line, then tail.
    RunResult Cli(Line line, std::vector<std::string> args,
                  const std::vector<std::string>& tail = {}) const {
        const std::vector<std::string> ch = Channel(line);
        args.insert(args.end(), ch.begin(), ch.end());
        args.insert(args.end(), tail.begin(), tail.end());
        return Run("quillmark-cli", args);
    }

    std::string Log() const { return m_proc.Log(); }
    const std::filesystem::path& Image() const { return m_image; }
    const std::filesystem::path& Dir() const { return m_dir.path; }

  private:
    static std::vector<std::string> Args(const std::vector<std::string>& extra,
                                         const std::filesystem::path& image) {
        std::vector<std::string> args = {"--pty",       "--tcp",        "127.0.0.1:0", "--udp",
                                         "127.0.0.1:0", "--save-image", image.string()};
        args.insert(args.end(), extra.begin(), extra.end());
        return args;
    }
    static std::string Address(const std::string& port) {
        return port.empty() ? port : "127.0.0.1:" + port;
    }

    TempDir m_dir;
    std::filesystem::path m_image;
    SimProcess m_proc;
    std::string m_pty;
    std::string m_tcp;
    std::string m_udp;
};

// ---- texts the console shows -----------------------------------------

const std::string VERSION_SENT = "C0 FF E4 00 00 C2 8C C1\n";
const std::string ACK_LINE = "确认包：C2 FF AC 00 01 54 3C 51 C3\n";
const std::string VERSION_REPLY = "C2 FF 00 00 06\n03 01 24 05 17 10\nBC 4E C3\n\n";
const std::string VERSION_VERDICT = "成功获取读写器固件版本，读写器与PC直接连接正常！\n\n";
const std::string NO_RESPONSE = "\n读写器终端机无反应，请检查\n1、PC和读写器之间的物理连接；\n"
                                "2、端口选择是否正确!\n";

inline std::string Status(const std::string& text, int value) {
    return "状态: " + text + " (" + std::to_string(value) + ")\n";
}

const std::string VERSION_GOOD =
    VERSION_SENT + VERSION_REPLY + VERSION_VERDICT + Status("接收成功!", 14);

// ---- faults -----------------------------------------------------------

struct FaultCase {
    const char* name;
    std::vector<std::string> sim; // the simulator's fault options
    std::string out[3];           // on pty, tcp, udp
    int status[3];
    std::vector<std::string> udpSim = {}; // other options for the UDP line, when given
};

inline std::ostream& operator<<(std::ostream& os, const FaultCase& c) {
    return os << c.name;
}

const std::string TIMEOUT = VERSION_SENT + NO_RESPONSE + Status("终端机无反应，接收失败!", -6);
const std::string UDP_TIMEOUT = VERSION_SENT + Status("接收数据超时!", -4);
const std::string CRC_ERROR =
    VERSION_SENT + "通信线路异常，PC数据接收传输错误！\n\n" + Status("数据校验错误!", -9);
const std::string ACK_GOOD =
    VERSION_SENT + ACK_LINE + VERSION_REPLY + VERSION_VERDICT + Status("接收成功!", 23);

class CliFaults : public testing::TestWithParam<FaultCase> {};

TEST_P(CliFaults, ShowDumpStatusAndExitStatusOnEveryLine) {
    const FaultCase& c = GetParam();
    Sim sim(c.sim);
    ASSERT_TRUE(sim.Ready());
    std::unique_ptr<Sim> udpSim;
    if (!c.udpSim.empty()) {
        udpSim = std::make_unique<Sim>(c.udpSim);
        ASSERT_TRUE(udpSim->Ready());
    }
    for (Line line : LINES) {
        const Sim& s = line == LINE_UDP && udpSim ? *udpSim : sim;
        const RunResult r = s.Cli(line, {"diag", "version"});
        EXPECT_EQ(r.out, c.out[line]) << LINE_NAMES[line];
        EXPECT_EQ(r.status, c.status[line]) << LINE_NAMES[line] << r.err;
    }
}
