#pragma once

// Starts quillmark-sim as a child process, for the tests and the benchmarks
// that talk to the terminal through real lines. Header only, POSIX.

#include <fcntl.h>
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

extern char** environ;

// The folder of the running program, where the programs it runs lie.
inline std::filesystem::path ProgramDir() {
    return std::filesystem::read_symlink("/proc/self/exe").parent_path();
}

// The simulator program run for a test or a benchmark. It writes the lines it opened to a
// port file and its log (standard output) to a file, both in dir, or its log
// to stdoutFd when one is given. It ends when this program ends, however this
// program ends: it watches a pipe whose write end only this process holds
// (close-on-exec, so no other program started here inherits it), and the
// kernel closes that end with the last descriptor of this process.
class SimProcess {
  public:
    SimProcess(const std::vector<std::string>& args, const std::filesystem::path& dir,
               int stdoutFd = -1)
        : m_portFile(dir / "ports"), m_logFile(dir / "sim.log") {
        const std::string program = (ProgramDir() / "quillmark-sim").string();
        std::vector<std::string> all = {program};
        all.insert(all.end(), args.begin(), args.end());
        all.insert(all.end(), {"--port-file", m_portFile.string()});
        int parent[2] = {-1, -1};
        if (pipe2(parent, O_CLOEXEC) != 0)
            return;
        all.insert(all.end(), {"--parent-fd", std::to_string(parent[0])});
        std::vector<char*> argv;
        for (std::string& a : all)
            argv.push_back(a.data());
        argv.push_back(nullptr);
        posix_spawn_file_actions_t actions;
        posix_spawn_file_actions_init(&actions);
        // A dup2 onto itself clears close-on-exec for the child alone.
        posix_spawn_file_actions_adddup2(&actions, parent[0], parent[0]);
        if (stdoutFd >= 0)
            posix_spawn_file_actions_adddup2(&actions, stdoutFd, STDOUT_FILENO);
        else
            posix_spawn_file_actions_addopen(&actions, STDOUT_FILENO, m_logFile.c_str(),
                                             O_WRONLY | O_CREAT | O_TRUNC, 0600);
        if (posix_spawn(&m_pid, program.c_str(), &actions, nullptr, argv.data(), environ) != 0)
            m_pid = -1;
        posix_spawn_file_actions_destroy(&actions);
        close(parent[0]);
        m_parentFd = parent[1];
    }

    // Asks it to stop, and kills it when it has not within 2 s.
    ~SimProcess() {
        if (m_parentFd >= 0)
            close(m_parentFd);
        if (Ended())
            return;
        kill(m_pid, SIGTERM);
        if (Wait(2000) == TIMED_OUT) {
            kill(m_pid, SIGKILL);
            waitpid(m_pid, nullptr, 0);
        }
    }
    SimProcess(const SimProcess&) = delete;
    SimProcess& operator=(const SimProcess&) = delete;

    // What the port file says of kind ("pty", "tcp", "udp"), waiting up to
    // 5 s for it; empty when it never says or the program ended.
    std::string Line(const std::string& kind) {
        const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(5);
        while (std::chrono::steady_clock::now() < deadline) {
            std::istringstream in(ReadAll(m_portFile));
            std::string k;
            std::string value;
            while (in >> k >> value) {
                if (k == kind)
                    return value;
            }
            if (Ended())
                return {};
            std::this_thread::sleep_for(std::chrono::milliseconds(10));
        }
        return {};
    }

    // The port of a "tcp" or "udp" line, or -1.
    int Port(const std::string& kind) {
        const std::string value = Line(kind);
        return value.empty() ? -1 : std::stoi(value);
    }

    static constexpr int TIMED_OUT = -2;

    pid_t Pid() const { return m_pid; }

    // Sends SIGTERM and waits.
    int Stop() {
        if (!Ended())
            kill(m_pid, SIGTERM);
        return Wait();
    }

    // The exit status; -1 when it did not start or died of a signal,
    // TIMED_OUT when it did not end within ms.
    int Wait(int ms = 3000) {
        const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(ms);
        while (!Ended()) {
            if (std::chrono::steady_clock::now() >= deadline)
                return TIMED_OUT;
            std::this_thread::sleep_for(std::chrono::milliseconds(10));
        }
        return m_status;
    }

    std::string Log() const { return ReadAll(m_logFile); }

    // Waits up to ms for text to appear in the log file.
    bool WaitForLog(const std::string& text, int ms = 5000) const {
        const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(ms);
        while (Log().find(text) == std::string::npos) {
            if (std::chrono::steady_clock::now() >= deadline)
                return false;
            std::this_thread::sleep_for(std::chrono::milliseconds(20));
        }
        return true;
    }

    // Processor time used so far (user + system), in clock ticks.
    long CpuTicks() const {
        std::istringstream in(ReadAll("/proc/" + std::to_string(m_pid) + "/stat"));
        std::string field;
        // Fields 14 and 15; the command in field 2 has no spaces here.
        for (int i = 1; i < 14 && in >> field; ++i) {
        }
        long user = 0;
        long system = 0;
        in >> user >> system;
        return user + system;
    }

  private:
    static std::string ReadAll(const std::filesystem::path& path) {
        std::ifstream in(path, std::ios::binary);
        std::ostringstream s;
        s << in.rdbuf();
        return s.str();
    }

    // True once the program has ended; its exit status is then in m_status.
    bool Ended() {
        if (m_pid <= 0)
            return true;
        int status = 0;
        if (waitpid(m_pid, &status, WNOHANG) != m_pid)
            return false;
        m_pid = -1;
        m_status = WIFEXITED(status) ? WEXITSTATUS(status) : -1;
        return true;
    }

    std::filesystem::path m_portFile;
    std::filesystem::path m_logFile;
    pid_t m_pid = -1;
    int m_status = -1;
    int m_parentFd = -1; // the write end of the simulator's parent pipe
};
