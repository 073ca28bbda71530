#pragma once

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <filesystem>
#include <sstream>
#include <string>
#include <utility>
#include <vector>

#include "TempDir.h"
#include "sim/SimProcess.h"

// Runs the programs beside the test with their output captured.

// Every tool run is killed after this; the slowest (a 6 s silent download)
// stays well inside it.
constexpr int RUN_KILL_MS = 20000;

struct RunResult {
    int status = -1; // exit status; -1 killed or crashed
    std::string out;
    std::string err;
};

// Runs a program with its output captured, in workDir when one is given;
// kills it after killMs.
inline RunResult Run(const std::string& program, const std::vector<std::string>& args,
                     int killMs = RUN_KILL_MS, const std::filesystem::path& workDir = {}) {
    RunResult r;
    int outPipe[2];
    int errPipe[2];
    if (pipe2(outPipe, O_CLOEXEC) != 0 || pipe2(errPipe, O_CLOEXEC) != 0)
        return r;
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_adddup2(&actions, outPipe[1], STDOUT_FILENO);
    posix_spawn_file_actions_adddup2(&actions, errPipe[1], STDERR_FILENO);
    if (!workDir.empty())
        posix_spawn_file_actions_addchdir_np(&actions, workDir.c_str());
    const std::string path = (ProgramDir() / program).string();
    std::vector<char*> argv{const_cast<char*>(path.c_str())};
    for (const std::string& a : args)
        argv.push_back(const_cast<char*>(a.c_str()));
    argv.push_back(nullptr);
    pid_t pid = -1;
    const int rc = posix_spawn(&pid, path.c_str(), &actions, nullptr, argv.data(), environ);
    posix_spawn_file_actions_destroy(&actions);
    close(outPipe[1]);
    close(errPipe[1]);
    if (rc != 0) {
        close(outPipe[0]);
        close(errPipe[0]);
        return r;
    }

    const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(killMs);
    pollfd fds[2] = {{outPipe[0], POLLIN, 0}, {errPipe[0], POLLIN, 0}};
    std::string* sinks[2] = {&r.out, &r.err};
    int open = 2;
    bool killed = false;
    while (open > 0) {
        const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
                              deadline - std::chrono::steady_clock::now())
                              .count();
        if (left <= 0) {
            kill(pid, SIGKILL);
            killed = true;
            break;
        }
        if (poll(fds, 2, static_cast<int>(left)) < 0)
            break;
        for (int i = 0; i < 2; ++i) {
            if (fds[i].fd < 0 || fds[i].revents == 0)
                continue;
            char buf[4096];
            const ssize_t n = read(fds[i].fd, buf, sizeof buf);
            if (n > 0) {
                sinks[i]->append(buf, static_cast<size_t>(n));
            } else {
                close(fds[i].fd);
                fds[i].fd = -1;
                --open;
            }
        }
    }
    for (const pollfd& p : fds)
        if (p.fd >= 0)
            close(p.fd);
    int wstatus = 0;
    waitpid(pid, &wstatus, 0);
    if (!killed && WIFEXITED(wstatus))
        r.status = WEXITSTATUS(wstatus);
    return r;
}

// Runs a program beside the test as user nobody (through setpriv, so the
// caller must be root) from a copy in dir: the program, the dynamic loader
// and every library the loader finds for it are copied into dir, dir is
// opened to everyone, and the copied loader runs the copied program with dir
// as working folder and library path. As nobody, no path outside dir is
// looked up, so the step does not depend on which folders of the machine
// nobody may search (a checkout under /root, a root folder made with mode
// 0700). Arguments that name files name them relative to dir. Status -1,
// with the reason in err, when the copy cannot be made.
inline RunResult RunAsNobody(const std::string& program, const std::vector<std::string>& args,
                             const std::filesystem::path& dir) {
    namespace fs = std::filesystem;
    RunResult failed;
    std::error_code ec;
    const fs::path original = ProgramDir() / program;
    std::vector<std::pair<fs::path, std::string>> copies = {{original, program}};
    // ldd names each library "name => /path (address)" and the loader "/path (address)".
    const RunResult listed = Run("/usr/bin/ldd", {original.string()});
    std::istringstream lines(listed.out);
    std::string loader;
    for (std::string line; std::getline(lines, line);) {
        const size_t arrow = line.find("=> ");
        const size_t start = arrow == std::string::npos ? line.find('/') : arrow + 3;
        if (start == std::string::npos || line.compare(start, 1, "/") != 0)
            continue; // the kernel's vDSO, which has no file
        const fs::path file = line.substr(start, line.find(" (", start) - start);
        if (arrow == std::string::npos) {
            loader = file.filename().string();
            copies.emplace_back(file, loader);
        } else {
            const size_t name = line.find_first_not_of(" \t");
            copies.emplace_back(file, line.substr(name, line.find(' ', name) - name));
        }
    }
    for (const auto& [from, name] : copies) {
        if (!fs::copy_file(from, dir / name, fs::copy_options::overwrite_existing, ec)) {
            failed.err = "cannot copy " + from.string() + " into " + dir.string() + ": " +
                         ec.message() + "\n" + listed.out + listed.err;
            return failed;
        }
    }
    fs::permissions(dir, fs::perms(0755));
    std::vector<std::string> all = {"--reuid=nobody", "--regid=nogroup", "--clear-groups"};
    if (!loader.empty())
        all.insert(all.end(), {"./" + loader, "--library-path", "."});
    all.push_back("./" + program);
    all.insert(all.end(), args.begin(), args.end());
    return Run("/usr/bin/setpriv", all, RUN_KILL_MS, dir);
}
