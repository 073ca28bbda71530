#pragma once

#include <filesystem>
#include <string>
#include <vector>

#include "RunProgram.h"
#include "TempDir.h"
#include "sim/SimProcess.h"

// The simulator on a pty, TCP and UDP (ports of the system's choice), with
// extra options, and quillmark-cli runs over any of its lines. Its log and
// its files lie in a scratch folder of its own.
class SimLines {
  public:
    explicit SimLines(std::vector<std::string> extra) : m_proc(Args(std::move(extra)), m_dir.path) {
        m_pty = m_proc.Line("pty");
        const std::string tcp = m_proc.Line("tcp");
        const std::string udp = m_proc.Line("udp");
        m_tcp = tcp.empty() ? "" : "127.0.0.1:" + tcp;
        m_udp = udp.empty() ? "" : "127.0.0.1:" + udp;
    }

    bool Ready() const { return !m_pty.empty() && !m_tcp.empty() && !m_udp.empty(); }

    // The channel options of line: "pty", "tcp" or "udp".
    std::vector<std::string> Channel(const std::string& line) const {
        if (line == "pty")
            return {"--serial", m_pty};
        if (line == "tcp")
            return {"--tcp", m_tcp};
        return {"--udp", m_udp, "--udp-local", "127.0.0.1"};
    }

    // quillmark-cli run SCRIPT over line, then extra arguments.
    RunResult Run(const std::filesystem::path& script, const std::string& line,
                  const std::vector<std::string>& extra = {}) const {
        std::vector<std::string> args = {"run", script.string()};
        const std::vector<std::string> ch = Channel(line);
        args.insert(args.end(), ch.begin(), ch.end());
        args.insert(args.end(), extra.begin(), extra.end());
        return ::Run("quillmark-cli", args);
    }

    int Stop() { return m_proc.Stop(); }
    std::string Log() const { return m_proc.Log(); }
    const std::filesystem::path& Dir() const { return m_dir.path; }
    void Write(const std::string& name, const std::string& text) const { m_dir.Write(name, text); }

  private:
    static std::vector<std::string> Args(std::vector<std::string> extra) {
        std::vector<std::string> args = {"--pty", "--tcp", "127.0.0.1:0", "--udp", "127.0.0.1:0"};
        args.insert(args.end(), extra.begin(), extra.end());
        return args;
    }

    TempDir m_dir;
    SimProcess m_proc;
    std::string m_pty;
    std::string m_tcp;
    std::string m_udp;
};
