#pragma once

// Starts build/bin/quillmark-sim as a child process on a pseudo-terminal and
// on loopback TCP and UDP ports of the system's choice, for the tests and the benchmarks that talk
// to the terminal through a real socket. Header only, POSIX.

#include <fcntl.h>
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

extern char** environ;

class CSimLauncher {
  public:
    // Starts the simulator from the folder of the running program with the
    // extra options (faults, card); waits up to 5 s for its ports.
    explicit CSimLauncher(const std::vector<std::string>& extra = {}) {
        namespace fs = std::filesystem;
        char name[] = "/tmp/quillmark-sim-XXXXXX";
        m_dir = mkdtemp(name) ? name : "";
        const std::string portFile = m_dir + "/ports";
        m_log = m_dir + "/sim.log";
        std::vector<std::string> args = {"--pty",       "--tcp",       "127.0.0.1:0", "--udp",
                                         "127.0.0.1:0", "--port-file", portFile};
        args.insert(args.end(), extra.begin(), extra.end());
        const std::string path =
            (fs::read_symlink("/proc/self/exe").parent_path() / "quillmark-sim").string();
        std::vector<char*> argv{const_cast<char*>(path.c_str())};
        for (const std::string& a : args)
            argv.push_back(const_cast<char*>(a.c_str()));
        argv.push_back(nullptr);
        posix_spawn_file_actions_t actions;
        posix_spawn_file_actions_init(&actions);
        posix_spawn_file_actions_addopen(&actions, STDOUT_FILENO, m_log.c_str(),
                                         O_WRONLY | O_CREAT | O_TRUNC, 0644);
        if (m_dir.empty() ||
            posix_spawn(&m_pid, path.c_str(), &actions, nullptr, argv.data(), environ) != 0)
            m_pid = -1;
        posix_spawn_file_actions_destroy(&actions);

        // The port file names every line once all are open.
        const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(5);
        while (m_pid > 0 && !Ready() && std::chrono::steady_clock::now() < deadline) {
            std::this_thread::sleep_for(std::chrono::milliseconds(10));
            ReadPorts(portFile);
        }
    }

    ~CSimLauncher() {
        if (m_pid > 0) {
            kill(m_pid, SIGTERM);
            waitpid(m_pid, nullptr, 0);
        }
        std::error_code ec;
        if (!m_dir.empty())
            std::filesystem::remove_all(m_dir, ec);
    }
    CSimLauncher(const CSimLauncher&) = delete;
    CSimLauncher& operator=(const CSimLauncher&) = delete;

    bool Ready() const { return tcpPort > 0 && udpPort > 0 && !ptyPath.empty(); }
    // The simulator's log so far: one line per frame ("RX tcp C0 ...").
    std::string Log() const { return Read(m_log); }
    // Lines of the log that begin with prefix.
    int CountLines(const std::string& prefix) const {
        std::istringstream log(Log());
        int n = 0;
        for (std::string line; std::getline(log, line);)
            if (line.rfind(prefix, 0) == 0)
                ++n;
        return n;
    }

    // config.xml of a console that talks to this simulator: TCP on its port,
    // COM number SIM_COM on its pseudo-terminal, both with these time-outs.
    static constexpr int SIM_COM = 200;
    std::string ConsoleConfig(int firstChar = 1000, int interChar = 300) const {
        const std::string timeouts = "FirstChar=\"" + std::to_string(firstChar) +
                                     "\" RevTimeOut=\"" + std::to_string(interChar) + "\"";
        return "<?xml version=\"1.0\" encoding=\"UTF-8\"?>\n<Quillmark>\n<COMPort PortNo=\"" +
               std::to_string(SIM_COM) + "\" BaudRate=\"19200\" " + timeouts +
               "/>\n<Modem PortNo=\"2\" BaudRate=\"19200\" FirstChar=\"1000\" "
               "RevTimeOut=\"1000\" AddedNo=\"\" CalledNo=\"\"/>\n<TCP IP=\"127.0.0.1\" Port=\"" +
               std::to_string(tcpPort) + "\" " + timeouts + "/>\n<UDP IP=\"127.0.0.1\" Port=\"" +
               std::to_string(udpPort) +
               "\" FirstChar=\"1000\" RevTimeOut=\"1000\"/>\n<Ports><Port No=\"" +
               std::to_string(SIM_COM) + "\" Device=\"" + ptyPath + "\"/></Ports>\n</Quillmark>\n";
    }

    int tcpPort = 0;
    int udpPort = 0;
    std::string ptyPath; // the serial line, a pseudo-terminal

  private:
    void ReadPorts(const std::string& portFile) {
        std::istringstream ports(Read(portFile));
        std::string kind;
        std::string value;
        while (ports >> kind >> value) {
            if (kind == "tcp")
                tcpPort = std::atoi(value.c_str());
            else if (kind == "udp")
                udpPort = std::atoi(value.c_str());
            else if (kind == "pty")
                ptyPath = value;
        }
    }

    static std::string Read(const std::string& path) {
        std::ifstream in(path, std::ios::binary);
        std::ostringstream s;
        s << in.rdbuf();
        return s.str();
    }

    std::string m_dir;
    std::string m_log;
    pid_t m_pid = -1;
};
