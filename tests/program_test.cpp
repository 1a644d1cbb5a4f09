// The built program, run as a user runs it: real files, pipes, FIFOs and terminals, and outputs
// that fail.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <limits.h>
#include <poll.h>
#include <signal.h>
#include <sys/ioctl.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <termios.h>
#include <unistd.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <random>
#include <sstream>
#include <string>
#include <string_view>
#include <vector>

#include "child.h"
#include "copy_model.h"
#include "process.h"

namespace mirzet::test {
namespace {

using namespace std::string_literals;
using std::chrono::milliseconds;

const std::string kUsage = "Usage mirzet <filename> \r\n";
const std::string kCtrlZ = "\x1a";

using mirzet::testing::dos_copy;

// Text without CRs, its LFs written as CR-LF: the expected output of hand-written cases.
std::string crlf(std::string_view text) {
    std::string out;
    for (char c : text) {
        if (c == '\n') out += '\r';
        out += c;
    }
    return out;
}

// `n` characters of lines of 16 (15 letters and an LF).
std::string lines_of(std::size_t n) {
    std::string out;
    for (std::size_t i = 0; i < n; ++i)
        out += (i % 16 == 15) ? '\n' : char('a' + i % 16);
    return out;
}

std::string visible(std::string_view s) {
    std::string out;
    for (unsigned char c : s) {
        if (c == '\r') {
            out += "\\r";
        } else if (c == '\n') {
            out += "\\n";
        } else if (c >= 0x20 && c < 0x7f && c != '\\') {
            out += char(c);
        } else {
            char hex[8];
            std::snprintf(hex, sizeof hex, "\\x%02x", c);
            out += hex;
        }
    }
    return out;
}

// Byte-exact comparison that reports the first difference instead of two walls of text.
::testing::AssertionResult same_bytes(std::string_view expected, std::string_view got) {
    if (expected == got) return ::testing::AssertionSuccess();
    const std::size_t at =
        std::mismatch(expected.begin(), expected.end(), got.begin(), got.end()).first -
        expected.begin();
    const std::size_t from = at < 24 ? 0 : at - 24;
    return ::testing::AssertionFailure()
           << expected.size() << " bytes expected, " << got.size()
           << " got; first difference at byte " << at << "\n  expected: ..."
           << visible(expected.substr(std::min(from, expected.size()), 48))
           << "...\n       got: ..." << visible(got.substr(std::min(from, got.size()), 48))
           << "...";
}

// A directory of its own for each test, removed with everything in it.
class Scratch {
  public:
    Scratch() {
        char name[] = "/tmp/mirzet-program-XXXXXX";
        if (::mkdtemp(name) == nullptr) throw std::runtime_error("mkdtemp failed");
        dir_ = name;
    }
    ~Scratch() {
        std::error_code ignored;
        std::filesystem::remove_all(dir_, ignored);
    }
    const std::string& dir() const { return dir_; }
    std::string path(const std::string& name) const { return dir_ + "/" + name; }
    std::string file(const std::string& name, std::string_view contents) const {
        const std::string p = path(name);
        std::ofstream(p, std::ios::binary).write(contents.data(), std::streamsize(contents.size()));
        return p;
    }

