// Buffered streams over the fake system: the stream table, opening by mode string, line reading
// and its refills, and the buffering of print calls on standard output.
#include <algorithm>
#include <cstring>

#include "tests/fake_layer.h"
#include "textio/format.h"

namespace mirzet::testing {
namespace {

// ---- the stream table ----

TEST_F(LayerTest, StreamTableStartsWithTheStandardStreams) {
    start_layer();
    EXPECT_EQ(stream_table_size, 512);
    EXPECT_EQ(fake::calls_of(Op::allocate)[1].size, 512 * sizeof(Stream*));
    for (int i = 0; i < 20; ++i)
        ASSERT_NE(stream_table[i], nullptr) << i;
    for (int i = 20; i < 512; ++i)
        ASSERT_EQ(stream_table[i], nullptr) << i;
    const Stream& in = *stream_table[0];
    EXPECT_EQ(in.flags, STREAM_READ | STREAM_LENT_BUFFER);
    EXPECT_EQ(in.fd, 0);
    EXPECT_NE(in.base, nullptr);
    EXPECT_EQ(in.next, in.base);
    EXPECT_EQ(in.buffer_size, 4096);
    EXPECT_EQ(in.count, 0);
    for (int i = 1; i < 3; ++i) {
        EXPECT_EQ(stream_table[i]->flags, STREAM_WRITE);
        EXPECT_EQ(stream_table[i]->fd, i);
        EXPECT_EQ(stream_table[i]->base, nullptr);
        EXPECT_EQ(stream_table[i]->buffer_size, 0);
    }
    for (int i = 3; i < 20; ++i)
        EXPECT_EQ(stream_table[i]->flags, 0u) << i;
}

TEST_F(LayerTest, StreamTableFallsBackToTwentyEntries) {
    fake::fail_allocation(2);
    start_layer();
    EXPECT_EQ(stream_table_size, 20);
    EXPECT_EQ(fake::calls_of(Op::allocate)[2].size, 20 * sizeof(Stream*));
    EXPECT_EQ(stream_table[19]->flags, 0u);

    reset_world();
    fake::fail_allocation(2);
    fake::fail_allocation(3);
    ASSERT_TRUE(init_fd_table());
    EXPECT_FALSE(init_stream_table());
}

// ---- opening ----

struct ModeCase {
    const char* mode;
    std::uint32_t access, disposition, attributes;
    std::uint8_t fd_flags;
    std::uint32_t stream_flags;
};

TEST_F(LayerTest, ModeStringsChooseOpenAndStreamFlags) {
    constexpr std::uint32_t R = pf::GENERIC_READ, W = pf::GENERIC_WRITE;
    constexpr std::uint32_t N = pf::FILE_ATTRIBUTE_NORMAL;
    constexpr std::uint32_t EXISTING = pf::OPEN_EXISTING, ALWAYS = pf::OPEN_ALWAYS,
                            CREATE = pf::CREATE_ALWAYS;
    // The flags of the slot opened.
    constexpr std::uint8_t TEXT = FD_OPEN | FD_TEXT, TEXT_APPEND = TEXT | FD_APPEND,
                           BINARY = FD_OPEN, BINARY_APPEND = BINARY | FD_APPEND;
    const ModeCase cases[] = {
        {"r", R, EXISTING, N, TEXT, STREAM_READ},
        {"w", W, CREATE, N, TEXT, STREAM_WRITE},
        {"a", W, ALWAYS, N, TEXT_APPEND, STREAM_WRITE},
        {"r+", R | W, EXISTING, N, TEXT, STREAM_UPDATE},
        {"w+", R | W, CREATE, N, TEXT, STREAM_UPDATE},
        {"a+", R | W, ALWAYS, N, TEXT_APPEND, STREAM_UPDATE},
        {"r+b", R | W, EXISTING, N, BINARY, STREAM_UPDATE},
        {"r++b", R | W, EXISTING, N, TEXT, STREAM_UPDATE},
        {"r+x+", R | W, EXISTING, N, TEXT, STREAM_UPDATE},
        {"rxb", R, EXISTING, N, TEXT, STREAM_READ},
        {"rb", R, EXISTING, N, BINARY, STREAM_READ},
        {"rt", R, EXISTING, N, TEXT, STREAM_READ},
        {"rtb", R, EXISTING, N, TEXT, STREAM_READ},
        {"rbt", R, EXISTING, N, BINARY, STREAM_READ},
        {"rc", R, EXISTING, N, TEXT, STREAM_READ | STREAM_COMMIT},
        {"rcn", R, EXISTING, N, TEXT, STREAM_READ | STREAM_COMMIT},
        {"rnc", R, EXISTING, N, TEXT, STREAM_READ},
        {"rS", R, EXISTING, N | pf::FILE_FLAG_SEQUENTIAL_SCAN, TEXT, STREAM_READ},
        {"rR", R, EXISTING, N | pf::FILE_FLAG_RANDOM_ACCESS, TEXT, STREAM_READ},
        {"rSR", R, EXISTING, N | pf::FILE_FLAG_SEQUENTIAL_SCAN, TEXT, STREAM_READ},
        {"rRS", R, EXISTING, N | pf::FILE_FLAG_RANDOM_ACCESS, TEXT, STREAM_READ},
        {"rT", R, EXISTING, N | pf::FILE_ATTRIBUTE_TEMPORARY, TEXT, STREAM_READ},
        {"rD", R | pf::DELETE, EXISTING, N | pf::FILE_FLAG_DELETE_ON_CLOSE, TEXT, STREAM_READ},
        {"rTDTb", R | pf::DELETE, EXISTING,
         N | pf::FILE_ATTRIBUTE_TEMPORARY | pf::FILE_FLAG_DELETE_ON_CLOSE, TEXT, STREAM_READ},
        {"a+bcS", R | W, ALWAYS, N | pf::FILE_FLAG_SEQUENTIAL_SCAN, BINARY_APPEND,
         STREAM_UPDATE | STREAM_COMMIT},
    };
    for (const ModeCase& c : cases) {
        SCOPED_TRACE(c.mode);
        reset_world();
        start_layer();
        fake::add_file("f", "data\n");
        const int allocations = fake::call_count(Op::allocate);
        Stream* stream = open_stream("f", c.mode);
        ASSERT_EQ(stream, stream_table[3]);
        EXPECT_EQ(stream->fd, 3);
        EXPECT_EQ(stream->flags, c.stream_flags);
        EXPECT_EQ(stream->base, nullptr);  // the first refill brings the buffer
        EXPECT_EQ(stream->count, 0);
        EXPECT_EQ(fake::call_count(Op::allocate), allocations);
        const std::vector<fake::Call> creates = fake::calls_of(Op::create);
        ASSERT_EQ(creates.size(), 1u);
        EXPECT_EQ(creates[0].access, c.access);
        EXPECT_EQ(creates[0].share, pf::FILE_SHARE_READ | pf::FILE_SHARE_WRITE);
        EXPECT_EQ(creates[0].disposition, c.disposition);
        EXPECT_EQ(creates[0].attributes, c.attributes);
        EXPECT_TRUE(creates[0].inherit);
        EXPECT_EQ(slot_of(3).fd_flags, c.fd_flags);
    }
}

TEST_F(LayerTest, FailedOpensLeaveNoStreamAndNoFdInUse) {
    struct Case {
        const char* name;
        const char* path;
        const char* mode;
        int share;
        int creates;
    };
    const Case cases[] = {
        {"empty mode", "f", "", SHARE_DENY_NONE, 0},
        {"bad first letter", "f", "x", SHARE_DENY_NONE, 0},
        {"upper case", "f", "R", SHARE_DENY_NONE, 0},
        {"plus first", "f", "+r", SHARE_DENY_NONE, 0},
        {"bad share", "f", "r", 0x50, 0},
        {"missing", "nope", "r", SHARE_DENY_NONE, 1},
        {"directory", "dir", "r", SHARE_DENY_NONE, 1},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        reset_world();
        start_layer();
        fake::add_file("f", "data\n");
        fake::add_directory("dir");
        EXPECT_EQ(open_stream_shared(c.path, c.mode, c.share), nullptr);
        EXPECT_EQ(fake::call_count(Op::create), c.creates);
        EXPECT_EQ(stream_table[3]->flags, 0u);
        EXPECT_EQ(slot_of(3).fd_flags, 0);
        Stream* stream = open_stream("f", "r");
        EXPECT_EQ(stream, stream_table[3]);
        EXPECT_EQ(stream->fd, 3);
    }
}

TEST_F(LayerTest, FindFreeStreamAllocatesPastTheStaticRecords) {
    start_layer();
    for (int i = 3; i < 20; ++i)
        stream_table[i]->flags = STREAM_READ;
    const int allocations = fake::call_count(Op::allocate);
    fake::fail_allocation(allocations + 1);
    EXPECT_EQ(find_free_stream(), nullptr);
    EXPECT_EQ(stream_table[20], nullptr);

    Stream* stream = find_free_stream();
    ASSERT_NE(stream, nullptr);
    EXPECT_EQ(stream, stream_table[20]);
    EXPECT_EQ(fake::calls_of(Op::allocate).back().size, sizeof(Stream));
    EXPECT_EQ(stream->flags, 0u);
    EXPECT_EQ(stream->fd, -1);
    EXPECT_EQ(stream->base, nullptr);
    EXPECT_EQ(stream->next, nullptr);
    EXPECT_EQ(stream->temp_name, nullptr);
    EXPECT_EQ(stream->count, 0);
    // Still free, so it is handed out again without a new record.
    EXPECT_EQ(find_free_stream(), stream);
    EXPECT_EQ(fake::call_count(Op::allocate), allocations + 2);

    // A table of twenty entries, all in use.
    reset_world();
    fake::fail_allocation(2);
    start_layer();
    for (int i = 3; i < 20; ++i)
        stream_table[i]->flags = STREAM_WRITE;
    EXPECT_EQ(find_free_stream(), nullptr);
    EXPECT_EQ(fake::call_count(Op::allocate), 3);
}

// ---- get_line ----

TEST_F(LayerTest, GetLineCapacityBelowTwo) {
    start_layer();
    fake::add_file("f", "abc\n");
    Stream* stream = open_stream("f", "r");
    char buffer[4] = {'Q', 'Q', 'Q', 'Q'};
    EXPECT_EQ(get_line(buffer, 0, stream), nullptr);
    EXPECT_EQ(get_line(buffer, -5, stream), nullptr);
    EXPECT_EQ(buffer[0], 'Q');
    EXPECT_EQ(get_line(buffer, 1, stream), buffer);
    EXPECT_EQ(buffer[0], '\0');
    EXPECT_EQ(buffer[1], 'Q');
    EXPECT_EQ(fake::call_count(Op::read), 0);
}

struct LinesCase {
    const char* name;
    std::string data;
    std::vector<std::string> pieces;
};

TEST_F(LayerTest, GetLineDeliversPieces) {
    const std::string x300(300, 'x');
    const LinesCase cases[] = {
        {"CR-LF and LF", "a\r\nb\n", {"a\n", "b\n"}},
        {"long line",
         x300 + "\n",
         {x300.substr(0, 129), x300.substr(0, 129), x300.substr(0, 42) + "\n"}},
        {"NUL and 0xFF",
         bytes({'a', 0, 'b', 0xFF, 'c', '\n', 'd'}),
         {bytes({'a', 0, 'b', 0xFF, 'c', '\n'}), "d"}},
        {"no final line end", "ab\ncd", {"ab\n", "cd"}},
        {"Ctrl-Z first",
         "\x1A"
         "abc\n",
         {}},
        {"empty", "", {}},
        {"exactly 129", std::string(129, 'y') + "\n", {std::string(129, 'y'), "\n"}},
    };
    for (const LinesCase& c : cases) {
        SCOPED_TRACE(c.name);
        reset_world();
        start_layer();
        fake::add_file("f", c.data);
        Stream* stream = open_stream("f", "r");
        ASSERT_NE(stream, nullptr);
        char buffer[130];
        for (const std::string& piece : c.pieces) {
            const std::int32_t n = get_line_length(buffer, 130, stream);
            ASSERT_EQ(n, static_cast<std::int32_t>(piece.size()));
            EXPECT_EQ(std::string(buffer, static_cast<std::size_t>(n)), piece);
            EXPECT_EQ(buffer[n], '\0');
        }
        std::memset(buffer, 'Q', sizeof buffer);
        EXPECT_EQ(get_line(buffer, 130, stream), nullptr);
        EXPECT_EQ(buffer[0], 'Q');
        EXPECT_TRUE(stream->flags & STREAM_EOF);
        EXPECT_FALSE(stream->flags & STREAM_ERROR);
        // The 4096-byte refills: the buffer is sized once and every read asks for all of it.
        for (std::uint64_t size : read_sizes(FIRST_FILE_HANDLE))
            EXPECT_EQ(size, 4096u);
        EXPECT_EQ(stream->buffer_size, 4096);
        EXPECT_TRUE(stream->flags & STREAM_OWN_BUFFER);
    }
}

TEST_F(LayerTest, GetLineReturnsAPieceCutByAnErrorAndAsksAgainAfterEndOfFile) {
    start_layer();
    fake::add_file("p", "abcd\n", pf::FILE_TYPE_PIPE, {2});
    Stream* stream = open_stream("p", "r");
    fake::fail_call(Op::read, 2, pf::ERROR_DISK_FULL);
    char buffer[130];
    ASSERT_EQ(get_line(buffer, 130, stream), buffer);
    EXPECT_STREQ(buffer, "ab");
    EXPECT_TRUE(stream->flags & STREAM_ERROR);
    EXPECT_FALSE(stream->flags & STREAM_EOF);
    ASSERT_EQ(get_line(buffer, 130, stream), buffer);
    EXPECT_STREQ(buffer, "cd\n");
    EXPECT_EQ(get_line(buffer, 130, stream), nullptr);
    EXPECT_TRUE(stream->flags & STREAM_EOF);
    const int reads = fake::call_count(Op::read);
    EXPECT_EQ(get_line(buffer, 130, stream), nullptr);
    EXPECT_EQ(fake::call_count(Op::read), reads + 1);

    reset_world();
    start_layer();
    fake::add_file("f", "abc\n");
    stream = open_stream("f", "r");
    fake::fail_call(Op::read, 1, pf::ERROR_DISK_FULL);
    EXPECT_EQ(get_line(buffer, 130, stream), nullptr);
    EXPECT_TRUE(stream->flags & STREAM_ERROR);
    EXPECT_FALSE(stream->flags & STREAM_EOF);
    EXPECT_EQ(stream->count, 0);
}

// Every piece get_line gives for the file, with the stream's buffer refused or not.
std::vector<std::string> read_pieces(const std::string& data, std::uint32_t type, bool refused) {
    reset_world();
    fake::add_file("f", data, type);
    EXPECT_TRUE(init_fd_table());
    EXPECT_TRUE(init_stream_table());
    Stream* stream = open_stream("f", "r");
    if (refused) fake::fail_allocation(fake::call_count(Op::allocate) + 1);
    std::vector<std::string> pieces;
    char buffer[8];
    for (std::int32_t n; (n = get_line_length(buffer, 8, stream)) >= 0;)
        pieces.emplace_back(buffer, static_cast<std::size_t>(n));
    EXPECT_EQ(stream->buffer_size, refused ? 2 : 4096);
    EXPECT_EQ((stream->flags & STREAM_UNBUFFERED) != 0, refused);
    for (std::uint64_t size : read_sizes(FIRST_FILE_HANDLE))
        EXPECT_LE(size, refused ? 2u : 4096u);
    return pieces;
}

TEST_F(LayerTest, TheTwoCharacterFallbackDeliversTheSameText) {
    const std::string data = "a\r\nb\r\n\r\nc\rd\r\r\nef\r\n\r\nlong line here\r\ng\r";
    const std::string text = "a\nb\n\nc\rd\r\nef\n\nlong line here\ng\r";
    for (std::uint32_t type : {pf::FILE_TYPE_DISK, pf::FILE_TYPE_PIPE}) {
        SCOPED_TRACE(type);
        const std::vector<std::string> buffered = read_pieces(data, type, false);
        const std::vector<std::string> fallback = read_pieces(data, type, true);
        EXPECT_EQ(fallback, buffered);
        std::string joined;
        for (const std::string& piece : fallback)
            joined += piece;
        EXPECT_EQ(joined, text);
    }
}

// ---- print calls ----

TEST_F(LayerTest, PrintToAConsoleWritesOncePerCall) {
    struct Case {
        const char* name;
        std::int32_t result;
        std::vector<std::string> writes;
    };
    start_layer();
    const Case cases[] = {
        {"usage", print_formatted("Usage mirzet <filename> \n"), {"Usage mirzet <filename> \r\n"}},
        {"null string", print_formatted("%s", static_cast<const char*>(nullptr)), {"(null)"}},
        {"empty string", print_formatted("%s", ""), {}},
        {"percent signs", print_formatted("50%% off%"), {"50% off"}},
        {"conversions", print_formatted("%-4s|%05d|%x\n", "ab", -42, 255u), {"ab  |-0042|ff\r\n"}},
        {"characters", print_formatted("%c%c\n", 'o', 'k'), {"ok\r\n"}},
        {"message",
         print_formatted("Cannot find file %s \n", "a b"),
         {"Cannot find file a b \r\n"}},
        {"NUL and 0xFF",
         print_chars(bytes({'a', 0, 0xFF, '\n'}).data(), 4),
         {bytes({'a', 0, 0xFF, '\r', '\n'})}},
    };
    std::size_t seen = 0;
    const std::vector<std::string> all = writes_to(STDOUT_HANDLE);
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        const std::int32_t expected = c.writes.empty() ? 0 : [&] {
            std::int32_t n = 0;
            for (char ch : c.writes[0])
                n += ch == CR ? 0 : 1;
            return n;
        }();
        EXPECT_EQ(c.result, expected);
        for (const std::string& write : c.writes) {
            ASSERT_LT(seen, all.size());
            EXPECT_EQ(all[seen++], write);
        }
    }
    EXPECT_EQ(seen, all.size());
    EXPECT_EQ(all[0].size(), 26u);
    // Between calls the console's standard output holds no buffer.
    const Stream& out = *standard_output();
    EXPECT_EQ(out.flags, STREAM_WRITE);
    EXPECT_EQ(out.base, nullptr);
    EXPECT_EQ(out.buffer_size, 0);
    EXPECT_EQ(out.count, 0);
    EXPECT_EQ(fake::call_count(Op::allocate), 3);  // one temporary block for every call
}

TEST_F(LayerTest, PrintToAFileWritesAtExit) {
    start_layer(pf::FILE_TYPE_DISK);
    EXPECT_EQ(print_formatted("Usage mirzet <filename> \n"), 25);
    EXPECT_EQ(print_formatted("%s=%+d\n", "a", 1), 5);
    EXPECT_EQ(print_formatted("%3s\n", "b"), 4);
    EXPECT_EQ(fake::call_count(Op::write), 0);
    EXPECT_EQ(flush_all_streams(), 3);
    EXPECT_EQ(writes_to(STDOUT_HANDLE),
              (std::vector<std::string>{"Usage mirzet <filename> \r\na=+1\r\n  b\r\n"}));
}

TEST_F(LayerTest, ACallOfMoreThan4096CharactersWritesTheFirst4096First) {
    // A file's or pipe's buffer, which keeps its text converted, holds 4096 characters whatever
    // their CRs, as a console's does: the rest is written at its end or at exit.
    for (std::uint32_t type : {pf::FILE_TYPE_CHAR, pf::FILE_TYPE_DISK, pf::FILE_TYPE_PIPE}) {
        SCOPED_TRACE(type);
        reset_world();
        start_layer(type);
        const std::string text = "a" + std::string(4096, LF);
        EXPECT_EQ(print_chars(text.data(), 4097), 4097);
        EXPECT_EQ(flush_all_streams(), 3);
        // A write of all 4097 at once would be chunked [1025, 1024 x 7].
        EXPECT_EQ(write_sizes(STDOUT_HANDLE),
                  (std::vector<std::uint64_t>{1025, 1024, 1024, 1024, 1024, 1024, 1024, 1022, 2}));
        std::string dos = "a";
        for (int i = 0; i < 4096; ++i)
            dos += "\r\n";
        EXPECT_EQ(fake::contents("<stdout>"), dos);
    }
}

TEST_F(LayerTest, ARedirectedOutputWritesWhenTheBufferOverflows) {
    start_layer(pf::FILE_TYPE_PIPE);
    const std::string half(2048, 'a');
    EXPECT_EQ(print_chars(half.data(), 2048), 2048);
    EXPECT_EQ(print_chars(half.data(), 2048), 2048);
    EXPECT_EQ(fake::call_count(Op::write), 0);
    EXPECT_EQ(print_chars("b", 1), 1);
    EXPECT_EQ(write_sizes(STDOUT_HANDLE), (std::vector<std::uint64_t>{1024, 1024, 1024, 1024}));
    EXPECT_EQ(flush_all_streams(), 3);
    std::string written(4096, 'a');
    written += 'b';  // appended, not concatenated: armhf's GCC 12 warns falsely on the temporary
    EXPECT_EQ(fake::contents("<stdout>"), written);
    EXPECT_EQ(fake::call_count(Op::allocate), 3);  // the stream's own buffer, once
    EXPECT_TRUE(standard_output()->flags & STREAM_OWN_BUFFER);
}

TEST_F(LayerTest, WithoutABufferEveryCharacterIsWrittenByItself) {
    // A console's temporary block is sought again by the next call; a file's own buffer is not.
    struct Case {
        std::uint32_t type;
        int allocations;
        std::vector<std::string> writes;
    };
    const Case cases[] = {
        {pf::FILE_TYPE_CHAR, 4, {"a", "b", "\r\n", "cd"}},
        {pf::FILE_TYPE_DISK, 3, {"a", "b", "\r\n", "c", "d"}},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.type);
        reset_world();
        start_layer(c.type);
        fake::fail_allocation(3);
        EXPECT_EQ(print_formatted("ab\n"), 3);
        EXPECT_EQ(print_formatted("cd"), 2);
        EXPECT_EQ(fake::call_count(Op::allocate), c.allocations);
        EXPECT_EQ(writes_to(STDOUT_HANDLE), c.writes);
        EXPECT_EQ(flush_all_streams(), 3);
        EXPECT_EQ(writes_to(STDOUT_HANDLE).size(), c.writes.size());
    }
}

