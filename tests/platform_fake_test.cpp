// The fake operating system: what the layer's tests rely on it to script and to record.
#include "platform/fake.h"

#include <gtest/gtest.h>

namespace mirzet::fake {
namespace {

using namespace mirzet::platform;

constexpr std::uint32_t SHARE_ALL = FILE_SHARE_READ | FILE_SHARE_WRITE;

class Fake : public ::testing::Test {
  protected:
    void SetUp() override { reset(); }
    void TearDown() override { reset(); }
};

OsHandle open(const std::string& path, std::uint32_t access = GENERIC_READ,
              std::uint32_t disposition = OPEN_EXISTING,
              std::uint32_t attributes = FILE_ATTRIBUTE_NORMAL) {
    return create_file(path.c_str(), access, SHARE_ALL, true, disposition, attributes);
}

// The sizes successive reads of `wanted` bytes get, up to the first 0 or failure (as -1).
std::vector<int> read_sizes(OsHandle handle, std::vector<std::uint32_t> wanted) {
    std::vector<int> sizes;
    char buffer[64];
    for (std::uint32_t n : wanted) {
        std::uint32_t got = 0;
        sizes.push_back(read_file(handle, buffer, n, &got) ? static_cast<int>(got) : -1);
    }
    return sizes;
}

TEST_F(Fake, PipesAndDevicesDeliverInChunks) {
    struct Case {
        const char* name;
        std::uint32_t type;
        std::vector<std::uint32_t> chunks;
        std::vector<std::uint32_t> wanted;
        std::vector<int> got;
    } cases[] = {
        {"no chunks", FILE_TYPE_PIPE, {}, {4, 64, 64}, {4, 6, 0}},
        {"last size repeats", FILE_TYPE_PIPE, {3, 2}, {64, 64, 64, 64, 64}, {3, 2, 2, 2, 1}},
        {"rest of a chunk comes next", FILE_TYPE_CHAR, {5}, {1, 64, 64, 64}, {1, 4, 5, 0}},
        {"a chunk of 0 is an empty read",
         FILE_TYPE_CHAR,
         {4, 0, 64},
         {64, 64, 64, 64},
         {4, 0, 6, 0}},
        {"disk files ignore chunks", FILE_TYPE_DISK, {1}, {64, 64}, {10, 0}},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        add_file("p", "0123456789", c.type, c.chunks);
        EXPECT_EQ(read_sizes(open("p"), c.wanted), c.got);
    }
}

TEST_F(Fake, PipeDataComesInOrderAndEndsAsScripted) {
    add_file("p", "ab\rcd", FILE_TYPE_PIPE, {3});
    OsHandle pipe = open("p");
    char buffer[8];
    std::uint32_t got = 0;
    ASSERT_TRUE(read_file(pipe, buffer, 8, &got));
    EXPECT_EQ(std::string(buffer, got), "ab\r");
    ASSERT_TRUE(read_file(pipe, buffer, 1, &got));
    EXPECT_EQ(std::string(buffer, got), "c");
    ASSERT_TRUE(read_file(pipe, buffer, 8, &got));
    EXPECT_EQ(std::string(buffer, got), "d");
    EXPECT_EQ(read_sizes(pipe, {8, 8}), (std::vector<int>{0, 0}));

    add_file("q", "xy", FILE_TYPE_PIPE);
    end_with_broken_pipe("q");
    EXPECT_EQ(read_sizes(open("q"), {8, 8}), (std::vector<int>{2, -1}));
    EXPECT_EQ(get_last_error(), ERROR_BROKEN_PIPE);
    EXPECT_EQ(read_sizes(open("q"), {0}), (std::vector<int>{0})) << "asking for nothing";
}

TEST_F(Fake, DiskFilesSeekWriteAndCut) {
    add_file("f", "hello");
    OsHandle handle = open("f", GENERIC_READ | GENERIC_WRITE);
    OsHandle other = open("f");
    std::uint32_t written = 0;
    EXPECT_EQ(set_file_pointer(handle, 2, FILE_BEGIN), 2);
    EXPECT_EQ(set_file_pointer(handle, 1, FILE_CURRENT), 3);
    EXPECT_EQ(set_file_pointer(handle, -1, FILE_END), 4);
    EXPECT_EQ(set_file_pointer(handle, -6, FILE_END), -1);
    EXPECT_EQ(get_last_error(), ERROR_NEGATIVE_SEEK);
    EXPECT_EQ(set_file_pointer(handle, 0, 3), -1);
    EXPECT_EQ(get_last_error(), ERROR_INVALID_PARAMETER);
    EXPECT_EQ(set_file_pointer(handle, 7, FILE_BEGIN), 7);
    ASSERT_TRUE(write_file(handle, "!", 1, &written));
    EXPECT_EQ(contents("f"), std::string("hello\0\0!", 8));
    EXPECT_EQ(set_file_pointer(handle, 1, FILE_BEGIN), 1);
    ASSERT_TRUE(write_file(handle, "EL", 2, &written));
    EXPECT_TRUE(set_end_of_file(handle));
    EXPECT_EQ(contents("f"), "hEL");
    EXPECT_EQ(read_sizes(other, {2, 8}), (std::vector<int>{2, 1})) << "positions are per handle";

    add_file("p", "", FILE_TYPE_PIPE);
    OsHandle pipe = open("p", GENERIC_READ | GENERIC_WRITE);
    EXPECT_EQ(set_file_pointer(pipe, 0, FILE_BEGIN), -1);
    EXPECT_EQ(get_last_error(), ERROR_INVALID_FUNCTION);
    ASSERT_TRUE(write_file(pipe, "ab", 2, &written));
    ASSERT_TRUE(write_file(pipe, "c", 1, &written));
    EXPECT_EQ(contents("p"), "abc");
}

TEST_F(Fake, OpensAndAccessAreRefusedAsOnTheRealSystem) {
    add_file("f", "data");
    add_directory("d");
    add_file("u", "?", FILE_TYPE_UNKNOWN);
    OsHandle reader = open("f");
    OsHandle writer = open("f", GENERIC_WRITE);
    OsHandle closed = open("f");
    close_handle(closed);
    char buffer[4];
    std::uint32_t n = 0;
    struct Case {
        const char* what;
        bool ok;
        std::uint32_t error;
    };
    auto check = [](const Case& c) {
        SCOPED_TRACE(c.what);
        EXPECT_FALSE(c.ok);
        EXPECT_EQ(get_last_error(), c.error);
    };
    check({"missing", open("none") != INVALID_HANDLE_VALUE, ERROR_FILE_NOT_FOUND});
    check({"cut missing", open("none", GENERIC_WRITE, TRUNCATE_EXISTING) != INVALID_HANDLE_VALUE,
           ERROR_FILE_NOT_FOUND});
    check({"create existing", open("f", GENERIC_WRITE, CREATE_NEW) != INVALID_HANDLE_VALUE,
           ERROR_FILE_EXISTS});
    check({"directory", open("d") != INVALID_HANDLE_VALUE, ERROR_ACCESS_DENIED});
    check({"read write-only", read_file(writer, buffer, 4, &n), ERROR_ACCESS_DENIED});
    check({"write read-only", write_file(reader, "x", 1, &n), ERROR_ACCESS_DENIED});
    check({"cut read-only", set_end_of_file(reader), ERROR_ACCESS_DENIED});
    check({"read closed", read_file(closed, buffer, 4, &n), ERROR_INVALID_HANDLE});
    check({"close closed", close_handle(closed), ERROR_INVALID_HANDLE});
    check({"type of closed", get_file_type(closed) != FILE_TYPE_UNKNOWN, ERROR_INVALID_HANDLE});
    check({"type of unknown", get_file_type(open("u")) != FILE_TYPE_UNKNOWN, ERROR_INVALID_HANDLE});
    EXPECT_FALSE(exists("none"));
    EXPECT_EQ(contents("f"), "data");

    OsHandle fresh = open("new", GENERIC_WRITE, CREATE_ALWAYS, FILE_ATTRIBUTE_READONLY);
    EXPECT_TRUE(write_file(fresh, "x", 1, &n)) << "the creating handle may write";
    check({"write-open read-only file", open("new", GENERIC_WRITE) != INVALID_HANDLE_VALUE,
           ERROR_ACCESS_DENIED});
    OsHandle cut = open("f", GENERIC_WRITE, TRUNCATE_EXISTING);
    EXPECT_NE(cut, INVALID_HANDLE_VALUE);
    EXPECT_EQ(contents("f"), "");
}

TEST_F(Fake, InjectedFailuresLandOnTheirCall) {
    add_file("f", "abcdef");
    add_file("out", "");
    OsHandle in = open("f");
    OsHandle out = open("out", GENERIC_WRITE);
    fail_call(Op::read, 2, 31);
    EXPECT_EQ(read_sizes(in, {2, 2, 2}), (std::vector<int>{2, -1, 2}));
    EXPECT_EQ(calls_of(Op::read)[1].error, 31u);

    short_write(2, 1);
    fail_calls_from(Op::write, 3, ERROR_DISK_FULL);
    std::uint32_t written = 0;
    EXPECT_TRUE(write_file(out, "ab", 2, &written));
    EXPECT_EQ(written, 2u);
    EXPECT_TRUE(write_file(out, "cd", 2, &written));
    EXPECT_EQ(written, 1u);
    EXPECT_FALSE(write_file(out, "ef", 2, &written));
    EXPECT_EQ(get_last_error(), ERROR_DISK_FULL);
    EXPECT_FALSE(write_file(out, "gh", 2, &written));
    EXPECT_EQ(contents("out"), "abc");

    // A success leaves the last error as it was.
    EXPECT_EQ(set_file_pointer(in, 0, FILE_BEGIN), 0);
    EXPECT_EQ(get_last_error(), ERROR_DISK_FULL);

    fail_call(Op::create, 3, ERROR_SHARING_VIOLATION);
    EXPECT_EQ(open("f"), INVALID_HANDLE_VALUE);
    EXPECT_EQ(get_last_error(), ERROR_SHARING_VIOLATION);

    report_unknown_type(2);
    fail_call(Op::file_type, 3, ERROR_INVALID_FUNCTION);
    EXPECT_EQ(get_file_type(in), FILE_TYPE_DISK);
    EXPECT_EQ(get_file_type(in), FILE_TYPE_UNKNOWN);
    EXPECT_EQ(get_last_error(), ERROR_SUCCESS) << "a type that cannot be told is no failure";
    EXPECT_EQ(get_file_type(in), FILE_TYPE_UNKNOWN);
    EXPECT_EQ(get_last_error(), ERROR_INVALID_FUNCTION);
    EXPECT_EQ(get_file_type(in), FILE_TYPE_DISK);
}

TEST_F(Fake, EveryCallIsLogged) {
    add_file("f", "abc");
    OsHandle handle = open("f", GENERIC_READ | GENERIC_WRITE, OPEN_ALWAYS, FILE_ATTRIBUTE_NORMAL);
    std::uint32_t n = 0;
    char buffer[2];
    read_file(handle, buffer, 2, &n);
    write_file(handle, "x\n", 2, &n);
    set_file_pointer(handle, -1, FILE_CURRENT);
    get_file_type(handle);
    flush_file_buffers(handle);
    set_end_of_file(handle);
    close_handle(handle);
    allocate(16);

    const std::vector<Call>& log = calls();
    ASSERT_EQ(log.size(), 9u);
    std::vector<Op> ops;
    for (const Call& call : log)
        ops.push_back(call.op);
    EXPECT_EQ(ops, (std::vector<Op>{Op::create, Op::read, Op::write, Op::seek, Op::file_type,
                                    Op::flush, Op::set_end, Op::close, Op::allocate}));
    EXPECT_EQ(log[0].path, "f");
    EXPECT_EQ(log[0].access, GENERIC_READ | GENERIC_WRITE);
    EXPECT_EQ(log[0].share, SHARE_ALL);
    EXPECT_EQ(log[0].disposition, OPEN_ALWAYS);
    EXPECT_EQ(log[0].result, handle);
    EXPECT_EQ(log[1].size, 2u);
    EXPECT_EQ(log[1].result, 2);
    EXPECT_EQ(log[2].bytes, "x\n");
    EXPECT_EQ(static_cast<std::int64_t>(log[3].size), -1);
    EXPECT_EQ(log[3].origin, FILE_CURRENT);
    EXPECT_EQ(log[3].result, 3);
    EXPECT_EQ(log[4].result, FILE_TYPE_DISK);
    EXPECT_EQ(log[8].size, 16u);
    EXPECT_EQ(call_count(Op::write), 1);
    EXPECT_EQ(calls_of(Op::seek).size(), 1u);
}

TEST_F(Fake, AllocationFailsOnCueAndResetForgetsEverything) {
    fail_allocation(2);
    auto* first = static_cast<unsigned char*>(allocate(8));
    ASSERT_NE(first, nullptr);
    EXPECT_EQ(first[0], 0xA5) << "fresh memory must not look initialised";
    EXPECT_EQ(first[7], 0xA5);
    EXPECT_EQ(allocate(8), nullptr);
    EXPECT_EQ(calls_of(Op::allocate)[1].result, -1);
    EXPECT_NE(allocate(8), nullptr);

    add_file("f", "x");
    fail_calls_from(Op::read, 1, 31);
    set_inherited_handles({1, 0, 0, 0, 0x81, 7, 0, 0, 0});
    EXPECT_EQ(get_inherited_handles().size, 9u);
    reset();
    EXPECT_TRUE(calls().empty());
    EXPECT_EQ(call_count(Op::allocate), 0);
    EXPECT_FALSE(exists("f"));
    EXPECT_EQ(get_inherited_handles().size, 0u);
    EXPECT_EQ(get_last_error(), ERROR_SUCCESS);
    add_file("f", "x");
    EXPECT_EQ(read_sizes(open("f"), {4}), (std::vector<int>{1})) << "injections are forgotten";
    EXPECT_EQ(calls_of(Op::create)[0].result, FIRST_FILE_HANDLE) << "handle numbers start again";
}

TEST_F(Fake, StandardHandles) {
    OsHandle in = get_std_handle(STD_INPUT_HANDLE);
    OsHandle out = get_std_handle(STD_OUTPUT_HANDLE);
    for (std::uint32_t which : {STD_INPUT_HANDLE, STD_OUTPUT_HANDLE, STD_ERROR_HANDLE}) {
        EXPECT_EQ(get_file_type(get_std_handle(which)), FILE_TYPE_CHAR);
    }
    EXPECT_EQ(read_sizes(in, {8}), (std::vector<int>{0}));
    std::uint32_t n = 0;
    ASSERT_TRUE(write_file(out, "a\r\n", 3, &n));
    ASSERT_TRUE(write_file(out, "b", 1, &n));
    EXPECT_EQ(contents("<stdout>"), "a\r\nb");
    EXPECT_EQ(contents("<stderr>"), "");

    add_file("<stdin>", "typed", FILE_TYPE_PIPE, {2});
    EXPECT_EQ(read_sizes(in, {8, 8, 8, 8}), (std::vector<int>{2, 2, 1, 0}));
    EXPECT_EQ(get_file_type(in), FILE_TYPE_PIPE);

    set_std(STD_OUTPUT_HANDLE, FILE_TYPE_DISK);
    EXPECT_EQ(get_file_type(get_std_handle(STD_OUTPUT_HANDLE)), FILE_TYPE_DISK);
    EXPECT_EQ(contents("<stdout>"), "") << "a fresh file";
    set_std(STD_ERROR_HANDLE, FILE_TYPE_CHAR, false);
    EXPECT_EQ(get_std_handle(STD_ERROR_HANDLE), INVALID_HANDLE_VALUE);
    EXPECT_TRUE(set_std_handle(STD_ERROR_HANDLE, 0));
    EXPECT_EQ(get_std_handle(STD_ERROR_HANDLE), 0);
}

TEST_F(Fake, DeleteOnCloseRemovesTheFileWithItsLastHandle) {
    OsHandle first = open("t", GENERIC_READ | GENERIC_WRITE, CREATE_NEW,
                          FILE_ATTRIBUTE_NORMAL | FILE_FLAG_DELETE_ON_CLOSE);
    OsHandle second = open("t");
    close_handle(first);
    EXPECT_TRUE(exists("t"));
    close_handle(second);
    EXPECT_FALSE(exists("t"));
}

TEST_F(Fake, ExitProcessJumpsBackToTheRunner) {
    auto exits = [](void* status) { exit_process(*static_cast<std::uint32_t*>(status)); };
    auto returns = [](void*) {};
    std::uint32_t status = 3;
    EXPECT_EQ(run_until_exit(exits, &status), 3);
    EXPECT_TRUE(exited());
    EXPECT_EQ(run_until_exit(returns, nullptr), -1);
    EXPECT_FALSE(exited());
    status = 0xFFFFFFFFu;
    EXPECT_EQ(run_until_exit(exits, &status), -1);
    EXPECT_TRUE(exited()) << "all bits set is told apart from a return";

    // Nested runs each catch their own exit.
    auto nested = [](void* outer_status) {
        std::uint32_t inner = 4;
        auto exits_inner = [](void* s) { exit_process(*static_cast<std::uint32_t*>(s)); };
        EXPECT_EQ(run_until_exit(exits_inner, &inner), 4);
        exit_process(*static_cast<std::uint32_t*>(outer_status));
    };
    status = 5;
    EXPECT_EQ(run_until_exit(nested, &status), 5);
}

TEST(FakeDeath, ExitProcessOutsideARunEndsTheProcess) {
    EXPECT_EXIT(exit_process(7), ::testing::ExitedWithCode(7), "");
}

}  // namespace
}  // namespace mirzet::fake
