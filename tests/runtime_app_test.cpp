// The whole program over the fake system: start-up, the copy, the exit status and the exit flush.
#include "runtime/runtime.h"
#include "tests/fake_layer.h"
#include "textio/format.h"
#include "textio/scan.h"

namespace mirzet::testing {
namespace {

struct Arguments {
    int argc;
    char** argv;
};

// Runs under run_until_exit, which leaves by a jump: nothing here may need destroying.
void run_program(void* context) {
    auto* arguments = static_cast<Arguments*>(context);
    runtime::start(arguments->argc, arguments->argv);
}

class ProgramTest : public LayerTest {
  protected:
    // Runs `mirzet` with the given arguments and returns its exit status.
    int run(std::vector<std::string> args) {
        args.insert(args.begin(), "mirzet");
        std::vector<char*> argv;
        for (std::string& arg : args)
            argv.push_back(arg.data());
        argv.push_back(nullptr);
        Arguments arguments{static_cast<int>(args.size()), argv.data()};
        const int status = fake::run_until_exit(run_program, &arguments);
        EXPECT_TRUE(fake::exited());
        return status;
    }

    static std::string output() { return fake::contents("<stdout>"); }
};

constexpr const char* R6027 =
    "\r\nruntime error R6027\r\n- not enough space for lowio initialization\r\n";
constexpr const char* R6026 =
    "\r\nruntime error R6026\r\n- not enough space for stdio initialization\r\n";

TEST_F(ProgramTest, StartUpFailuresAreFatalRuntimeErrors) {
    // fd 2 handed down by the parent on standard output's handle, which the system's standard
    // error handle is not.
    const std::vector<std::uint8_t> fd2_on_stdout = {
        3,    0,    0,    0,    0,    0,    FD_OPEN, 0xFF,
        0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF,    static_cast<std::uint8_t>(STDOUT_HANDLE),
        0,    0,    0};
    struct Case {
        const char* name;
        std::vector<int> failed_allocations;
        std::vector<std::uint8_t> inherited;
        const char* message;
        const char* reported_on;  // the file that gets the message
    };
    const Case cases[] = {
        {"first handle block", {1}, {}, R6027, "<stderr>"},
        {"stream table", {2, 3}, {}, R6026, "<stderr>"},
        {"first handle block, fd 2 inherited", {1}, fd2_on_stdout, R6027, "<stderr>"},
        {"stream table, fd 2 inherited", {2, 3}, fd2_on_stdout, R6026, "<stdout>"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        reset_world();
        fake::set_std(pf::STD_OUTPUT_HANDLE, pf::FILE_TYPE_DISK);
        fake::set_inherited_handles(c.inherited);
        fake::add_file("in", "abc\n");
        for (int nth : c.failed_allocations)
            fake::fail_allocation(nth);
        EXPECT_EQ(run({"in"}), 255);
        const std::string other =
            std::string(c.reported_on) == "<stderr>" ? "<stdout>" : "<stderr>";
        EXPECT_EQ(fake::contents(c.reported_on), c.message);
        EXPECT_EQ(fake::contents(other), "");
        EXPECT_EQ(fake::call_count(Op::write), 1);
        EXPECT_EQ(fake::call_count(Op::create), 0);
    }
}

TEST_F(ProgramTest, AStreamTableOfTwentyIsEnough) {
    fake::add_file("in", "abc\n");
    fake::fail_allocation(2);
    EXPECT_EQ(run({"in"}), 0);
    EXPECT_EQ(output(), "abc\r\n");
}

TEST_F(ProgramTest, AFatalErrorSkipsTheExitFlush) {
    struct Body {
        static void run(void*) {
            set_fatal_error_handler(runtime::fatal_error);
            init_fd_table();
            init_stream_table();
            print_formatted("lost\n");
            raise_fatal_error(FATAL_NO_FLOATING_POINT);
        }
    };
    fake::set_std(pf::STD_OUTPUT_HANDLE, pf::FILE_TYPE_DISK);
    EXPECT_EQ(fake::run_until_exit(Body::run, nullptr), 255);
    EXPECT_EQ(output(), "");
    EXPECT_EQ(fake::contents("<stderr>"),
              "\r\nruntime error R6002\r\n- floating point not loaded\r\n");
}

struct CopyCase {
    const char* name;
    std::string input;
    std::string output;
    std::vector<std::size_t> console_writes;  // sizes of the writes to a console
};

TEST_F(ProgramTest, CopiesTheFileInDosTextForm) {
    const std::string x300(300, 'x');
    const CopyCase cases[] = {
        {"pairs and bare line ends", "a\r\nb\n", "a\r\nb\r\n", {3, 3}},
        {"NUL bytes",
         bytes({'a', 'b', 0, 'c', 'd', '\n', 'e', 'f', '\n'}),
         bytes({'a', 'b', 0, 'c', 'd', '\r', '\n', 'e', 'f', '\r', '\n'}),
         {7, 4}},
        {"long line", x300 + "\n", x300 + "\r\n", {129, 129, 44}},
        {"no final line end", "ab\ncd", "ab\r\ncd", {4, 2}},
        {"lone CR and Ctrl-Z",
         "a\rb\n\x1A"
         "c\n",
         "a\rb\r\n",
         {5}},
        {"empty", "", "", {}},
        {"Ctrl-Z first",
         "\x1A"
         "abc\n",
         "",
         {}},
        {"0xFF", bytes({0xFF, '\n'}), bytes({0xFF, '\r', '\n'}), {3}},
    };
    for (const CopyCase& c : cases) {
        for (std::uint32_t type : {pf::FILE_TYPE_CHAR, pf::FILE_TYPE_DISK, pf::FILE_TYPE_PIPE}) {
            SCOPED_TRACE(std::string(c.name) + ", output type " + std::to_string(type));
            reset_world();
            fake::set_std(pf::STD_OUTPUT_HANDLE, type);
            fake::add_file("in", c.input);
            EXPECT_EQ(run({"in"}), 0);
            EXPECT_EQ(output(), c.output);
            const std::vector<std::uint64_t> sizes = write_sizes(STDOUT_HANDLE);
            if (type == pf::FILE_TYPE_CHAR) {
                EXPECT_EQ(sizes, std::vector<std::uint64_t>(c.console_writes.begin(),
                                                            c.console_writes.end()));
            } else {
                EXPECT_EQ(sizes.size(), c.output.empty() ? 0u : 1u);  // one write, at exit
            }
            EXPECT_EQ(fake::contents("<stderr>"), "");
        }
    }
}

// Start-up takes the byte loops' path from the environment's MIRZET_SIMD, where the processor
// runs it; the copy is the same on every path.
TEST_F(ProgramTest, TheEnvironmentChoosesAPathTheProcessorRuns) {
    for (const char* name : {"baseline", "avx2", "avx512", "sse9"}) {
        SCOPED_TRACE(name);
        reset_world();
        fake::set_std(pf::STD_OUTPUT_HANDLE, pf::FILE_TYPE_DISK);
        fake::set_environment_variable("MIRZET_SIMD", name);
        fake::add_file("in", "a\r\nb\n" + std::string(200, 'c') + "\r\n");
        EXPECT_EQ(run({"in"}), 0);
        EXPECT_EQ(output(), "a\r\nb\r\n" + std::string(200, 'c') + "\r\n");
        EXPECT_EQ(scan::chosen_path, scan::path_named(name));
        EXPECT_TRUE(scan::processor_runs(scan::chosen_path));
    }
}

TEST_F(ProgramTest, MessagesGoToStandardOutputWithStatusOne) {
    struct Case {
        const char* name;
        std::vector<std::string> args;
        std::string output;
    };
    const Case cases[] = {
        {"no argument", {}, "Usage mirzet <filename> \r\n"},
        {"two arguments", {"in", "in"}, "Usage mirzet <filename> \r\n"},
        {"missing", {"no such file"}, "Cannot find file no such file \r\n"},
        {"directory", {"dir"}, "Cannot find file dir \r\n"},
        {"unknown type", {"odd"}, "Cannot find file odd \r\n"},
    };
    for (const Case& c : cases) {
        for (std::uint32_t type : {pf::FILE_TYPE_CHAR, pf::FILE_TYPE_DISK}) {
            SCOPED_TRACE(std::string(c.name) + ", output type " + std::to_string(type));
            reset_world();
            fake::set_std(pf::STD_OUTPUT_HANDLE, type);
            fake::add_file("in", "abc\n");
            fake::add_file("odd", "abc\n", pf::FILE_TYPE_UNKNOWN);
            fake::add_directory("dir");
            EXPECT_EQ(run(c.args), 1);
            EXPECT_EQ(writes_to(STDOUT_HANDLE), std::vector<std::string>{c.output});
            EXPECT_EQ(fake::call_count(Op::read), 0);
        }
    }
}

// The index in the call log of the first failed write, and of the last read.
std::pair<std::size_t, std::size_t> failed_write_and_last_read() {
    std::size_t failed = SIZE_MAX, last_read = 0;
    for (std::size_t i = 0; i < fake::calls().size(); ++i) {
        const fake::Call& call = fake::calls()[i];
        if (call.op == Op::write && call.result == -1 && failed == SIZE_MAX) failed = i;
        if (call.op == Op::read) last_read = i;
    }
    return {failed, last_read};
}

TEST_F(ProgramTest, AFailedWriteStopsTheCopyWithStatusOne) {
    // A console: the second line's write fails; the input is a pipe giving a line per read.
    fake::add_file("in", "one\ntwo\nthree\n", pf::FILE_TYPE_PIPE, {4});
    fake::fail_call(Op::write, 2, pf::ERROR_DISK_FULL);
    EXPECT_EQ(run({"in"}), 1);
    EXPECT_EQ(output(), "one\r\n");
    auto [failed, last_read] = failed_write_and_last_read();
    ASSERT_NE(failed, SIZE_MAX);
    EXPECT_LT(last_read, failed);
    EXPECT_EQ(fake::call_count(Op::read), 2);

    // A file: the write of the full buffer fails in the middle of the copy.
    reset_world();
    fake::set_std(pf::STD_OUTPUT_HANDLE, pf::FILE_TYPE_DISK);
    std::string input;
    for (int i = 0; i < 100; ++i)
        input += std::string(99, 'a' + i % 26) + "\n";
    fake::add_file("in", input);
    fake::fail_call(Op::write, 1, pf::ERROR_DISK_FULL);
    EXPECT_EQ(run({"in"}), 1);
    std::tie(failed, last_read) = failed_write_and_last_read();
    ASSERT_NE(failed, SIZE_MAX);
    EXPECT_LT(last_read, failed);
    EXPECT_EQ(read_sizes(FIRST_FILE_HANDLE), (std::vector<std::uint64_t>{4096, 4096}));
}

TEST_F(ProgramTest, AFailedExitFlushTurnsSuccessIntoStatusOne) {
    fake::set_std(pf::STD_OUTPUT_HANDLE, pf::FILE_TYPE_DISK);
    fake::add_file("in", "abc\n");
    fake::fail_call(Op::write, 1, pf::ERROR_DISK_FULL);
    EXPECT_EQ(run({"in"}), 1);
    EXPECT_EQ(fake::call_count(Op::write), 1);
    EXPECT_EQ(output(), "");
}

TEST_F(ProgramTest, AReadErrorPartWayPrintsWhatWasReadAndEndsWithStatusOne) {
    struct Case {
        const char* name;
        std::vector<std::uint32_t> chunks;
        bool for_good;  // every read from the failing one on fails
        std::string output;
    };
    const Case cases[] = {
        {"after a whole line, for good", {3}, true, "ab\r\n"},
        {"inside a line, for good", {2}, true, "ab"},
        {"inside a line, once", {2}, false, "ab\r\ncd\r\n"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        reset_world();
        fake::add_file("in", "ab\ncd\n", pf::FILE_TYPE_PIPE, c.chunks);
        if (c.for_good)
            fake::fail_calls_from(Op::read, 2, pf::ERROR_DISK_FULL);
        else
            fake::fail_call(Op::read, 2, pf::ERROR_DISK_FULL);
        EXPECT_EQ(run({"in"}), 1);
        EXPECT_EQ(output(), c.output);
    }
}

}  // namespace
}  // namespace mirzet::testing
