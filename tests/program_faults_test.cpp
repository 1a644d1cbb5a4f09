// The built program against inputs that misbehave as real ones do: a file cut short or grown while
// it is being read, and an endless device.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <signal.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <cstdio>
#include <fstream>
#include <string>
#include <thread>

#include "child.h"
#include "copy_model.h"
#include "process.h"

namespace mirzet::test {
namespace {

using namespace std::chrono_literals;

// The copy by the rules, written apart from the layer: the text up to the first Ctrl-Z, CR-LF and
// bare LF both written as CR-LF, every other byte unchanged.
std::string copy_of(const std::string& input) {
    return mirzet::testing::dos_copy(input);
}

// Lines of every length up to a few hundred, ending in CR-LF, bare LF or a lone CR in turn.
std::string text_of(std::size_t bytes, unsigned seed) {
    std::string text;
    text.reserve(bytes + 512);
    std::uint32_t state = seed;
    for (int line = 0; text.size() < bytes; ++line) {
        state = state * 1103515245u + 12345u;
        const std::size_t length = (state >> 16) % 400;
        for (std::size_t i = 0; i < length; ++i)
            text += static_cast<char>('a' + (line + i) % 26);
        text += line % 3 == 0 ? "\r\n" : line % 3 == 1 ? "\n" : "\r";
    }
    text += '\n';
    return text;
}

void write_file(const std::string& path, const std::string& contents) {
    std::ofstream(path, std::ios::binary | std::ios::trunc)
        .write(contents.data(), std::streamsize(contents.size()));
}

::testing::AssertionResult is_prefix_of(const std::string& got, const std::string& whole) {
    if (got.size() <= whole.size() && whole.compare(0, got.size(), got) == 0)
        return ::testing::AssertionSuccess();
    std::size_t i = 0;
    while (i < got.size() && i < whole.size() && got[i] == whole[i])
        ++i;
    return ::testing::AssertionFailure()
           << "output of " << got.size() << " bytes departs from the copy of " << whole.size()
           << " bytes at " << i;
}

RunOptions to_a_file() {
    RunOptions options;
    options.output = Output::File;
    options.timeout = 120s;
    return options;
}

// Cut to a third, or to nothing, at moments from before the open to well into the copy: the
// copy simply ends where the data ended, with status 0. The timed rounds may all miss the copy on
// a slow machine, so one more holds the copy at its first MiB, written to a pipe that the test
// stops reading, while the file is cut to nothing: that cut comes mid-copy whatever the speed.
TEST(ChangingInput, FileCutShortWhileBeingRead) {
    ScratchDir scratch;
    ASSERT_TRUE(scratch.ok());
    const std::string path = scratch.path("input");
    const std::string original = text_of(24 << 20, 7);
    const std::string whole = copy_of(original);
    int round = 0;
    int cut_mid_copy = 0;  // rounds whose cut came while the copy was reading past it
    for (auto delay : {0us, 500us, 2000us, 10000us, 40000us}) {
        for (std::size_t cut_to : {original.size() / 3, std::size_t{0}}) {
            SCOPED_TRACE(::testing::Message()
                         << "cut to " << cut_to << " after " << delay.count() << " us");
            write_file(path, original);
            std::thread cutter([&] {
                std::this_thread::sleep_for(delay);
                EXPECT_EQ(truncate(path.c_str(), static_cast<off_t>(cut_to)), 0);
            });
            const RunResult r = run(MIRZET_BINARY, {path}, to_a_file());
            cutter.join();
            ASSERT_TRUE(r.exited && r.status == 0) << r.describe();
            EXPECT_TRUE(is_prefix_of(r.out, whole));
            // Everything before the cut was there to be read. The last CR kept may lack its LF.
            const std::string kept = copy_of(original.substr(0, cut_to));
            EXPECT_GE(r.out.size() + 1, kept.size());
            if (r.out.size() > kept.size() + 1 && r.out.size() < whole.size()) ++cut_mid_copy;
            ++round;
        }
    }
    {
        SCOPED_TRACE("cut to nothing once the first MiB came out through a pipe");
        write_file(path, original);
        int ends[2];
        ASSERT_EQ(pipe(ends), 0);
        Child child(MIRZET_BINARY, path, ends[1]);
        close(ends[1]);
        ASSERT_TRUE(child.started());
        std::string out;
        const auto read_until = [&](std::size_t size) {
            char chunk[65536];
            while (out.size() < size) {
                const ssize_t n = read(ends[0], chunk, sizeof chunk);
                if (n <= 0) break;
                out.append(chunk, static_cast<std::size_t>(n));
            }
        };
        read_until(std::size_t{1} << 20);
        EXPECT_EQ(truncate(path.c_str(), 0), 0);
        read_until(std::string::npos);
        close(ends[0]);
        ASSERT_TRUE(child.wait_for(120s));
        ASSERT_TRUE(child.exited() && child.exit_status() == 0);
        EXPECT_TRUE(is_prefix_of(out, whole));
        if (out.size() > 1 && out.size() < whole.size()) ++cut_mid_copy;
        ++round;
    }
    EXPECT_EQ(round, 11);
    std::printf("the file was cut mid-copy in %d of %d rounds\n", cut_mid_copy, round);
    EXPECT_GE(cut_mid_copy, 1) << "the file was never cut while the copy was reading it";
}

// Text appended in pieces while the copy runs: the copy takes in some of it, and what it writes is
// the start of the copy of the file as it ends up.
TEST(ChangingInput, FileGrowingWhileBeingRead) {
    ScratchDir scratch;
    ASSERT_TRUE(scratch.ok());
    const std::string path = scratch.path("input");
    const std::string original = text_of(4 << 20, 11);
    const std::string addition = text_of(8 << 20, 13);
    write_file(path, original);
    std::thread appender([&] {
        const int fd = open(path.c_str(), O_WRONLY | O_APPEND);
        ASSERT_NE(fd, -1);
        for (std::size_t at = 0; at < addition.size(); at += 65536) {
            const std::size_t n = std::min<std::size_t>(65536, addition.size() - at);
            EXPECT_EQ(write(fd, addition.data() + at, n), static_cast<ssize_t>(n));
            std::this_thread::sleep_for(200us);
        }
        close(fd);
    });
    const RunResult r = run(MIRZET_BINARY, {path}, to_a_file());
    appender.join();
    ASSERT_TRUE(r.exited && r.status == 0) << r.describe();
    EXPECT_TRUE(is_prefix_of(r.out, copy_of(original + addition)));
    EXPECT_GE(r.out.size(), copy_of(original).size());
}

// /dev/zero never ends: the copy must run in constant memory, keep moving, and end at a signal.
class EndlessInput : public ::testing::TestWithParam<bool> {};

long read_bytes_of(pid_t pid) {
    std::ifstream io("/proc/" + std::to_string(pid) + "/io");
    std::string line;
    while (std::getline(io, line))
        if (line.rfind("rchar:", 0) == 0) return std::atol(line.c_str() + 6);
    return -1;
}

TEST_P(EndlessInput, DevZeroRunsInBoundedMemoryAndEndsWhenKilled) {
    const bool to_pipe = GetParam();
    int output = -1;
    int ends[2] = {-1, -1};
    if (to_pipe) {
        ASSERT_EQ(pipe2(ends, O_CLOEXEC), 0);
        output = ends[1];
    } else {
        output = open("/dev/null", O_WRONLY | O_CLOEXEC);
        ASSERT_NE(output, -1);
    }
    // The pipe is drained as fast as it fills; every byte of the copy must be a NUL.
    long long drained = 0;  // read only once the drainer has been joined
    std::atomic<bool> all_nul{true};
    std::thread drainer;
    if (to_pipe) {
        drainer = std::thread([&] {
            static char buffer[1 << 16];
            ssize_t n;
            while ((n = read(ends[0], buffer, sizeof buffer)) > 0 || (n == -1 && errno == EINTR)) {
                for (ssize_t i = 0; i < n; ++i)
                    if (buffer[i] != '\0') all_nul = false;
                if (n > 0) drained += n;
            }
        });
    }
    Child child(MIRZET_BINARY, "/dev/zero", output);
    close(output);
    ASSERT_TRUE(child.started());

    std::this_thread::sleep_for(500ms);
    const long memory_then = child.resident_kib();
    const long read_then = read_bytes_of(child.pid());
    std::this_thread::sleep_for(1500ms);
    const long memory_now = child.resident_kib();
    const long read_now = read_bytes_of(child.pid());
    EXPECT_FALSE(child.wait_for(0ms)) << "an endless input ended";
    EXPECT_GT(memory_then, 0);
    EXPECT_LT(memory_now - memory_then, 1024)
        << "resident memory grew from " << memory_then << " KiB to " << memory_now << " KiB";
    EXPECT_GT(read_now - read_then, 1 << 20) << "the copy stopped reading";

    ASSERT_EQ(kill(child.pid(), SIGTERM), 0);
    EXPECT_TRUE(child.wait_for(5s)) << "the copy did not end at SIGTERM";
    EXPECT_TRUE(child.killed_by(SIGTERM));
    if (to_pipe) {
        drainer.join();
        close(ends[0]);
        EXPECT_GT(drained, 1 << 20);
        EXPECT_TRUE(all_nul.load());
    }
}

INSTANTIATE_TEST_SUITE_P(Outputs, EndlessInput, ::testing::Values(false, true),
                         [](const auto& info) { return info.param ? "Pipe" : "DevNull"; });

}  // namespace
}  // namespace mirzet::test
