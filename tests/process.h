// Running a program as a user runs it: argv without a shell, standard output to a chosen kind of
// object, standard error captured apart, and a time limit so that a hang fails instead of blocking.
#pragma once

#include <sys/types.h>

#include <chrono>
#include <cstddef>
#include <limits>
#include <ostream>
#include <string>
#include <vector>

namespace mirzet::test {

// What the child's standard output is.
enum class Output {
    File,      // a regular file, read back after the child has ended
    Pipe,      // a pipe the parent drains as the child writes
    Terminal,  // the slave of a pseudo-terminal in raw mode, so the terminal adds no CRs
    Full,      // /dev/full: every write fails with "no space"
    Closed,    // descriptor 1 closed before exec
};

const char* output_name(Output output);
inline std::ostream& operator<<(std::ostream& os, Output output) {
    return os << output_name(output);
}

struct RunOptions {
    Output output = Output::File;
    // Descriptors the child keeps under the same numbers; every other descriptor of the parent is
    // closed on exec.
    std::vector<int> inherit;
    // For Output::Pipe: close the read end once this many bytes have arrived (a reader that goes
    // away); 0 closes it before the child writes anything.
    std::size_t close_after = std::numeric_limits<std::size_t>::max();
    // Start the child with SIGPIPE ignored, as some callers do; writes to a vanished reader then
    // fail with EPIPE instead of ending the process.
    bool ignore_sigpipe = false;
    // When the test runs as root, the child drops to nobody/nogroup (65534) before exec, so that
    // file permissions apply to it as they do to a user.
    bool unprivileged = false;
    // After this the child is killed and the result says so.
    std::chrono::milliseconds timeout{10000};
};

struct RunResult {
    bool exited = false;     // ended through exit: `status` holds its status
    int status = -1;         // exit status, when `exited`
    int signal = 0;          // the signal that ended it, when not `exited`
    bool timed_out = false;  // killed by the time limit
    std::string out;         // what arrived on standard output (nothing for Full and Closed)
    std::string err;         // what arrived on standard error

    // "exit 1", "signal 13", "timed out": for failure messages.
    std::string describe() const;
};

// Runs `path` with argv[0] = path followed by `args`. Standard input is /dev/null. The child's
// SIGPIPE disposition is the default, as under a shell, unless the options ask otherwise.
RunResult run(const std::string& path, const std::vector<std::string>& args,
              const RunOptions& options = {});

// A child process that writes `chunks` to a descriptor or a path with a pause between them, so that
// a reader at the other end of a pipe sees them as separate reads. Killed and reaped on destruction
// if it is still there (a writer blocked on a FIFO nobody opened, say).
class Writer {
  public:
    // Writes to `fd` (which the child closes when done). `unused` is another descriptor the child
    // closes at once, such as the read end of the same pipe, so that a vanished reader is noticed.
    Writer(int fd, int unused, std::vector<std::string> chunks, std::chrono::milliseconds pause);
    // Opens `path` for writing (blocking until a reader opens a FIFO), then writes.
    Writer(std::string path, std::vector<std::string> chunks, std::chrono::milliseconds pause);
    ~Writer();
    Writer(const Writer&) = delete;
    Writer& operator=(const Writer&) = delete;

  private:
    pid_t pid_ = -1;
};

}  // namespace mirzet::test