TEST_F(LayerTest, AFailedWriteOfAFullBufferEndsTheCallOnly) {
    start_layer(pf::FILE_TYPE_DISK);
    const std::string full(4096, 'a');
    ASSERT_EQ(print_chars(full.data(), 4096), 4096);
    fake::fail_call(Op::write, 1, pf::ERROR_DISK_FULL);
    EXPECT_EQ(print_chars("XYZ", 3), -1);
    EXPECT_TRUE(standard_output()->flags & STREAM_ERROR);
    EXPECT_EQ(fake::call_count(Op::write), 1);
    EXPECT_EQ(print_chars("Q", 1), 1);
    EXPECT_EQ(flush_all_streams(), 3);
    EXPECT_EQ(fake::contents("<stdout>"), "XQ");
}

TEST_F(LayerTest, AFailedWriteOnAConsoleEndsTheCallWithoutATemporaryBlock) {
    start_layer();
    fake::fail_allocation(3);
    fake::fail_call(Op::write, 2, pf::ERROR_ACCESS_DENIED);
    EXPECT_EQ(print_formatted("abc"), -1);
    EXPECT_EQ(writes_to(STDOUT_HANDLE), (std::vector<std::string>{"a", "b"}));
    EXPECT_TRUE(standard_output()->flags & STREAM_ERROR);
    // With the block, a failed write at the end of the call leaves the result alone.
    EXPECT_EQ(print_formatted("de"), 2);
    EXPECT_EQ(fake::contents("<stdout>"), "ade");
    fake::fail_call(Op::write, 4, pf::ERROR_ACCESS_DENIED);
    EXPECT_EQ(print_formatted("fg"), 2);
}

