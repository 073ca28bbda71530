// The clock of a scripted run checked against ExchangeFrame timed around the
// call: the run reports the worker's stamps from the last request byte
// written to the reply accepted, so its median may not exceed the bare call's.
#include "bench/BenchScript.h"

#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <thread>
#include <vector>

#include "cli/ReplyStats.h"
#include "comm/CommJob.h"
#include "comm/CommThread.h"
#include "comm/NetDriver.h"
#include "protocol/Frame.h"
#include "sim/SimProcess.h"

namespace {

namespace fs = std::filesystem;
using Clock = std::chrono::steady_clock;

constexpr uint8_t MACHINE = 0x01;
constexpr uint8_t CMD_ECHO = 0x10; // the simulator echoes it
constexpr int DATA_LEN = 16;
constexpr int WARMUP = 200;
constexpr int IO_WAIT_MS = 2000;
constexpr int BUF = 512;
constexpr const char* STEP_NAME = "echo";

std::string DataHex() {
    std::string hex;
    char cell[3];
    for (int i = 0; i < DATA_LEN; ++i) {
        std::snprintf(cell, sizeof cell, "%02X", 0xA0 + i);
        hex += cell;
    }
    return hex;
}

// The run's median from its summary line "echo: N, min, median, p95, max".
bool RunScript(const fs::path& script, int port, int n, double& medianMs, std::string& error) {
    const std::string command = (ProgramDir() / "quillmark-cli").string() + " run " +
                                script.string() + " --tcp 127.0.0.1:" + std::to_string(port);
    FILE* out = popen(command.c_str(), "r");
    if (out == nullptr) {
        error = "cannot run quillmark-cli";
        return false;
    }
    std::string text;
    char buf[4096];
    size_t got = 0;
    while ((got = fread(buf, 1, sizeof buf, out)) > 0)
        text.append(buf, got);
    const int status = pclose(out);
    if (status != 0) {
        error = "quillmark-cli run failed:\n" +
                text.substr(text.size() > 2000 ? text.size() - 2000 : 0);
        return false;
    }
    const std::string key = std::string("\n") + STEP_NAME + ": " + std::to_string(n) + ", ";
    const size_t at = text.find(key);
    double min = 0;
    if (at == std::string::npos ||
        std::sscanf(text.c_str() + at + key.size(), "%lf, %lf", &min, &medianMs) != 2) {
        error = "no reply-time summary in the run's output";
        return false;
    }
    return true;
}

} // namespace

bool MeasureScriptReplyTimes(int nExchanges, ScriptFigures& out, std::string& error) {
    char dirName[] = "/tmp/quillmark-bench-script-XXXXXX";
    if (mkdtemp(dirName) == nullptr) {
        error = "mkdtemp";
        return false;
    }
    const fs::path dir = dirName;
    const std::string data = DataHex();
    const fs::path script = dir / "reply-time.toml";
    std::ofstream(script) << "[defaults]\nmachine = " << int{MACHINE} << "\n[[step]]\nname = \""
                          << STEP_NAME << "\"\nexchange = \"10\"\n"
                          << "data = \"" << data << "\"\nexpect_status = 0\nexpect_data = \""
                          << data << "\"\nrepeat = " << nExchanges << "\n";
    bool ok = false;
    {
        SimProcess sim({"--tcp", "127.0.0.1:0", "--no-udp"}, dir);
        const int port = sim.Port("tcp");
        double scriptMs = 0;
        if (port < 0) {
            error = "quillmark-sim did not start";
        } else if (RunScript(script, port, nExchanges, scriptMs, error)) {
            int sock = NO_SOCKET;
            if (TcpConnect("127.0.0.1", port, IO_WAIT_MS, sock) != 0) {
                error = "TcpConnect to the simulator";
            } else {
                uint8_t bytes[DATA_LEN];
                for (int i = 0; i < DATA_LEN; ++i)
                    bytes[i] = static_cast<uint8_t>(0xA0 + i);
                std::vector<double> times;
                ok = true;
                for (int i = 0; ok && i < WARMUP + nExchanges; ++i) {
                    uint8_t buf[BUF];
                    const int len = BuildFrame(MACHINE, CMD_ECHO, bytes, DATA_LEN, buf);
                    const auto t0 = Clock::now();
                    const int got = ExchangeFrame(sock, buf, BUF, len, IO_WAIT_MS, IO_WAIT_MS,
                                                  CH_TCP, nullptr, 0);
                    const double us =
                        std::chrono::duration<double, std::micro>(Clock::now() - t0).count();
                    if (got != FRAME_OVERHEAD + DATA_LEN) {
                        error = "ExchangeFrame returned " + std::to_string(got);
                        ok = false;
                    } else if (i >= WARMUP) {
                        times.push_back(us);
                    }
                }
                TcpClose(sock);
                if (ok) {
                    out.nExchanges = nExchanges;
                    out.dScriptMedianUs = scriptMs * 1000.0;
                    out.dExchangeMedianUs = NearestRankMedian(std::move(times));
                }
            }
        }
    }
    std::error_code ec;
    fs::remove_all(dir, ec);
    return ok;
}
