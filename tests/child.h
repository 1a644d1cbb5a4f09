// A child process of the built program whose output the test reads as it comes, for runs too long
// or too large to collect whole: an endless input, a file of several GiB.
#pragma once

#include <fcntl.h>
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <string>
#include <thread>
#include <vector>

extern char** environ;

namespace mirzet::test {

// A scratch directory, removed with everything in it.
class ScratchDir {
  public:
    ScratchDir() {
        const char* base = std::getenv("TMPDIR");
        std::string pattern =
            std::string(base != nullptr && *base != '\0' ? base : "/tmp") + "/mirzet-faults-XXXXXX";
        if (mkdtemp(pattern.data()) != nullptr) dir_ = pattern;
    }
    ~ScratchDir() {
        std::error_code ignored;
        if (!dir_.empty()) std::filesystem::remove_all(dir_, ignored);
    }
    ScratchDir(const ScratchDir&) = delete;
    ScratchDir& operator=(const ScratchDir&) = delete;
    bool ok() const { return !dir_.empty(); }
    std::string path(const std::string& name) const { return dir_ + "/" + name; }

  private:
    std::string dir_;
};

// The program running on one argument, its standard input /dev/null, its standard output the
// descriptor given. Killed and reaped on destruction if still there.
class Child {
  public:
    Child(const std::string& program, const std::string& argument, int output) {
        posix_spawn_file_actions_t actions;
        posix_spawn_file_actions_init(&actions);
        posix_spawn_file_actions_addopen(&actions, 0, "/dev/null", O_RDONLY, 0);
        posix_spawn_file_actions_adddup2(&actions, output, 1);
        // A shell's filter starts with SIGPIPE at its default, whatever the test runner did.
        posix_spawnattr_t attributes;
        posix_spawnattr_init(&attributes);
        sigset_t defaults;
        sigemptyset(&defaults);
        sigaddset(&defaults, SIGPIPE);
        posix_spawnattr_setsigdefault(&attributes, &defaults);
        sigset_t none;
        sigemptyset(&none);
        posix_spawnattr_setsigmask(&attributes, &none);
        posix_spawnattr_setflags(&attributes, POSIX_SPAWN_SETSIGDEF | POSIX_SPAWN_SETSIGMASK);
        std::vector<char*> argv = {const_cast<char*>(program.c_str()),
                                   const_cast<char*>(argument.c_str()), nullptr};
        if (posix_spawn(&pid_, program.c_str(), &actions, &attributes, argv.data(), environ) != 0)
            pid_ = -1;
        posix_spawn_file_actions_destroy(&actions);
        posix_spawnattr_destroy(&attributes);
    }
    ~Child() {
        if (pid_ > 0 && !reaped_) {
            kill(pid_, SIGKILL);
            waitpid(pid_, &status_, 0);
        }
    }
    Child(const Child&) = delete;
    Child& operator=(const Child&) = delete;

    pid_t pid() const { return pid_; }
    bool started() const { return pid_ > 0; }

    // Waits up to `limit` for the child to end; false when it is still running.
    bool wait_for(std::chrono::milliseconds limit) {
        const auto deadline = std::chrono::steady_clock::now() + limit;
        while (!reaped_) {
            const pid_t done = waitpid(pid_, &status_, WNOHANG);
            if (done == pid_) {
                reaped_ = true;
                break;
            }
            if (done == -1 && errno != EINTR) return false;
            if (std::chrono::steady_clock::now() > deadline) return false;
            std::this_thread::sleep_for(std::chrono::milliseconds(5));
        }
        return true;
    }
    bool exited() const { return reaped_ && WIFEXITED(status_); }
    int exit_status() const { return WEXITSTATUS(status_); }
    bool killed_by(int signal) const {
        return reaped_ && WIFSIGNALED(status_) && WTERMSIG(status_) == signal;
    }

    // Resident memory in KiB from /proc, or -1.
    long resident_kib() const {
        std::ifstream status("/proc/" + std::to_string(pid_) + "/status");
        std::string line;
        while (std::getline(status, line))
            if (line.rfind("VmRSS:", 0) == 0) return std::atol(line.c_str() + 6);
        return -1;
    }

  private:
    pid_t pid_ = -1;
    int status_ = 0;
    bool reaped_ = false;
};

}  // namespace mirzet::test