TEST_F(LayerTest, FlushAllStreamsCountsTheStreamsFlushedWithoutError) {
    start_layer(pf::FILE_TYPE_DISK);
    fake::add_file("f", "data\n");
    ASSERT_NE(open_stream("f", "r"), nullptr);
    EXPECT_EQ(flush_all_streams(), 4);
    print_chars("x", 1);
    fake::fail_call(Op::write, 1, pf::ERROR_DISK_FULL);
    EXPECT_EQ(flush_all_streams(), 3);
    EXPECT_EQ(count_streams_in_use(), 4);
}

TEST_F(LayerTest, AStreamWithoutHandleFailsEveryWrite) {
    fake::set_std(pf::STD_OUTPUT_HANDLE, pf::FILE_TYPE_DISK, false);
    ASSERT_TRUE(init_fd_table());
    ASSERT_TRUE(init_stream_table());
    EXPECT_EQ(standard_output()->fd, -1);
    EXPECT_EQ(print_chars("x", 1), 1);
    EXPECT_EQ(flush_all_streams(), 2);
    EXPECT_EQ(error_number, ERR_BAD_HANDLE);
    EXPECT_TRUE(standard_output()->flags & STREAM_ERROR);
}

TEST_F(LayerTest, FlushAndCommitCommitsOnlyWithTheCommitLetter) {
    struct Case {
        const char* mode;
        std::uint32_t flush_error;
        int result;
        std::size_t flushes;
    };
    const Case cases[] = {
        {"wc", 0, 0, 1},
        {"wn", 0, 0, 0},
        {"w", 0, 0, 0},
        {"wc", pf::ERROR_DISK_FULL, -1, 1},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.mode);
        reset_world();
        start_layer();
        Stream* stream = open_stream("out", c.mode);
        ASSERT_NE(stream, nullptr);
        std::int32_t count = 0;
        emit_chars("hi\n", 3, stream, &count);
        EXPECT_EQ(count, 3);
        if (c.flush_error != 0) fake::fail_call(Op::flush, 1, c.flush_error);
        EXPECT_EQ(flush_and_commit(stream), c.result);
        EXPECT_EQ(writes_to(FIRST_FILE_HANDLE), (std::vector<std::string>{"hi\r\n"}));
        const std::vector<fake::Call> flushes = calls_on(Op::flush, FIRST_FILE_HANDLE);
        ASSERT_EQ(flushes.size(), c.flushes);
        if (c.flushes != 0) {
            EXPECT_EQ(fake::calls().back().op, Op::flush);  // after the write
        }
    }
}