  private:
    std::string dir_;
};

std::string read_file(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    std::ostringstream s;
    s << in.rdbuf();
    return s.str();
}

RunResult mirzet(const std::vector<std::string>& args, RunOptions options = {}) {
    return run(MIRZET_BINARY, args, options);
}

RunOptions to(Output output) {
    RunOptions options;
    options.output = output;
    return options;
}

void expect_status(const RunResult& r, int status) {
    EXPECT_TRUE(r.exited && r.status == status)
        << "wanted exit " << status << ", got " << r.describe() << "\nstderr: " << r.err;
    EXPECT_EQ(r.err, "");
}

void expect_copy(const RunResult& r, std::string_view expected) {
    expect_status(r, 0);
    EXPECT_TRUE(same_bytes(expected, r.out));
}

// The outputs on which text must arrive the same, however it is buffered.
const Output kReadableOutputs[] = {Output::File, Output::Pipe, Output::Terminal};

std::string output_param_name(const ::testing::TestParamInfo<Output>& info) {
    return output_name(info.param);
}

// ---------------------------------------------------------------------------------------------
// Messages

class ProgramUsage : public ::testing::TestWithParam<Output> {};

TEST_P(ProgramUsage, WrongArgumentCountPrintsUsage) {
    const std::vector<std::vector<std::string>> argument_lists = {
        {}, {"a", "b"}, {"a", "b", "c"}, {"", ""}};
    Scratch scratch;
    const std::string real = scratch.file("real", "text\n");
    for (auto args : argument_lists) {
        SCOPED_TRACE(args.size());
        const RunResult r = mirzet(args, to(GetParam()));
        expect_status(r, 1);
        EXPECT_TRUE(same_bytes(kUsage, r.out));
    }
    // A real file among two arguments is not copied.
    const RunResult r = mirzet({real, real}, to(GetParam()));
    expect_status(r, 1);
    EXPECT_TRUE(same_bytes(kUsage, r.out));
}

TEST(ProgramMessages, FileThatCannotBeOpenedIsNamedUnchanged) {
    Scratch scratch;
    const std::string plain = scratch.file("plain", "text\n");
    ASSERT_EQ(::symlink(scratch.path("nowhere").c_str(), scratch.path("dangling").c_str()), 0);
    ASSERT_EQ(::symlink(scratch.path("loop").c_str(), scratch.path("loop").c_str()), 0);
    const struct {
        const char* what;
        std::string arg;
    } cases[] = {
        {"missing", scratch.path("no-such-file")},
        {"missing with blanks", scratch.path("no such dir/no such file.txt ")},
        {"directory", scratch.dir()},
        {"directory with a slash", scratch.dir() + "/"},
        {"name longer than NAME_MAX", scratch.path(std::string(NAME_MAX + 1, 'n'))},
        {"a file used as a directory", plain + "/inside"},
        {"empty argument", ""},
        {"format characters", scratch.path("100%s%d%%%n %")},
        {"bytes above 0x7f", scratch.path("\xff\xfe\x80 missing")},
        {"dangling symbolic link", scratch.path("dangling")},
        {"symbolic link loop", scratch.path("loop")},
    };
    // The message is the same on every output; each case takes the next one in turn.
    std::size_t turn = 0;
    for (const auto& c : cases) {
        const Output output = kReadableOutputs[turn++ % std::size(kReadableOutputs)];
        SCOPED_TRACE(std::string(c.what) + " to " + output_name(output));
        const RunResult r = mirzet({c.arg}, to(output));
        expect_status(r, 1);
        EXPECT_TRUE(same_bytes("Cannot find file " + c.arg + " \r\n", r.out));
    }
}

INSTANTIATE_TEST_SUITE_P(Outputs, ProgramUsage, ::testing::ValuesIn(kReadableOutputs),
                         output_param_name);

TEST(ProgramMessages, FileWithoutReadPermission) {
    // Run as root, the program runs as nobody: root reads files whatever their permissions. The
    // directory, the program's copy and the readable file are open to that user, so only the
    // permission of the file itself can refuse it.
    if (::geteuid() == 0 && read_file(MIRZET_BINARY).rfind("#!", 0) == 0)
        GTEST_SKIP() << "the program is a wrapper script here (valgrind), which nobody cannot run";
    Scratch scratch;
    ASSERT_EQ(::chmod(scratch.dir().c_str(), 0755), 0);
    const std::string program = scratch.path("mirzet");
    std::filesystem::copy_file(MIRZET_BINARY, program);
    ASSERT_EQ(::chmod(program.c_str(), 0755), 0);
    const struct {
        const char* name;
        mode_t mode;
        int status;
        bool copied;
    } cases[] = {
        {"readable", 0644, 0, true},
        {"write only", 0200, 1, false},
        {"no permission at all", 0000, 1, false},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        const std::string path = scratch.file(c.name, "hidden\n");
        ASSERT_EQ(::chmod(path.c_str(), c.mode), 0);
        RunOptions options;
        options.unprivileged = true;
        const RunResult r = run(program, {path}, options);
        expect_status(r, c.status);
        EXPECT_TRUE(
            same_bytes(c.copied ? "hidden\r\n" : "Cannot find file " + path + " \r\n", r.out));
    }
}

// ---------------------------------------------------------------------------------------------
// Copies of regular files

struct CopyCase {
    const char* name;
    std::string input;
    std::string expected;
};

const std::string x4095(4095, 'x');
const std::string x4096(4096, 'x');

const CopyCase kCopyCases[] = {
    {"Empty", "", ""},
    {"CtrlZFirst", kCtrlZ + "abc\r\n", ""},
    {"CrLfAndLf", "a\r\nb\n", "a\r\nb\r\n"},
    {"NoFinalLineEnd", "abc\r\ndef", "abc\r\ndef"},
    {"Line300", std::string(300, 'q') + "\n", std::string(300, 'q') + "\r\n"},
    // The LF after 129 characters arrives as a piece of its own.
    {"Line129", std::string(129, 'q') + "\r\nz", std::string(129, 'q') + "\r\nz"},
    {"Line130", std::string(130, 'q') + "\n", std::string(130, 'q') + "\r\n"},
    {"Nul", "ab\0cd\nef\n"s, "ab\0cd\r\nef\r\n"s},
    {"NulsAtPieceEdges", std::string(128, 'q') + "\0\0\n\0"s,
     std::string(128, 'q') + "\0\0\r\n\0"s},
    {"LoneCr", "a\rb\n", "a\rb\r\n"},
    {"CrCrLf", "a\r\r\nb", "a\r\r\nb"},
    {"CrIsLastByte", "abc\r", "abc\r"},
    {"CtrlZMidFile", "abc\r\nde" + kCtrlZ + "fg\r\nhi", "abc\r\nde"},
    {"CrBeforeCtrlZ", "ab\r" + kCtrlZ + "\n", "ab\r"},
    {"HighBytes", "\xff\xfe\x80\n\xff", "\xff\xfe\x80\r\n\xff"},
    // Byte 4096 is CR and byte 4097 LF: the pair straddles the first block edge.
    {"CrLfAcrossBlockEdge", x4095 + "\r\ntail\n", x4095 + "\r\ntail\r\n"},
    {"CrLfAcrossBlockEdgeInLines", lines_of(4095) + "\r\nz", crlf(lines_of(4095)) + "\r\nz"},
    {"CrAtBlockEdgeThenText", x4095 + "\ry\n", x4095 + "\ry\r\n"},
    {"CrAtBlockEdgeThenCrLf", x4095 + "\r\r\nz", x4095 + "\r\r\nz"},
    {"CrAtBlockEdgeThenCtrlZ", x4095 + "\r" + kCtrlZ + "gone", x4095 + "\r"},
    {"CrAtBlockEdgeIsLastByte", x4095 + "\r", x4095 + "\r"},
    // The second block holds the CR alone; its LF is the first byte after it.
    {"CrAloneInSecondBlock", x4096 + "\r\ny", x4096 + "\r\ny"},
    {"CtrlZStartsSecondBlock", x4096 + kCtrlZ + "gone", x4096},
    {"CrLfAcrossSecondEdge", lines_of(8191) + "\r\n", crlf(lines_of(8191)) + "\r\n"},
    {"ManyLines", lines_of(100000), crlf(lines_of(100000))},
};

// One test per output, so that a run of the suite starts few processes of its own.
class ProgramCopies : public ::testing::TestWithParam<Output> {};

TEST_P(ProgramCopies, OutputIsTheDosText) {
    Scratch scratch;
    for (const auto& c : kCopyCases) {
        SCOPED_TRACE(c.name);
        const std::string input = scratch.file(c.name, c.input);
        expect_copy(mirzet({input}, to(GetParam())), c.expected);
        EXPECT_EQ(read_file(input), c.input) << "the input file was changed";
    }
}

INSTANTIATE_TEST_SUITE_P(Outputs, ProgramCopies, ::testing::ValuesIn(kReadableOutputs),
                         output_param_name);

// The differential test below trusts the model; the hand-written cases keep the model honest.
TEST(ProgramModel, AgreesWithTheHandWrittenCases) {
    for (const auto& c : kCopyCases)
        EXPECT_TRUE(same_bytes(c.expected, dos_copy(c.input))) << c.name;
}

// ---------------------------------------------------------------------------------------------
// Input that is not a regular file

struct PipeCase {
    const char* name;
    std::vector<std::string> chunks;  // written one at a time with a pause between them
    std::string expected;
};

std::vector<std::string> odd_chunks_of(const std::string& text) {
    std::vector<std::string> chunks;
    for (std::size_t at = 0, n = 1; at < text.size(); at += n, n = n * 7 % 1999 + 1) {
        chunks.push_back(text.substr(at, n));
    }
    return chunks;
}

std::string joined(const std::vector<std::string>& chunks) {
    std::string out;
    for (const auto& c : chunks)
        out += c;
    return out;
}

const std::string kPipeText = [] {
    std::string text;
    for (int i = 0; i < 400; ++i)
        text += lines_of(i % 200) + (i % 3 ? "\r\n" : "\r\r\n");
    return text;
}();

const PipeCase kPipeCases[] = {
    {"CrEndsOneWriteLfStartsTheNext",
     {"ab", "c\r", "\nde\r", "\r", "\nf", "\0g\n"s, "h\r"},
     "abc\r\nde\r\r\nf\0g\r\nh\r"s},
    {"CrEndsOneWriteTextStartsTheNext", {"a\r", "b\r", "\r"}, "a\rb\r\r"},
    {"CtrlZAfterCrAtEndOfWrite", {"x\r", kCtrlZ + "never\n", "more\n"}, "x\r"},
    {"CtrlZEndsTheDataForGood", {"a\n", kCtrlZ, "b\n"}, "a\r\n"},
    {"ManyOddWrites", odd_chunks_of(kPipeText), dos_copy(kPipeText)},
};

milliseconds pause_for(const PipeCase& c) {
    return milliseconds(c.chunks.size() > 20 ? 1 : 20);
}

TEST(ProgramPipeInput, ReadThroughDevFd) {
    for (const auto& c : kPipeCases) {
        SCOPED_TRACE(c.name);
        int fds[2];
        ASSERT_EQ(::pipe2(fds, O_CLOEXEC), 0);
        Writer writer(fds[1], fds[0], c.chunks, pause_for(c));
        ::close(fds[1]);
        RunOptions options;
        options.inherit = {fds[0]};
        const RunResult r = mirzet({"/dev/fd/" + std::to_string(fds[0])}, options);
        ::close(fds[0]);
        expect_copy(r, c.expected);
    }
}

TEST(ProgramPipeInput, ReadThroughFifo) {
    Scratch scratch;
    const std::string fifo = scratch.path("fifo");
    ASSERT_EQ(::mkfifo(fifo.c_str(), 0600), 0);
    for (const auto& c : kPipeCases) {
        SCOPED_TRACE(c.name);
        Writer writer(fifo, c.chunks, pause_for(c));
        expect_copy(mirzet({fifo}), c.expected);
    }
}

TEST(ProgramPipeInput, ModelAgreesWithTheHandWrittenCases) {
    for (const auto& c : kPipeCases) {
        EXPECT_TRUE(same_bytes(c.expected, dos_copy(joined(c.chunks)))) << c.name;
    }
}

TEST(ProgramDeviceInput, DevNullCopiesNothing) {
    expect_copy(mirzet({"/dev/null"}), "");
}

// ---------------------------------------------------------------------------------------------
// Input and output as they come: a terminal typed at, a slow input watched line by line

// A pseudo-terminal: the test holds the master, the program is given the slave.
class Pty {
  public:
    // Raw: bytes are handed over as they are written. Otherwise lines are handed over whole, one
    // per read, and Ctrl-D at the start of a line ends the data, as at a shell's prompt. Neither
    // gives Ctrl-Z the meaning of a signal, echoes, or changes CRs and LFs.
    explicit Pty(bool raw) {
        master_ = ::posix_openpt(O_RDWR | O_NOCTTY | O_CLOEXEC);
        if (master_ < 0 || ::grantpt(master_) != 0 || ::unlockpt(master_) != 0) return;
        const char* name = ::ptsname(master_);
        if (name == nullptr) return;
        path_ = name;
        slave_ = ::open(name, O_RDWR | O_NOCTTY | O_CLOEXEC);
        termios mode{};
        if (slave_ < 0 || ::tcgetattr(slave_, &mode) != 0) return;
        if (raw) {
            ::cfmakeraw(&mode);
        } else {
            mode.c_lflag = (mode.c_lflag | ICANON) & ~(ISIG | ECHO | IEXTEN);
            mode.c_iflag &= ~(ICRNL | INLCR | IGNCR | IXON);
            mode.c_oflag &= ~OPOST;
            mode.c_cc[VEOF] = 4;
        }
        ok_ = ::tcsetattr(slave_, TCSANOW, &mode) == 0;
    }
    ~Pty() {
        if (slave_ >= 0) ::close(slave_);
        if (master_ >= 0) ::close(master_);
    }
    Pty(const Pty&) = delete;
    Pty& operator=(const Pty&) = delete;
    bool ok() const { return ok_; }
    int master() const { return master_; }
    int slave() const { return slave_; }
    const std::string& path() const { return path_; }

