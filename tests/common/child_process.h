// A program run as a child process of a test.
#pragma once

#include <fcntl.h>
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <filesystem>
#include <map>
#include <string>
#include <vector>

#include "wait_until.h"

extern char **environ;

namespace testutil {

// Standard output and error go to unnamed temporary files that can be read
// whole at any time, even while the child runs and however much it writes;
// standard input is /dev/null. A child still running when the object goes
// is killed and reaped.
class ChildProcess {
  public:
    // argv[0] is the program's path; `env` adds to or replaces variables of
    // this process's environment.
    explicit ChildProcess(std::vector<std::string> argv,
                          const std::map<std::string, std::string> &env = {})
        : out_(capture_file()), err_(capture_file()) {
        std::map<std::string, std::string> all;
        for (char **e = environ; *e != nullptr; ++e) {
            std::string kv = *e;
            size_t eq = kv.find('=');
            if (eq != std::string::npos)
                all[kv.substr(0, eq)] = kv.substr(eq + 1);
        }
        for (const auto &[k, v] : env)
            all[k] = v;
        std::vector<std::string> envs;
        for (const auto &[k, v] : all)
            envs.push_back(k + "=" + v);
        std::vector<char *> envp;
        for (auto &s : envs)
            envp.push_back(s.data());
        envp.push_back(nullptr);
        std::vector<char *> args;
        for (auto &a : argv)
            args.push_back(a.data());
        args.push_back(nullptr);

        posix_spawn_file_actions_t actions;
        posix_spawn_file_actions_init(&actions);
        posix_spawn_file_actions_addopen(&actions, 0, "/dev/null", O_RDONLY, 0);
        posix_spawn_file_actions_adddup2(&actions, out_, 1);
        posix_spawn_file_actions_adddup2(&actions, err_, 2);
        if (out_ < 0 || err_ < 0 ||
            posix_spawn(&pid_, args[0], &actions, nullptr, args.data(), envp.data()) != 0)
            pid_ = -1;
        posix_spawn_file_actions_destroy(&actions);
    }
    ~ChildProcess() {
        if (running()) {
            kill(pid_, SIGKILL);
            waitpid(pid_, nullptr, 0);
        }
        close(out_);
        close(err_);
    }
    ChildProcess(const ChildProcess &) = delete;
    ChildProcess &operator=(const ChildProcess &) = delete;

    bool started() const { return pid_ > 0; }
    pid_t pid() const { return pid_; }
    bool running() const { return pid_ > 0 && status_ == kRunning; }
    void signal(int sig) {
        if (running())
            kill(pid_, sig);
    }
    // The exit status (128 + the signal for a killed child), or -1 when it
    // is still running at the deadline.
    int wait(std::chrono::milliseconds limit = std::chrono::seconds(60)) {
        wait_until([this] { return !running() || reap(); }, limit);
        return status_ == kRunning ? -1 : status_;
    }
    // True when the child has ended now; it is reaped.
    bool reap() {
        int status = 0;
        if (pid_ <= 0 || waitpid(pid_, &status, WNOHANG) != pid_)
            return false;
        status_ = WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
        return true;
    }
    std::string out() const { return read_all(out_); }
    std::string err() const { return read_all(err_); }

  private:
    static constexpr int kRunning = -1000;

    static int capture_file() {
        return open(std::filesystem::temp_directory_path().c_str(), O_TMPFILE | O_RDWR | O_CLOEXEC,
                    0600);
    }
    static std::string read_all(int fd) {
        std::string text;
        char chunk[4096];
        for (off_t at = 0;;) {
            ssize_t n = pread(fd, chunk, sizeof chunk, at);
            if (n <= 0)
                break;
            text.append(chunk, static_cast<size_t>(n));
            at += n;
        }
        return text;
    }

    pid_t pid_ = -1;
    int status_ = kRunning;
    int out_;
    int err_;
};

}  // namespace testutil