// ---- streams asked for what they were not opened for ----

TEST_F(LayerTest, FillBufferRefusesAStreamThatCannotRead) {
    // Every row is a stream over a handle that could be read, so a refusal shows as no read at all.
    struct Case {
        const char* name;
        std::uint32_t flags;
        int result;
        std::uint32_t flags_after;
    };
    const Case cases[] = {
        {"open for writing", STREAM_WRITE, -1, STREAM_WRITE | STREAM_ERROR},
        {"update stream last written", STREAM_UPDATE | STREAM_WRITE, -1,
         STREAM_UPDATE | STREAM_WRITE | STREAM_ERROR},
        {"record not in use", 0, -1, 0},
        {"string pseudo-stream", STREAM_READ | STREAM_STRING, -1, STREAM_READ | STREAM_STRING},
        {"update stream", STREAM_UPDATE, 'd', STREAM_UPDATE | STREAM_READ | STREAM_OWN_BUFFER},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        reset_world();
        start_layer();
        fake::add_file("f", "data\n");
        Stream* stream = open_stream("f", "r+");
        ASSERT_NE(stream, nullptr);
        stream->flags = c.flags;
        const int reads = fake::call_count(Op::read);
        EXPECT_EQ(fill_buffer(stream), c.result);
        EXPECT_EQ(stream->flags, c.flags_after);
        EXPECT_EQ(fake::call_count(Op::read), reads + (c.result == -1 ? 0 : 1));
        if (c.result == -1) {
            EXPECT_EQ(stream->base, nullptr);  // not even a buffer
        }
    }
}