  private:
    int master_ = -1, slave_ = -1;
    std::string path_;
    bool ok_ = false;
};

constexpr milliseconds kPatience{10000};

bool write_all(int fd, std::string_view data) {
    while (!data.empty()) {
        const ssize_t n = ::write(fd, data.data(), data.size());
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) return false;
        data.remove_prefix(static_cast<std::size_t>(n));
    }
    return true;
}

// Reads what arrives on fd, for up to kPatience, until `got` is as long as `want`; true when it is
// `want`. With `want` no longer than `got`, it takes only what is there already.
bool arrives(int fd, std::string& got, std::string_view want) {
    const auto deadline = std::chrono::steady_clock::now() + kPatience;
    for (;;) {
        const auto left =
            std::chrono::duration_cast<milliseconds>(deadline - std::chrono::steady_clock::now());
        const bool waiting = got.size() < want.size() && left.count() > 0;
        pollfd p{fd, POLLIN, 0};
        const int ready = ::poll(&p, 1, waiting ? static_cast<int>(left.count()) : 0);
        if (ready < 0 && errno == EINTR) continue;
        if (ready <= 0) break;
        char buffer[8192];
        const ssize_t n = ::read(fd, buffer, sizeof buffer);
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) break;
        got.append(buffer, static_cast<std::size_t>(n));
    }
    return got == want;
}

