#include "process.h"

#include <fcntl.h>
#include <grp.h>
#include <poll.h>
#include <signal.h>
#include <spawn.h>
#include <stdlib.h>
#include <sys/wait.h>
#include <termios.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <stdexcept>
#include <thread>

namespace mirzet::test {

namespace {

[[noreturn]] void fail(const std::string& what) {
    throw std::runtime_error(what + ": " + std::strerror(errno));
}

// Closes on scope exit; -1 means nothing to close.
struct Fd {
    int fd = -1;
    Fd() = default;
    explicit Fd(int value) : fd(value) {}
    Fd(const Fd&) = delete;
    Fd& operator=(const Fd&) = delete;
    ~Fd() { reset(); }
    void reset() {
        if (fd >= 0) ::close(fd);
        fd = -1;
    }
};

// A writer child starts from the signal state a shell gives its commands: SIGPIPE at its default,
// nothing blocked, so that it ends when its reader does.
void reset_signals() {
    struct sigaction action {};
    action.sa_handler = SIG_DFL;
    sigemptyset(&action.sa_mask);
    sigaction(SIGPIPE, &action, nullptr);
    sigset_t none;
    sigemptyset(&none);
    sigprocmask(SIG_SETMASK, &none, nullptr);
}

void write_all_or_exit(int fd, const std::string& data) {
    std::size_t done = 0;
    while (done < data.size()) {
        const ssize_t n = ::write(fd, data.data() + done, data.size() - done);
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) _exit(1);
        done += static_cast<std::size_t>(n);
    }
}

[[noreturn]] void write_chunks(int fd, const std::vector<std::string>& chunks,
                               std::chrono::milliseconds pause) {
    for (std::size_t i = 0; i < chunks.size(); ++i) {
        if (i > 0 && pause.count() > 0) std::this_thread::sleep_for(pause);
        write_all_or_exit(fd, chunks[i]);
    }
    ::close(fd);
    _exit(0);
}

void reap(pid_t pid) {
    if (pid <= 0) return;
    int status = 0;
    if (::waitpid(pid, &status, WNOHANG) == pid) return;
    ::kill(pid, SIGKILL);
    while (::waitpid(pid, &status, 0) < 0 && errno == EINTR) {
    }
}

// What the spawn of run() does, by fork and exec, with the user and groups changed to nobody and
// nogroup between the two (posix_spawn cannot change them). Returns 0 or an errno value.
int spawn_unprivileged(pid_t* pid, char** argv, int in, int out, int err,
                       const RunOptions& options) {
    constexpr uid_t NOBODY = 65534;
    constexpr gid_t NOGROUP = 65534;
    *pid = ::fork();
    if (*pid < 0) return errno;
    if (*pid > 0) return 0;
    if (::dup2(in, 0) < 0 || ::dup2(err, 2) < 0) _exit(126);
    if (out < 0)
        ::close(1);
    else if (::dup2(out, 1) < 0)
        _exit(126);
    for (int fd : options.inherit)
        if (::fcntl(fd, F_SETFD, 0) != 0) _exit(126);
    struct sigaction action {};
    action.sa_handler = options.ignore_sigpipe ? SIG_IGN : SIG_DFL;
    sigemptyset(&action.sa_mask);
    ::sigaction(SIGPIPE, &action, nullptr);
    sigset_t none;
    sigemptyset(&none);
    ::sigprocmask(SIG_SETMASK, &none, nullptr);
    // A build with coverage counters writes them beside its objects, where nobody may not write:
    // they go to a directory of nobody's own instead (any other build ignores the variable).
    // tests/coverage.sh empties it before each run, as counts of another build would be refused.
    ::setenv("GCOV_PREFIX", "/tmp/mirzet-nobody-gcov", 1);
    // Groups first: once the user is nobody, they can no longer be changed.
    if (::setgroups(0, nullptr) != 0 || ::setgid(NOGROUP) != 0 || ::setuid(NOBODY) != 0) _exit(126);
    ::execv(argv[0], argv);
    _exit(127);
}

}  // namespace

const char* output_name(Output output) {
    switch (output) {
        case Output::File:
            return "File";
        case Output::Pipe:
            return "Pipe";
        case Output::Terminal:
            return "Terminal";
        case Output::Full:
            return "Full";
        case Output::Closed:
            return "Closed";
    }
    return "?";
}