// The states a caller of the streams can tell apart: which way the stream goes, its end and its
// failure; the kind of buffer it holds is its own business.
constexpr std::uint32_t STATE =
    STREAM_READ | STREAM_WRITE | STREAM_UPDATE | STREAM_EOF | STREAM_ERROR;

TEST_F(LayerTest, FlushAndPutTurnsAStreamToWritingOnlyWhereItMay) {
    // An LF is put into a stream whose count is spent, after reading some lines from it; a text
    // stream writes it with its CR.
    struct Case {
        const char* name;
        std::string data;
        const char* mode;
        std::int32_t capacity;  // of the lines read first
        int lines;
        int lines_again;      // read once more from the start of the file
        std::int32_t count;   // the running count after the put
        std::uint32_t state;  // right after the put
        int seeks;            // made by the put
        std::string after;    // the file once the stream is flushed
    };
    const std::string block = std::string(4095, 'a') + "\n";  // fills a refill exactly
    const Case cases[] = {
        {"update stream read to its end", "ab\n", "r+", 130, 2, 0, 1, STREAM_UPDATE | STREAM_WRITE,
         0, "ab\n\r\n"},
        // What was read stays out of the write, though the buffer still holds it.
        {"update stream read to its end, then again", "ab\n", "r+", 130, 2, 1, 1,
         STREAM_UPDATE | STREAM_WRITE, 0, "ab\n\r\n"},
        {"update stream in the middle of the file", block + "cd\n", "r+", 4097, 1, 0, -1,
         STREAM_UPDATE | STREAM_READ | STREAM_ERROR, 0, block + "cd\n"},
        {"read stream at its end", "ab\n", "r", 130, 2, 0, -1,
         STREAM_READ | STREAM_EOF | STREAM_ERROR, 0, "ab\n"},
        {"append stream", "ab\n", "a", 0, 0, 0, 1, STREAM_WRITE, 1, "ab\n\r\n"},
        {"append update stream read to its end", "ab\n", "a+", 130, 2, 0, 1,
         STREAM_UPDATE | STREAM_WRITE, 1, "ab\n\r\n"},
        {"write stream", "ab\n", "w", 0, 0, 0, 1, STREAM_WRITE, 0, "\r\n"},
        {"binary write stream", "ab\n", "wb", 0, 0, 0, 1, STREAM_WRITE, 0, "\n"},
        {"binary update stream read to its end", "ab\n", "rb+", 130, 2, 0, 1,
         STREAM_UPDATE | STREAM_WRITE, 0, "ab\n\n"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        reset_world();
        start_layer();
        fake::add_file("f", c.data);
        Stream* stream = open_stream("f", c.mode);
        ASSERT_NE(stream, nullptr);
        std::string line(static_cast<std::size_t>(c.capacity), '\0');
        for (int i = 0; i < c.lines; ++i)
            get_line(line.data(), c.capacity, stream);
        if (c.lines_again > 0) {
            ASSERT_EQ(seek_fd(stream->fd, 0, pf::FILE_BEGIN), 0);
        }
        for (int i = 0; i < c.lines_again; ++i)
            get_line(line.data(), c.capacity, stream);
        ASSERT_EQ(stream->count, 0);
        const std::size_t seeks = calls_on(Op::seek, FIRST_FILE_HANDLE).size();
        std::int32_t count = 0;
        emit_char(LF, stream, &count);
        EXPECT_EQ(count, c.count);
        EXPECT_EQ(stream->flags & STATE, c.state);
        EXPECT_EQ(calls_on(Op::seek, FIRST_FILE_HANDLE).size(), seeks + c.seeks);
        EXPECT_EQ(fake::call_count(Op::write), 0);  // nothing was pending
        flush_stream(stream);
        EXPECT_EQ(fake::contents("f"), c.after);
    }
}

TEST_F(LayerTest, FlushStreamReadiesAnUpdateStreamForReadingAndNeverWritesTwice) {
    // "ab\n" is written into a fresh stream and flushed twice; then reading from the start is
    // tried.
    struct Case {
        const char* name;
        const char* mode;
        bool write_fails;
        int result;  // of the first flush
        std::uint32_t state;
        std::string after;
        const char* read_back;  // null when the stream refuses to read
    };
    const Case cases[] = {
        {"update stream", "w+", false, 0, STREAM_UPDATE, "ab\r\n", "ab\n"},
        {"write stream", "w", false, 0, STREAM_WRITE, "ab\r\n", nullptr},
        {"binary write stream", "wb", false, 0, STREAM_WRITE, "ab\n", nullptr},
        {"binary update stream", "wb+", false, 0, STREAM_UPDATE, "ab\n", "ab\n"},
        {"update stream, failed write", "w+", true, -1, STREAM_UPDATE | STREAM_WRITE | STREAM_ERROR,
         "", nullptr},
        {"write stream, failed write", "w", true, -1, STREAM_WRITE | STREAM_ERROR, "", nullptr},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        reset_world();
        start_layer();
        Stream* stream = open_stream("f", c.mode);
        ASSERT_NE(stream, nullptr);
        std::int32_t count = 0;
        emit_chars("ab\n", 3, stream, &count);
        ASSERT_EQ(count, 3);
        if (c.write_fails) fake::fail_call(Op::write, 1, pf::ERROR_DISK_FULL);
        EXPECT_EQ(flush_stream(stream), c.result);
        EXPECT_EQ(stream->flags & STATE, c.state);
        EXPECT_EQ(flush_stream(stream), 0);  // what failed is gone, not tried again
        EXPECT_EQ(fake::call_count(Op::write), 1);
        EXPECT_EQ(fake::contents("f"), c.after);
        ASSERT_EQ(seek_fd(stream->fd, 0, pf::FILE_BEGIN), 0);
        char line[130];
        const char* got = get_line(line, 130, stream);
        if (c.read_back == nullptr) {
            EXPECT_EQ(got, nullptr);
        } else {
            ASSERT_NE(got, nullptr);
            EXPECT_STREQ(got, c.read_back);
        }
    }
}

// One print call of the text on a standard stream, as print_chars makes on standard output.
std::int32_t print_on(Stream* stream, const char* text) {
    const int lent = begin_temp_buffer(stream);
    std::int32_t count = 0;
    emit_chars(text, static_cast<std::int32_t>(std::strlen(text)), stream, &count);
    end_temp_buffer(lent, stream);
    return count;
}

TEST_F(LayerTest, AConsolesStandardOutputAndErrorEachBorrowTheirOwnBlock) {
    // Both standard streams on a console. Each row's body makes its calls, the writes show when
    // the characters went out.
    struct Case {
        const char* name;
        void (*body)();
        std::vector<std::string> out, err;
        int allocations;
    };
    const Case cases[] = {
        {"standard error in a call of its own",
         [] { print_on(standard_error(), "err\n"); },
         {},
         {"err\r\n"},
         1},
        {"standard error inside a call on standard output",
         [] {
             Stream* out = standard_output();
             const int lent = begin_temp_buffer(out);
             std::int32_t count = 0;
             emit_chars("out", 3, out, &count);
             print_on(standard_error(), "err\n");
             emit_chars("put", 3, out, &count);
             end_temp_buffer(lent, out);
         },
         {"output"},
         {"err\r\n"},
         2},
        {"standard error outside a print call",
         [] {
             std::int32_t count = 0;
             emit_chars("ab\n", 3, standard_error(), &count);
         },
         {},
         {"a", "b", "\r\n"},
         0},
        {"a print call nested in another",
         [] {
             Stream* out = standard_output();
             const int lent = begin_temp_buffer(out);
             std::int32_t count = 0;
             emit_chars("ab", 2, out, &count);
             EXPECT_EQ(print_chars("cd", 2), 2);  // its buffer is the enclosing call's
             emit_chars("ef", 2, out, &count);
             end_temp_buffer(lent, out);
         },
         {"abcd", "ef"},
         {},
         1},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        reset_world();
        start_layer();
        const int allocations = fake::call_count(Op::allocate);
        c.body();
        EXPECT_EQ(writes_to(STDOUT_HANDLE), c.out);
        EXPECT_EQ(writes_to(STDERR_HANDLE), c.err);
        EXPECT_EQ(fake::call_count(Op::allocate), allocations + c.allocations);
        // Between calls neither holds a buffer, and neither ever gets one of its own.
        for (const Stream* stream : {standard_output(), standard_error()}) {
            EXPECT_EQ(stream->flags, STREAM_WRITE);
            EXPECT_EQ(stream->base, nullptr);
        }
    }
}

// The copy's straight path, from the input's buffer into standard output's, against the two calls
// it stands for, with the pieces left to the calls printed as the program prints them: the same
// writes and output, and after each piece the two calls take, the same
// state of both streams as the two calls alone reach at that point. The input's buffer ends
// inside lines, the output's room runs short and lines outgrow a piece.
struct CopyTrace {
    std::vector<std::string> steps;  // each piece of the two calls and both streams after it
    std::vector<std::uint64_t> write_sizes;
    std::string output;
    std::int64_t straight = 0;  // characters that took the straight path
};

Stream* open_copy(const std::string& data, std::uint32_t stdout_type) {
    reset_world();
    fake::set_std(pf::STD_OUTPUT_HANDLE, stdout_type);
    fake::add_file("f", data, pf::FILE_TYPE_DISK);
    EXPECT_TRUE(init_fd_table());
    EXPECT_TRUE(init_stream_table());
    return open_stream("f", "r");
}

CopyTrace copy_with(const std::string& data, std::uint32_t stdout_type, bool straight,
                    std::int32_t capacity) {
    CopyTrace trace;
    Stream* input = open_copy(data, stdout_type);
    const Stream* out = standard_output();
    // As in the program, the straight copy's pieces are printed from a line with padding past it.
    std::vector<char> line(std::min<std::size_t>(data.size() + 1, capacity) + CHARS_PADDING);
    for (;;) {
        if (straight) trace.straight += copy_line_pieces(input, standard_output(), capacity);
        const std::int32_t n = get_line_length(line.data(), capacity, input);
        if (n < 0) break;
        EXPECT_EQ(straight ? print_padded_chars(line.data(), n) : print_chars(line.data(), n), n);
        trace.steps.push_back(std::string(line.data(), static_cast<std::size_t>(n)) + " in " +
                              std::to_string(input->next - input->base) + "/" +
                              std::to_string(input->count) + " out " +
                              std::to_string(out->next - out->base) + "/" +
                              std::to_string(out->count) + "/" + std::to_string(out->flags));
    }
    EXPECT_EQ(flush_all_streams(), 4);  // the input too
    trace.write_sizes = write_sizes(STDOUT_HANDLE);
    trace.output = fake::contents("<stdout>");
    return trace;
}

TEST_F(LayerTest, TheStraightCopyOfLinesMatchesTheTwoCalls) {
    std::string lines;  // every length from 0 to 300, CR-LF ends, past several buffer ends
    for (std::size_t length = 0; length <= 300; ++length)
        lines += std::string(length, static_cast<char>('a' + length % 26)) + "\r\n";
    const std::string cases[] = {lines, lines + "no end", std::string(5000, 'x') + "\n\n"};
    // The program's pieces, the shortest and pieces longer than any line.
    for (std::int32_t capacity : {130, 2, INT32_MAX}) {
        for (std::uint32_t type : {pf::FILE_TYPE_CHAR, pf::FILE_TYPE_DISK, pf::FILE_TYPE_PIPE}) {
            for (const std::string& data : cases) {
                SCOPED_TRACE(::testing::Message() << capacity << " " << type << " " << data.size());
                const CopyTrace two_calls = copy_with(data, type, false, capacity);
                const CopyTrace both = copy_with(data, type, true, capacity);
                EXPECT_EQ(both.write_sizes, two_calls.write_sizes);
                EXPECT_EQ(both.output, two_calls.output);
                // Every step the two calls take in the straight copy is one they take alone.
                auto at = two_calls.steps.begin();
                for (const std::string& step : both.steps) {
                    at = std::find(at, two_calls.steps.end(), step);
                    ASSERT_NE(at, two_calls.steps.end()) << step;
                }
                // Every character read went one way or the other.
                const auto characters = [](const std::vector<std::string>& steps) {
                    std::int64_t sum = 0;
                    for (const std::string& step : steps)
                        sum += static_cast<std::int64_t>(step.find(" in "));
                    return sum;
                };
                const std::int64_t by_calls = characters(both.steps);
                EXPECT_EQ(both.straight + by_calls, characters(two_calls.steps));
                // A console has no buffer of its own; a file or pipe takes most bytes straight,
                // but for a line longer than a buffer, which the calls read across its end.
                if (type == pf::FILE_TYPE_CHAR)
                    EXPECT_EQ(both.straight, 0);
                else
                    EXPECT_GT(both.straight, capacity == INT32_MAX ? 0 : by_calls);
            }
        }
    }
}

// A piece of no character, the room of a capacity of 0 or 1, is none that the copy can take.
TEST_F(LayerTest, TheStraightCopyTakesNothingWithoutRoomForACharacter) {
    for (std::int32_t capacity : {INT32_MIN, -1, 0, 1}) {
        Stream* input = open_copy("ab\ncd\n", pf::FILE_TYPE_DISK);
        ASSERT_EQ(print_chars("x", 1), 1);  // standard output gets its buffer
        char first[2];
        ASSERT_EQ(get_line_length(first, 2, input), 1);  // and the input its own
        const Stream before_in = *input, before_out = *standard_output();
        EXPECT_EQ(copy_line_pieces(input, standard_output(), capacity), 0) << capacity;
        EXPECT_EQ(input->next, before_in.next);
        EXPECT_EQ(input->count, before_in.count);
        EXPECT_EQ(standard_output()->next, before_out.next);
    }
}

}  // namespace
}  // namespace mirzet::testing