bool can_see_system_calls() {
    std::ifstream self("/proc/self/syscall");
    long number = -1;
    return bool(self >> number);
}

// True once the program sleeps in a read with nothing left in the pipe whose write end is `input`:
// all it will do with the input written so far is done.
bool waits_for_input(pid_t pid, int input) {
    const auto deadline = std::chrono::steady_clock::now() + kPatience;
    while (std::chrono::steady_clock::now() < deadline) {
        int queued = -1;
        if (::ioctl(input, FIONREAD, &queued) == 0 && queued == 0) {
            // A running process shows "running" here, one asleep in a call that call's number.
            std::ifstream call("/proc/" + std::to_string(pid) + "/syscall");
            long number = -1;
            if ((call >> number) && number == SYS_read) return true;
        }
        std::this_thread::sleep_for(milliseconds(2));
    }
    return false;
}

struct TypedStep {
    std::string typed;  // written to the program's input
    std::string shown;  // everything on its output once it has dealt with that
};

TEST(ProgramTerminalInput, CtrlZEndsOnlyTheBlockReadAtThatMoment) {
    // The output is a terminal as well, so that each line shows as soon as it is printed.
    const struct {
        const char* name;
        bool raw;
        std::vector<TypedStep> steps;  // after the last, the program has ended with status 0
    } cases[] = {
        {"lines, Ctrl-Z inside one",
         false,
         {{"one\n", "one\r\n"},
          {"tw" + kCtrlZ + "o lost\nthree\n", "one\r\ntwthree\r\n"},
          {"\x04", "one\r\ntwthree\r\n"}}},
        {"lines, Ctrl-Z starting one", false, {{"one\n", "one\r\n"}, {kCtrlZ + "x\n", "one\r\n"}}},
        {"raw, Ctrl-Z ending a block",
         true,
         {{"one\ntw" + kCtrlZ, "one\r\n"},
          {"three\n", "one\r\ntwthree\r\n"},
          {kCtrlZ, "one\r\ntwthree\r\n"}}},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        Pty input(c.raw), output(true);
        ASSERT_TRUE(input.ok() && output.ok());
        Child program(MIRZET_BINARY, input.path(), output.slave());
        ASSERT_TRUE(program.started());
        std::string shown;
        for (const TypedStep& step : c.steps) {
            SCOPED_TRACE(visible(step.typed));
            ASSERT_TRUE(write_all(input.master(), step.typed));
            EXPECT_TRUE(arrives(output.master(), shown, step.shown)) << visible(shown);
        }
        ASSERT_TRUE(program.wait_for(kPatience)) << "still reading";
        EXPECT_TRUE(program.exited() && program.exit_status() == 0);
        EXPECT_TRUE(arrives(output.master(), shown, c.steps.back().shown)) << visible(shown);
    }
}

