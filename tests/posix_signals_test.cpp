// Reads and writes on a pipe through the POSIX platform layer while a timer signal arrives every
// millisecond, with a handler installed without SA_RESTART: every blocked read and write is
// interrupted again and again, and a write may be cut short part-way. Nothing may be lost or
// written twice.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <pthread.h>
#include <signal.h>
#include <sys/time.h>
#include <time.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <cstdint>
#include <string>
#include <thread>

#include "platform/platform.h"

namespace mirzet {
namespace {

namespace pf = platform;

volatile sig_atomic_t ticks = 0;
void on_tick(int) {
    ticks = ticks + 1;
}

// A 1 ms interval timer whose handler lets interrupted system calls fail with EINTR.
class TickingTimer {
  public:
    TickingTimer() {
        struct sigaction action = {};
        action.sa_handler = on_tick;
        sigemptyset(&action.sa_mask);
        action.sa_flags = 0;  // no SA_RESTART
        sigaction(SIGALRM, &action, &previous_);
        const itimerval every_millisecond{{0, 1000}, {0, 1000}};
        setitimer(ITIMER_REAL, &every_millisecond, nullptr);
    }
    ~TickingTimer() {
        const itimerval off{};
        setitimer(ITIMER_REAL, &off, nullptr);
        sigaction(SIGALRM, &previous_, nullptr);
    }

  private:
    struct sigaction previous_;
};

// The helper thread never takes the signal, so it always interrupts the thread under test.
void block_ticks_in_this_thread() {
    sigset_t alarm;
    sigemptyset(&alarm);
    sigaddset(&alarm, SIGALRM);
    pthread_sigmask(SIG_BLOCK, &alarm, nullptr);
}

// Busy-waits: a sleep would itself be cut short by the ticks.
void pause_for_microseconds(int microseconds) {
    timespec start, now;
    clock_gettime(CLOCK_MONOTONIC, &start);
    do {
        clock_gettime(CLOCK_MONOTONIC, &now);
    } while ((now.tv_sec - start.tv_sec) * 1000000 + (now.tv_nsec - start.tv_nsec) / 1000 <
             microseconds);
}

// Bytes no shift or repeat of which matches itself: a lost or doubled run shows at once.
std::string pattern(std::size_t n) {
    std::string text(n, '\0');
    std::uint32_t state = 12345;
    for (char& c : text) {
        state = state * 1103515245u + 12345u;
        c = static_cast<char>(state >> 24);
    }
    return text;
}

struct Pipe {
    int ends[2] = {-1, -1};
    // Non-blocking ends stand for descriptors that whoever started the program left so: the layer
    // waits for them to be ready instead of failing.
    explicit Pipe(bool nonblocking) { EXPECT_EQ(pipe2(ends, nonblocking ? O_NONBLOCK : 0), 0); }
    ~Pipe() {
        for (int end : ends)
            if (end != -1) close(end);
    }
    // Handles name descriptors plus one.
    pf::OsHandle reader() const { return ends[0] + 1; }
    pf::OsHandle writer() const { return ends[1] + 1; }
    void close_writer() {
        close(ends[1]);
        ends[1] = -1;
    }
};

// Writes `text` in pieces of varying size, pausing now and then when `pauses` is set.
bool write_all(pf::OsHandle handle, const std::string& text, bool pauses, std::string* failure) {
    std::size_t done = 0;
    for (std::size_t round = 0; done < text.size(); ++round) {
        const std::size_t piece =
            std::min<std::size_t>(text.size() - done, 1 + (round * 7919) % 300000);
        std::uint32_t written = 0;
        if (!pf::write_file(handle, text.data() + done, static_cast<std::uint32_t>(piece),
                            &written)) {
            *failure = "write failed with code " + std::to_string(pf::get_last_error());
            return false;
        }
        if (written != piece) {
            *failure =
                "a write of " + std::to_string(piece) + " bytes wrote " + std::to_string(written);
            return false;
        }
        done += piece;
        if (pauses && round % 4 == 0) pause_for_microseconds(2000);
    }
    return true;
}

// Reads until the end of the data, in reads of varying size, pausing now and then.
bool read_all(pf::OsHandle handle, bool pauses, std::string* out, std::string* failure) {
    std::string buffer(200000, '\0');
    for (std::size_t round = 0;; ++round) {
        const std::uint32_t wanted =
            static_cast<std::uint32_t>(1 + (round * 104729) % buffer.size());
        std::uint32_t got = 0;
        if (!pf::read_file(handle, buffer.data(), wanted, &got)) {
            *failure = "read failed with code " + std::to_string(pf::get_last_error());
            // Drain the pipe, so that a writer waiting on it can finish and the test can end.
            fcntl(handle - 1, F_SETFL, 0);
            ssize_t n;
            while ((n = read(handle - 1, buffer.data(), buffer.size())) > 0 ||
                   (n == -1 && errno == EINTR)) {
            }
            return false;
        }
        if (got == 0) return true;
        out->append(buffer.data(), got);
        if (pauses && round % 8 == 0) pause_for_microseconds(2000);
    }
}

constexpr std::size_t TEXT_BYTES = 24 << 20;

class PosixSignals : public ::testing::TestWithParam<bool> {};

TEST_P(PosixSignals, InterruptedReadsLoseAndRepeatNothing) {
    const std::string text = pattern(TEXT_BYTES);
    Pipe pipe_ends(GetParam());
    std::string write_failure;
    std::atomic<bool> wrote{false};
    TickingTimer timer;
    const int ticks_before = ticks;
    // The writer pauses so that the reader, which takes every tick, waits in read again and again.
    std::thread writer([&] {
        block_ticks_in_this_thread();
        wrote = write_all(pipe_ends.writer(), text, true, &write_failure);
        pipe_ends.close_writer();
    });
    std::string got, read_failure;
    const bool read = read_all(pipe_ends.reader(), false, &got, &read_failure);
    writer.join();
    ASSERT_TRUE(wrote) << write_failure;
    ASSERT_TRUE(read) << read_failure;
    EXPECT_GT(ticks - ticks_before, 100) << "the reads were hardly interrupted";
    ASSERT_EQ(got.size(), text.size());
    EXPECT_TRUE(got == text) << "the data read differs from the data written";
}

TEST_P(PosixSignals, InterruptedWritesLoseAndRepeatNothing) {
    const std::string text = pattern(TEXT_BYTES);
    Pipe pipe_ends(GetParam());
    std::string got, read_failure;
    std::atomic<bool> read{false};
    TickingTimer timer;
    const int ticks_before = ticks;
    // The reader pauses so that the pipe fills and the writer, which takes every tick, waits in
    // write with part of its bytes taken: the interruption then cuts the write short.
    std::thread reader([&] {
        block_ticks_in_this_thread();
        read = read_all(pipe_ends.reader(), true, &got, &read_failure);
    });
    std::string write_failure;
    const bool wrote = write_all(pipe_ends.writer(), text, false, &write_failure);
    pipe_ends.close_writer();
    reader.join();
    ASSERT_TRUE(wrote) << write_failure;
    ASSERT_TRUE(read) << read_failure;
    EXPECT_GT(ticks - ticks_before, 100) << "the writes were hardly interrupted";
    ASSERT_EQ(got.size(), text.size());
    EXPECT_TRUE(got == text) << "the data read differs from the data written";
}

INSTANTIATE_TEST_SUITE_P(Pipes, PosixSignals, ::testing::Values(false, true),
                         [](const auto& info) { return info.param ? "NonBlocking" : "Blocking"; });

}  // namespace
}  // namespace mirzet
