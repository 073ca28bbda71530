#pragma once

// The simulator on a pseudo-terminal and on loopback TCP and UDP ports of the
// system's choice, with the config.xml of a console that talks to it.

#include <cstdlib>
#include <filesystem>
#include <memory>
#include <sstream>
#include <string>
#include <vector>

#include "sim/ConsoleConfigXml.h"
#include "sim/SimProcess.h"

// config.xml of a console that talks to a simulator on these lines: TCP on
// tcpPort, COM number CSimLauncher::SIM_COM on ptyPath, both with these
// time-outs.
std::string SimConsoleConfig(int tcpPort, int udpPort, const std::string& ptyPath,
                             int firstChar = 1000, int interChar = 300);

class CSimLauncher {
  public:
    // Starts the simulator with the extra options (faults, card); waits up
    // to 5 s for its lines.
    explicit CSimLauncher(const std::vector<std::string>& extra = {}) {
        char name[] = "/tmp/quillmark-sim-XXXXXX";
        if (mkdtemp(name) == nullptr)
            return;
        m_dir = name;
        std::vector<std::string> args = {"--pty", "--tcp", "127.0.0.1:0", "--udp", "127.0.0.1:0"};
        args.insert(args.end(), extra.begin(), extra.end());
        m_sim = std::make_unique<SimProcess>(args, m_dir);
        ptyPath = m_sim->Line("pty");
        tcpPort = m_sim->Port("tcp");
        udpPort = m_sim->Port("udp");
    }

    ~CSimLauncher() {
        m_sim.reset();
        std::error_code ec;
        if (!m_dir.empty())
            std::filesystem::remove_all(m_dir, ec);
    }
    CSimLauncher(const CSimLauncher&) = delete;
    CSimLauncher& operator=(const CSimLauncher&) = delete;

    bool Ready() const { return tcpPort > 0 && udpPort > 0 && !ptyPath.empty(); }
    // The simulator's log so far: one line per frame ("RX tcp C0 ...").
    std::string Log() const { return m_sim ? m_sim->Log() : std::string(); }
    // Lines of the log that begin with prefix.
    int CountLines(const std::string& prefix) const {
        std::istringstream log(Log());
        int n = 0;
        for (std::string line; std::getline(log, line);)
            if (line.rfind(prefix, 0) == 0)
                ++n;
        return n;
    }

    static constexpr int SIM_COM = 200;
    // config.xml of a console that talks to this simulator (SimConsoleConfig).
    std::string ConsoleConfig(int firstChar = 1000, int interChar = 300) const;

    int tcpPort = 0;
    int udpPort = 0;
    std::string ptyPath; // the serial line, a pseudo-terminal

  private:
    std::filesystem::path m_dir;
    std::unique_ptr<SimProcess> m_sim;
};

inline std::string SimConsoleConfig(int tcpPort, int udpPort, const std::string& ptyPath,
                                    int firstChar, int interChar) {
    const std::string timeouts = "FirstChar=\"" + std::to_string(firstChar) + "\" RevTimeOut=\"" +
                                 std::to_string(interChar) + "\"";
    ConsoleConfigXml cfg;
    cfg.com =
        "PortNo=\"" + std::to_string(CSimLauncher::SIM_COM) + "\" BaudRate=\"19200\" " + timeouts;
    cfg.tcp = "IP=\"127.0.0.1\" Port=\"" + std::to_string(tcpPort) + "\" " + timeouts;
    cfg.udp = "IP=\"127.0.0.1\" Port=\"" + std::to_string(udpPort) +
              "\" FirstChar=\"1000\" RevTimeOut=\"1000\"";
    cfg.ports = {{CSimLauncher::SIM_COM, ptyPath}};
    return cfg.Xml();
}

inline std::string CSimLauncher::ConsoleConfig(int firstChar, int interChar) const {
    return SimConsoleConfig(tcpPort, udpPort, ptyPath, firstChar, interChar);
}