TEST(ProgramOutputTiming, ATerminalGetsEachLineAtOnceAPipeEach4096Characters) {
    if (!can_see_system_calls()) GTEST_SKIP() << "no /proc/PID/syscall to see the program wait";
    // A build for another processor runs under an emulator (its name in MIRZET_EMULATOR), whose
    // process is the one /proc shows, waiting in calls of its own.
    const char* emulator = std::getenv("MIRZET_EMULATOR");
    if (emulator != nullptr && *emulator != '\0')
        GTEST_SKIP() << "the program runs under " << emulator << ", whose calls /proc shows";
    const std::string y4088(4088, 'y');
    const struct {
        Output output;
        std::vector<TypedStep> steps;
        std::string at_end;  // everything on the output once the input has ended
    } cases[] = {
        {Output::Terminal,
         {{"line 1\n", "line 1\r\n"}, {"line 2\n", "line 1\r\nline 2\r\n"}},
         "line 1\r\nline 2\r\n"},
        // 4096 characters fill the buffer; the next one sends them.
        {Output::Pipe,
         {{"line 1\n", ""}, {y4088 + "\n", ""}, {"z\n", "line 1\r\n" + y4088 + "\r\n"}},
         "line 1\r\n" + y4088 + "\r\nz\r\n"},
    };
    Scratch scratch;
    const std::string fifo = scratch.path("input");
    ASSERT_EQ(::mkfifo(fifo.c_str(), 0600), 0);
    for (const auto& c : cases) {
        SCOPED_TRACE(output_name(c.output));
        Pty terminal(true);
        int pipe_ends[2] = {-1, -1};
        int watched = -1, given = -1;
        if (c.output == Output::Terminal) {
            ASSERT_TRUE(terminal.ok());
            watched = terminal.master();
            given = terminal.slave();
        } else {
            ASSERT_EQ(::pipe2(pipe_ends, O_CLOEXEC), 0);
            watched = pipe_ends[0];
            given = pipe_ends[1];
        }
        Child program(MIRZET_BINARY, fifo, given);
        ASSERT_TRUE(program.started());
        if (pipe_ends[1] >= 0) ::close(pipe_ends[1]);
        // The open succeeds once the program has the FIFO open for reading.
        int input = -1;
        const auto deadline = std::chrono::steady_clock::now() + kPatience;
        while (input < 0 && std::chrono::steady_clock::now() < deadline) {
            input = ::open(fifo.c_str(), O_WRONLY | O_NONBLOCK | O_CLOEXEC);
            if (input < 0) std::this_thread::sleep_for(milliseconds(2));
        }
        ASSERT_GE(input, 0) << "the program never opened its input";
        ASSERT_EQ(::fcntl(input, F_SETFL, 0), 0);
        std::string shown;
        for (const TypedStep& step : c.steps) {
            SCOPED_TRACE(step.typed.size());
            ASSERT_TRUE(write_all(input, step.typed));
            EXPECT_TRUE(arrives(watched, shown, step.shown)) << visible(shown);
            ASSERT_TRUE(waits_for_input(program.pid(), input));
            EXPECT_TRUE(arrives(watched, shown, step.shown)) << visible(shown);  // and no more
        }
        ::close(input);
        ASSERT_TRUE(program.wait_for(kPatience));
        EXPECT_TRUE(program.exited() && program.exit_status() == 0);
        EXPECT_TRUE(arrives(watched, shown, c.at_end)) << visible(shown);
        if (pipe_ends[0] >= 0) ::close(pipe_ends[0]);
    }
}