std::string RunResult::describe() const {
    if (timed_out) return "timed out";
    if (exited) return "exit " + std::to_string(status);
    return "signal " + std::to_string(signal);
}

RunResult run(const std::string& path, const std::vector<std::string>& args,
              const RunOptions& options) {
    std::vector<std::string> strings{path};
    strings.insert(strings.end(), args.begin(), args.end());
    std::vector<char*> argv;
    for (auto& s : strings)
        argv.push_back(s.data());
    argv.push_back(nullptr);

    Fd null_in(::open("/dev/null", O_RDONLY | O_CLOEXEC));
    if (null_in.fd < 0) fail("open /dev/null");

    // out_child goes to the child as descriptor 1; out_parent is what the parent reads.
    Fd out_child, out_parent;
    switch (options.output) {
        case Output::File: {
            char name[] = "/tmp/mirzet-out-XXXXXX";
            out_child.fd = ::mkostemp(name, O_CLOEXEC);
            if (out_child.fd < 0) fail("mkostemp");
            ::unlink(name);
            break;
        }
        case Output::Pipe: {
            int fds[2];
            if (::pipe2(fds, O_CLOEXEC) != 0) fail("pipe2");
            out_parent.fd = fds[0];
            out_child.fd = fds[1];
            break;
        }
        case Output::Terminal: {
            out_parent.fd = ::posix_openpt(O_RDWR | O_NOCTTY | O_CLOEXEC);
            if (out_parent.fd < 0) fail("posix_openpt");
            if (::grantpt(out_parent.fd) != 0 || ::unlockpt(out_parent.fd) != 0) fail("grantpt");
            const char* slave = ::ptsname(out_parent.fd);
            if (slave == nullptr) fail("ptsname");
            out_child.fd = ::open(slave, O_RDWR | O_NOCTTY | O_CLOEXEC);
            if (out_child.fd < 0) fail("open pty slave");
            termios raw{};
            if (::tcgetattr(out_child.fd, &raw) != 0) fail("tcgetattr");
            ::cfmakeraw(&raw);
            if (::tcsetattr(out_child.fd, TCSANOW, &raw) != 0) fail("tcsetattr");
            break;
        }
        case Output::Full:
            out_child.fd = ::open("/dev/full", O_WRONLY | O_CLOEXEC);
            if (out_child.fd < 0) fail("open /dev/full");
            break;
        case Output::Closed:
            break;
    }

    // A reader gone before the start: closed before fork, so that no copy of the read end exists
    // anywhere while the child runs.
    if (options.output == Output::Pipe && options.close_after == 0) out_parent.reset();

    int err_fds[2];
    if (::pipe2(err_fds, O_CLOEXEC) != 0) fail("pipe2");
    Fd err_parent(err_fds[0]), err_child(err_fds[1]);

    // posix_spawn rather than fork: copying the page tables of a sanitizer-instrumented parent
    // costs more than the child's whole run.
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_adddup2(&actions, null_in.fd, 0);
    if (out_child.fd >= 0) {
        posix_spawn_file_actions_adddup2(&actions, out_child.fd, 1);
    } else {
        posix_spawn_file_actions_addclose(&actions, 1);
    }
    posix_spawn_file_actions_adddup2(&actions, err_child.fd, 2);
    // A descriptor duplicated onto itself loses close-on-exec.
    for (int fd : options.inherit)
        posix_spawn_file_actions_adddup2(&actions, fd, fd);

    // The signal state a shell gives its commands: nothing blocked, SIGPIPE at its default. An
    // ignored signal stays ignored across exec, so ignoring SIGPIPE is done in the parent for the
    // moment of the spawn.
    posix_spawnattr_t attributes;
    posix_spawnattr_init(&attributes);
    sigset_t none, pipe_signal;
    sigemptyset(&none);
    sigemptyset(&pipe_signal);
    if (!options.ignore_sigpipe) sigaddset(&pipe_signal, SIGPIPE);
    posix_spawnattr_setsigmask(&attributes, &none);
    posix_spawnattr_setsigdefault(&attributes, &pipe_signal);
    posix_spawnattr_setflags(&attributes, POSIX_SPAWN_SETSIGMASK | POSIX_SPAWN_SETSIGDEF);
    struct sigaction ignore {
    }, previous{};
    ignore.sa_handler = SIG_IGN;
    if (options.ignore_sigpipe) ::sigaction(SIGPIPE, &ignore, &previous);
    pid_t pid = -1;
    const bool drop = options.unprivileged && ::geteuid() == 0;
    const int spawned =
        drop
            ? spawn_unprivileged(&pid, argv.data(), null_in.fd, out_child.fd, err_child.fd, options)
            : ::posix_spawn(&pid, argv[0], &actions, &attributes, argv.data(), environ);
    if (options.ignore_sigpipe) ::sigaction(SIGPIPE, &previous, nullptr);
    posix_spawnattr_destroy(&attributes);
    posix_spawn_file_actions_destroy(&actions);
    if (spawned != 0) {
        errno = spawned;
        fail("posix_spawn " + path);
    }
    // The child holds its own copies; the pipe and the terminal end only when the child's go.
    err_child.reset();
    Fd file_out;
    if (options.output == Output::File) {
        file_out.fd = out_child.fd;
        out_child.fd = -1;
    }
    out_child.reset();

    RunResult result;
    const auto deadline = std::chrono::steady_clock::now() + options.timeout;
    char buffer[65536];
    while (out_parent.fd >= 0 || err_parent.fd >= 0) {
        const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
            deadline - std::chrono::steady_clock::now());
        if (left.count() <= 0) {
            ::kill(pid, SIGKILL);
            result.timed_out = true;
            break;
        }
        pollfd fds[2] = {{out_parent.fd, POLLIN, 0}, {err_parent.fd, POLLIN, 0}};
        const int ready = ::poll(fds, 2, static_cast<int>(left.count()));
        if (ready < 0 && errno != EINTR) fail("poll");
        if (ready <= 0) continue;
        for (int i = 0; i < 2; ++i) {
            if (fds[i].fd < 0 || fds[i].revents == 0) continue;
            Fd& source = i == 0 ? out_parent : err_parent;
            std::string& sink = i == 0 ? result.out : result.err;
            const ssize_t n = ::read(source.fd, buffer, sizeof buffer);
            if (n < 0 && errno == EINTR) continue;
            // A terminal master reports EIO once every slave descriptor is closed: its end of data.
            if (n <= 0) {
                source.reset();
                continue;
            }
            sink.append(buffer, static_cast<std::size_t>(n));
            if (i == 0 && sink.size() >= options.close_after) source.reset();
        }
    }
    out_parent.reset();
    err_parent.reset();

    int status = 0;
    for (;;) {
        const pid_t done = ::waitpid(pid, &status, result.timed_out ? 0 : WNOHANG);
        if (done == pid) break;
        if (done < 0 && errno != EINTR) fail("waitpid");
        if (done == 0) {
            // Both streams have ended but the child lives on: wait out the rest of the limit.
            if (std::chrono::steady_clock::now() >= deadline) {
                ::kill(pid, SIGKILL);
                result.timed_out = true;
            } else {
                std::this_thread::sleep_for(std::chrono::milliseconds(1));
            }
        }
    }
    if (WIFEXITED(status)) {
        result.exited = true;
        result.status = WEXITSTATUS(status);
    } else if (WIFSIGNALED(status)) {
        result.signal = WTERMSIG(status);
    }
    if (file_out.fd >= 0) {
        off_t at = 0;
        for (;;) {
            const ssize_t n = ::pread(file_out.fd, buffer, sizeof buffer, at);
            if (n < 0 && errno == EINTR) continue;
            if (n < 0) fail("pread");
            if (n == 0) break;
            result.out.append(buffer, static_cast<std::size_t>(n));
            at += n;
        }
    }
    return result;
}

Writer::Writer(int fd, int unused, std::vector<std::string> chunks,
               std::chrono::milliseconds pause) {
    pid_ = ::fork();
    if (pid_ < 0) fail("fork");
    if (pid_ == 0) {
        reset_signals();
        if (unused >= 0) ::close(unused);
        write_chunks(fd, chunks, pause);
    }
}

Writer::Writer(std::string path, std::vector<std::string> chunks, std::chrono::milliseconds pause) {
    pid_ = ::fork();
    if (pid_ < 0) fail("fork");
    if (pid_ == 0) {
        reset_signals();
        const int fd = ::open(path.c_str(), O_WRONLY);
        if (fd < 0) _exit(1);
        write_chunks(fd, chunks, pause);
    }
}

Writer::~Writer() {
    reap(pid_);
}

}  // namespace mirzet::test