// ---------------------------------------------------------------------------------------------
// Output that fails

// At least `size` characters of lines of every length up to 150, without CRs.
std::string big_text(std::size_t size) {
    std::string block;
    for (std::size_t line = 0; line < 150; ++line) {
        block += "line " + std::to_string(line) + std::string(line, '.') + "\n";
    }
    std::string text;
    text.reserve(size + block.size());
    while (text.size() < size)
        text += block;
    return text;
}

TEST(ProgramFailingOutput, DevFullEndsWithStatusOne) {
    Scratch scratch;
    const struct {
        const char* what;
        std::string input;
    } cases[] = {
        {"one line", "a\n"},
        {"no line end", "abc"},
        {"many lines", big_text(200000)},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.what);
        expect_status(mirzet({scratch.file("in", c.input)}, to(Output::Full)), 1);
    }
    // Nothing to write, nothing failed.
    expect_status(mirzet({scratch.file("empty", "")}, to(Output::Full)), 0);
    expect_status(mirzet({}, to(Output::Full)), 1);
}

TEST(ProgramFailingOutput, ClosedStandardOutputEndsWithStatusOne) {
    Scratch scratch;
    for (const std::string& input : {"a\n"s, "abc"s, big_text(200000)}) {
        SCOPED_TRACE(input.size());
        const std::string path = scratch.file("in", input);
        expect_status(mirzet({path}, to(Output::Closed)), 1);
        // Descriptor 1 is free when the input is opened; nothing may be written into the input.
        EXPECT_EQ(read_file(path), input) << "the input file was changed";
    }
}

TEST(ProgramFailingOutput, ReaderThatGoesAwayEndsTheProcess) {
    Scratch scratch;
    const std::string input = big_text(8 << 20);
    RunOptions options = to(Output::Pipe);
    options.close_after = 64 << 10;
    const RunResult r = mirzet({scratch.file("in", input)}, options);
    ASSERT_FALSE(r.timed_out) << "still running after its reader went away";
    // Killed by SIGPIPE, as Unix filters are; a status of 1 would be sound as well.
    EXPECT_TRUE((!r.exited && r.signal == SIGPIPE) || (r.exited && r.status == 1)) << r.describe();
    EXPECT_EQ(r.err, "");
    // What arrived is the start of the copy. The input has no CR, so its first n bytes are enough
    // to give the first n of the copy.
    ASSERT_GE(r.out.size(), options.close_after);
    EXPECT_TRUE(same_bytes(crlf(input.substr(0, r.out.size())).substr(0, r.out.size()), r.out));
}

TEST(ProgramFailingOutput, VanishedReaderWithSigpipeIgnoredEndsWithStatusOne) {
    Scratch scratch;
    for (const std::string& input : {"a\n"s, big_text(200000)}) {
        SCOPED_TRACE(input.size());
        RunOptions options = to(Output::Pipe);
        options.close_after = 0;
        options.ignore_sigpipe = true;
        expect_status(mirzet({scratch.file("in", input)}, options), 1);
    }
}

// ---------------------------------------------------------------------------------------------
// Randomized differential test against the model

constexpr std::size_t kBlock = 4096;

std::string random_text(std::mt19937& rng) {
    auto below = [&](std::size_t n) {
        return std::uniform_int_distribution<std::size_t>(0, n - 1)(rng);
    };
    // Most sizes sit a few bytes either side of a block multiple.
    const std::size_t size = below(10) < 6 ? (1 + below(4)) * kBlock + below(7) - 3 : below(20001);
    std::string text;
    while (text.size() < size) {
        const std::size_t pick = below(100);
        if (pick < 30) {
            for (std::size_t n = 1 + below(60); n > 0; --n)
                text += char(' ' + below(95));
        } else if (pick < 35) {
            text += std::string(130 + below(300), char('A' + below(26)));  // a long line
        } else if (pick < 50) {
            text += '\n';
        } else if (pick < 62) {
            text += "\r\n";
        } else if (pick < 70) {
            text += '\r';
        } else if (pick < 74) {
            text += "\r\r\n";
        } else if (pick < 82) {
            text += std::string(1 + below(3), '\0');
        } else if (pick < 88) {
            text += '\xff';
        } else {
            text += char(0x80 + below(0x7f));
        }
    }
    text.resize(size);
    // Line ends at the block edges: a CR as the last byte of a block, then LF, CR or text.
    for (std::size_t edge = kBlock; edge <= text.size(); edge += kBlock) {
        const std::size_t pick = below(100);
        if (pick >= 50) continue;
        text[edge - 1] = '\r';
        if (edge < text.size()) text[edge] = pick < 30 ? '\n' : pick < 40 ? '\r' : 'x';
    }
    if (!text.empty() && below(4) == 0) {
        // Some files end early at a Ctrl-Z, often right at a block edge.
        std::size_t at = below(text.size());
        if (text.size() > kBlock && below(2) == 0) at = kBlock - 1 + below(3);
        if (at < text.size()) text[at] = kCtrlZ[0];
    }
    return text;
}

constexpr int kShards = 4;
constexpr int kFilesPerShard = 50;

class ProgramDifferential : public ::testing::TestWithParam<int> {};

TEST_P(ProgramDifferential, MatchesTheModel) {
    const int shard = GetParam();
    std::mt19937 rng(0x6d69727a + shard);
    std::uniform_int_distribution<std::size_t> chunk_size(1, 3000);
    Scratch scratch;
    for (int i = 0; i < kFilesPerShard; ++i) {
        const std::string input = random_text(rng);
        const std::string expected = dos_copy(input);
        // Mostly a file to a file; some to a terminal, some from a pipe into a pipe.
        RunResult r;
        const char* how = "file to file";
        if (i % 4 == 2) {
            how = "file to terminal";
            r = mirzet({scratch.file("in", input)}, to(Output::Terminal));
        } else if (i % 4 == 3) {
            how = "pipe to pipe";
            std::vector<std::string> chunks;
            for (std::size_t at = 0; at < input.size();) {
                const std::size_t n = chunk_size(rng);
                chunks.push_back(input.substr(at, n));
                at += n;
            }
            int fds[2];
            ASSERT_EQ(::pipe2(fds, O_CLOEXEC), 0);
            Writer writer(fds[1], fds[0], chunks, milliseconds(0));
            ::close(fds[1]);
            RunOptions options = to(Output::Pipe);
            options.inherit = {fds[0]};
            r = mirzet({"/dev/fd/" + std::to_string(fds[0])}, options);
            ::close(fds[0]);
        } else {
            r = mirzet({scratch.file("in", input)});
        }
        const bool ok = r.exited && r.status == 0 && r.err.empty() && r.out == expected;
        if (!ok) {
            const std::string kept = "/tmp/mirzet-differential-" + std::to_string(shard) + "-" +
                                     std::to_string(i) + ".bin";
            std::ofstream(kept, std::ios::binary)
                .write(input.data(), std::streamsize(input.size()));
            ADD_FAILURE() << "file " << i << " of shard " << shard << " (" << input.size()
                          << " bytes, " << how << ", kept as " << kept << "): " << r.describe()
                          << "\nstderr: " << r.err << "\n"
                          << same_bytes(expected, r.out).message();
        }
    }
}

INSTANTIATE_TEST_SUITE_P(Shards, ProgramDifferential, ::testing::Range(0, kShards));

}  // namespace
}  // namespace mirzet::test
