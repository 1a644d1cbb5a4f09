// The handle level over the fake system: the fd table and its set-up, opening and closing, the
// error mapping, and text-mode reading and writing down to the system calls they make.

#include "tests/fake_layer.h"

namespace mirzet::testing {
namespace {

// ---- the standard handles ----

// The flag words of a slot, by what it holds.
constexpr std::uint8_t TEXT_DISK = FD_OPEN | FD_TEXT;
constexpr std::uint8_t TEXT_PIPE = FD_OPEN | FD_PIPE | FD_TEXT;
constexpr std::uint8_t TEXT_DEVICE = FD_OPEN | FD_DEVICE | FD_TEXT;

struct StdCase {
    const char* name;
    std::uint32_t type;
    bool valid;
    bool reported_unknown;  // the type call answers 0 without a failure code
    std::uint8_t fd_flags;
    OsHandle os_handle;
};

TEST_F(LayerTest, StandardHandlesAreClassifiedByType) {
    const StdCase cases[] = {
        {"disk", pf::FILE_TYPE_DISK, true, false, TEXT_DISK, STDOUT_HANDLE},
        {"console", pf::FILE_TYPE_CHAR, true, false, TEXT_DEVICE, STDOUT_HANDLE},
        {"pipe", pf::FILE_TYPE_PIPE, true, false, TEXT_PIPE, STDOUT_HANDLE},
        {"console, a flag above the low byte", 0x8000 | pf::FILE_TYPE_CHAR, true, false,
         TEXT_DEVICE, STDOUT_HANDLE},
        {"no handle", pf::FILE_TYPE_DISK, false, false, TEXT_DEVICE, -1},
        {"type fails", pf::FILE_TYPE_UNKNOWN, true, false, TEXT_DEVICE, -1},
        {"type unknown", pf::FILE_TYPE_DISK, true, true, TEXT_DEVICE, -1},
    };
    for (const StdCase& c : cases) {
        SCOPED_TRACE(c.name);
        reset_world();
        fake::set_std(pf::STD_OUTPUT_HANDLE, c.type, c.valid);
        if (c.reported_unknown) fake::report_unknown_type(2);
        ASSERT_TRUE(init_fd_table());
        ASSERT_TRUE(init_stream_table());
        EXPECT_EQ(fd_limit, 32);
        EXPECT_EQ(slot_of(1).fd_flags, c.fd_flags);
        EXPECT_EQ(slot_of(1).os_handle, c.os_handle);
        EXPECT_EQ(is_device(1), (c.fd_flags & FD_DEVICE) ? 1 : 0);
        EXPECT_EQ(stream_table[1]->fd, c.os_handle == -1 ? -1 : 1);
        // The other two are untouched consoles.
        EXPECT_EQ(slot_of(0).fd_flags, TEXT_DEVICE);
        EXPECT_EQ(slot_of(2).os_handle, STDERR_HANDLE);
        EXPECT_EQ(slot_of(3).fd_flags, 0);
        EXPECT_EQ(slot_of(3).lookahead, LF);
    }
}

// ---- inherited handles ----

// A block as a parent passes it: the stated count, the flag bytes and the handles as given, then
// cut to `size` bytes when that is not 0.
std::vector<std::uint8_t> handle_block(std::uint32_t stated, const std::vector<std::uint8_t>& flags,
                                       const std::vector<std::uint32_t>& handles,
                                       std::size_t size = 0) {
    std::vector<std::uint8_t> block;
    auto put32 = [&block](std::uint32_t value) {
        for (int shift = 0; shift < 32; shift += 8)
            block.push_back(static_cast<std::uint8_t>(value >> shift));
    };
    put32(stated);
    for (std::uint8_t flag : flags)
        block.push_back(flag);
    for (std::uint32_t handle : handles)
        put32(handle);
    if (size != 0) block.resize(size);
    return block;
}

TEST_F(LayerTest, InheritedHandlesAreTakenWhenOpenAndKnown) {
    // 0: a pipe with handle 0; 1: standard output's handle; 2: not open; 3: a handle the system
    // does not know; 4: handle -1; 5: a device.
    fake::set_inherited_handles(handle_block(
        6, {FD_OPEN | FD_PIPE, FD_OPEN, 0, FD_OPEN, FD_OPEN | FD_PIPE, FD_OPEN | FD_DEVICE},
        {0, STDOUT_HANDLE, STDERR_HANDLE, 999, 0xFFFFFFFF, STDERR_HANDLE}));
    start_layer();
    EXPECT_EQ(slot_of(0).os_handle, 0);
    EXPECT_EQ(slot_of(0).fd_flags, TEXT_PIPE);
    EXPECT_EQ(stream_table[0]->fd, -1);  // handle 0 is no handle to a stream
    EXPECT_EQ(slot_of(1).os_handle, STDOUT_HANDLE);
    EXPECT_EQ(slot_of(1).fd_flags, TEXT_DISK);
    EXPECT_EQ(stream_table[1]->fd, 1);
    EXPECT_EQ(slot_of(2).os_handle, STDERR_HANDLE);  // classified as a standard handle instead
    EXPECT_EQ(slot_of(2).fd_flags, TEXT_DEVICE);
    EXPECT_EQ(slot_of(3).os_handle, -1);
    EXPECT_EQ(slot_of(3).fd_flags, 0);
    EXPECT_EQ(slot_of(4).os_handle, -1);
    EXPECT_EQ(slot_of(5).os_handle, STDERR_HANDLE);
    EXPECT_EQ(slot_of(5).fd_flags, FD_OPEN | FD_DEVICE);
    EXPECT_EQ(allocate_fd(), 3);
}

TEST_F(LayerTest, InheritedCountIsCappedAndHandlesFollowTheStatedFlags) {
    std::vector<std::uint8_t> flags(3000, 0);
    std::vector<std::uint32_t> handles(3000, 0);
    flags[2047] = FD_OPEN | FD_PIPE;
    handles[2047] = 4242;
    flags[2048] = FD_OPEN | FD_PIPE;
    handles[2048] = 4343;
    fake::set_inherited_handles(handle_block(3000, flags, handles));
    start_layer();
    EXPECT_EQ(fd_limit, 2048);
    EXPECT_EQ(slot_of(2047).os_handle, 4242);
    EXPECT_EQ(slot_of(2047).fd_flags, FD_OPEN | FD_PIPE);
}

TEST_F(LayerTest, ShortOrDamagedInheritedBlocksYieldFewerHandles) {
    struct Case {
        const char* name;
        std::vector<std::uint8_t> block;
        int taken;  // slots 3 and up that receive handles 300, 301, ...
    };
    const std::vector<std::uint8_t> pipes(8, FD_OPEN | FD_PIPE);
    const std::vector<std::uint32_t> handles = {0, 0, 0, 300, 301, 302, 303, 304};
    const Case cases[] = {
        {"whole", handle_block(8, pipes, handles), 5},
        {"two handles short", handle_block(8, pipes, handles, 4 + 8 + 6 * 4), 3},
        {"last handle cut", handle_block(8, pipes, handles, 4 + 8 + 8 * 4 - 1), 4},
        {"count beyond the block", handle_block(0xFFFFFFF0u, pipes, handles), 0},
        {"flags only", handle_block(8, pipes, {}), 0},
        {"count cut", {1, 0}, 0},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        reset_world();
        fake::set_inherited_handles(c.block);
        start_layer();
        for (int fd = 3; fd < 8; ++fd)
            EXPECT_EQ(slot_of(fd).os_handle, fd - 3 < c.taken ? 297 + fd : -1) << fd;
    }
}

TEST_F(LayerTest, InheritedCountIsCutWhenABlockCannotBeAllocated) {
    std::vector<std::uint32_t> handles(100);
    for (std::uint32_t i = 0; i < 100; ++i)
        handles[i] = 1000 + i;
    fake::set_inherited_handles(
        handle_block(100, std::vector<std::uint8_t>(100, FD_OPEN | FD_PIPE), handles));
    fake::fail_allocation(3);
    start_layer();
    EXPECT_EQ(fd_limit, 64);
    EXPECT_EQ(slot_of(3).os_handle, 1003);
    EXPECT_EQ(slot_of(63).os_handle, 1063);
}

// ---- the table ----

TEST_F(LayerTest, AllocateFdAddsABlockWhenTheFirstIsFull) {
    start_layer();
    slot_of(3).os_handle = 77;  // a closed slot with a stale handle is handed out clean
    EXPECT_EQ(allocate_fd(), 3);
    EXPECT_EQ(slot_of(3).os_handle, -1);
    for (int fd = 3; fd < 32; ++fd)
        slot_of(fd).fd_flags = FD_OPEN;
    const int allocations = fake::call_count(Op::allocate);
    EXPECT_EQ(allocate_fd(), 32);
    EXPECT_EQ(fd_limit, 64);
    ASSERT_EQ(fake::call_count(Op::allocate), allocations + 1);
    EXPECT_EQ(fake::calls_of(Op::allocate).back().size, 32 * sizeof(FdInfo));
    for (int fd = 32; fd < 64; ++fd) {
        EXPECT_EQ(slot_of(fd).os_handle, -1);
        EXPECT_EQ(slot_of(fd).fd_flags, 0);
        EXPECT_EQ(slot_of(fd).lookahead, LF);
    }
}

TEST_F(LayerTest, AllocateFdFailsWhenTheTableIsFullOrNoBlockCanBeHad) {
    start_layer();
    for (int fd = 3; fd < 32; ++fd)
        slot_of(fd).fd_flags = FD_OPEN;
    fake::fail_allocation(fake::call_count(Op::allocate) + 1);
    EXPECT_EQ(allocate_fd(), -1);
    EXPECT_EQ(fd_limit, 32);
    for (int expected = 32; expected < FD_MAX; ++expected) {
        ASSERT_EQ(allocate_fd(), expected);
        slot_of(expected).fd_flags = FD_OPEN;
    }
    EXPECT_EQ(allocate_fd(), -1);
    EXPECT_EQ(fd_limit, FD_MAX);
}

TEST_F(LayerTest, SmallHandleOperationsRejectBadSlots) {
    fake::set_std(pf::STD_ERROR_HANDLE, pf::FILE_TYPE_CHAR, false);
    start_layer();
    // Each row is checked on its own: a call that failed without recording its error would hide
    // behind a later row's.
    struct Case {
        const char* name;
        std::int64_t (*call)();
        std::uint32_t os_code;  // 0: cleared; NO_OS_CODE: an earlier code left as it was
    };
    const Case cases[] = {
        {"set_os_handle -1", [] { return std::int64_t{set_os_handle(-1, 5)}; }, 0},
        {"set_os_handle past the limit", [] { return std::int64_t{set_os_handle(32, 5)}; }, 0},
        {"set_os_handle on a slot with a handle", [] { return std::int64_t{set_os_handle(1, 5)}; },
         0},
        {"release_fd -1", [] { return std::int64_t{release_fd(-1)}; }, 0},
        {"release_fd past the limit", [] { return std::int64_t{release_fd(40)}; }, 0},
        {"release_fd not open", [] { return std::int64_t{release_fd(5)}; }, 0},
        {"release_fd without a handle", [] { return std::int64_t{release_fd(2)}; }, 0},
        {"get_os_handle not open", [] { return std::int64_t{get_os_handle(5)}; }, 0},
        {"get_os_handle -1", [] { return std::int64_t{get_os_handle(-1)}; }, 0},
        {"seek_fd -1", [] { return seek_fd(-1, 0, pf::FILE_BEGIN); }, 0},
        {"seek_fd not open", [] { return seek_fd(4, 0, pf::FILE_BEGIN); }, 0},
        {"seek_fd without a handle", [] { return seek_fd(2, 0, pf::FILE_BEGIN); }, NO_OS_CODE},
        {"text_read not open", [] { return std::int64_t{text_read(6, nullptr, 1)}; }, 0},
        {"text_write past the limit", [] { return std::int64_t{text_write(1 << 20, "x", 1)}; }, 0},
        {"close_fd not open", [] { return std::int64_t{close_fd(7)}; }, 0},
        {"commit_fd not open", [] { return std::int64_t{commit_fd(8)}; }, NO_OS_CODE},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        clear_errors();
        EXPECT_EQ(c.call(), -1);
        EXPECT_EQ(error_number, ERR_BAD_HANDLE);
        EXPECT_EQ(os_error_code, c.os_code);
    }
    EXPECT_EQ(slot_of(1).os_handle, STDOUT_HANDLE);
    EXPECT_EQ(is_device(-1), 0);
    EXPECT_EQ(is_device(32), 0);
    EXPECT_EQ(is_device(1), 1);
}

TEST_F(LayerTest, SetAndReleaseKeepTheSystemStandardHandlesInStep) {
    start_layer();
    EXPECT_EQ(release_fd(0), 0);
    EXPECT_EQ(slot_of(0).os_handle, -1);
    EXPECT_EQ(slot_of(0).fd_flags, TEXT_DEVICE);  // left for the caller
    EXPECT_EQ(pf::get_std_handle(pf::STD_INPUT_HANDLE), 0);
    EXPECT_EQ(set_os_handle(0, 55), 0);
    EXPECT_EQ(pf::get_std_handle(pf::STD_INPUT_HANDLE), 55);
    EXPECT_EQ(get_os_handle(0), 55);
    EXPECT_EQ(set_os_handle(7, 88), 0);
    EXPECT_EQ(slot_of(7).os_handle, 88);
    EXPECT_EQ(pf::get_std_handle(pf::STD_OUTPUT_HANDLE), STDOUT_HANDLE);
    EXPECT_EQ(pf::get_std_handle(pf::STD_ERROR_HANDLE), STDERR_HANDLE);
}

TEST_F(LayerTest, SeekFdReportsFailuresAndClearsEndOfFile) {
    fake::set_std(pf::STD_ERROR_HANDLE, pf::FILE_TYPE_CHAR, false);
    start_layer();
    os_error_code = 1234;
    EXPECT_EQ(seek_fd(2, 0, pf::FILE_BEGIN), -1);  // open, but no handle
    EXPECT_EQ(error_number, ERR_BAD_HANDLE);
    EXPECT_EQ(os_error_code, 1234u);
    EXPECT_EQ(seek_fd(1, 0, pf::FILE_BEGIN), -1);  // a console cannot seek
    EXPECT_EQ(os_error_code, pf::ERROR_INVALID_FUNCTION);
    EXPECT_EQ(error_number, ERR_INVALID);

    fake::add_file("f",
                   "ab\x1A"
                   "cd");
    const int fd = open_for_reading("f");
    char buffer[8];
    EXPECT_EQ(text_read(fd, buffer, 8), 2);
    EXPECT_TRUE(slot_of(fd).fd_flags & FD_EOF);
    const std::int64_t far = 5LL << 30;  // positions are 64-bit
    EXPECT_EQ(seek_fd(fd, far, pf::FILE_BEGIN), far);
    EXPECT_FALSE(slot_of(fd).fd_flags & FD_EOF);
    EXPECT_EQ(seek_fd(fd, -far + 3, pf::FILE_CURRENT), 3);
    EXPECT_EQ(text_read(fd, buffer, 8), 2);  // reads again past the Ctrl-Z
    EXPECT_EQ(std::string(buffer, 2), "cd");
}

// ---- open_fd ----

struct OpenCase {
    const char* name;
    std::uint32_t open_flags;
    int share;
    int permission;
    bool exists;
    std::uint32_t type;
    std::uint32_t access, share_mode, disposition, attributes;
    bool inherit;
    std::uint8_t fd_flags;
};

TEST_F(LayerTest, OpenFdPassesTheCreateArgumentsAndSetsFlags) {
    constexpr std::uint32_t R = pf::GENERIC_READ, W = pf::GENERIC_WRITE;
    constexpr std::uint32_t NORMAL = pf::FILE_ATTRIBUTE_NORMAL;
    constexpr std::uint32_t DISK = pf::FILE_TYPE_DISK, PIPE = pf::FILE_TYPE_PIPE,
                            CHAR = pf::FILE_TYPE_CHAR;
    constexpr int PERM = DEFAULT_PERMISSION, UNWRITABLE = PERM & ~PERMISSION_OWNER_WRITE;
    constexpr std::uint32_t SHARE_NONE = 0, SHARE_R = pf::FILE_SHARE_READ,
                            SHARE_W = pf::FILE_SHARE_WRITE, SHARE_RW = SHARE_R | SHARE_W;
    const OpenCase cases[] = {
        {"read", OPEN_READ_ONLY, SHARE_DENY_NONE, PERM, true, DISK, R, SHARE_RW, pf::OPEN_EXISTING,
         NORMAL, true, TEXT_DISK},
        {"read pipe", OPEN_READ_ONLY, SHARE_DENY_NONE, PERM, true, PIPE, R, SHARE_RW,
         pf::OPEN_EXISTING, NORMAL, true, TEXT_PIPE},
        {"read device", OPEN_READ_ONLY, SHARE_DENY_NONE, PERM, true, CHAR, R, SHARE_RW,
         pf::OPEN_EXISTING, NORMAL, true, TEXT_DEVICE},
        {"device, a flag above the low byte: taken whole", OPEN_READ_ONLY, SHARE_DENY_NONE, PERM,
         true, 0x8000 | CHAR, R, SHARE_RW, pf::OPEN_EXISTING, NORMAL, true, TEXT_DISK},
        {"write", OPEN_WRITE_ONLY | OPEN_CREATE | OPEN_TRUNCATE, SHARE_DENY_ALL, PERM, false, DISK,
         W, SHARE_NONE, pf::CREATE_ALWAYS, NORMAL, true, TEXT_DISK},
        {"append", OPEN_WRITE_ONLY | OPEN_APPEND | OPEN_CREATE, SHARE_DENY_WRITE, PERM, true, DISK,
         W, SHARE_R, pf::OPEN_ALWAYS, NORMAL, true, TEXT_DISK | FD_APPEND},
        {"append pipe", OPEN_WRITE_ONLY | OPEN_APPEND | OPEN_CREATE, SHARE_DENY_NONE, PERM, true,
         PIPE, W, SHARE_RW, pf::OPEN_ALWAYS, NORMAL, true, TEXT_PIPE},
        {"append device", OPEN_WRITE_ONLY | OPEN_APPEND | OPEN_CREATE, SHARE_DENY_NONE, PERM, true,
         CHAR, W, SHARE_RW, pf::OPEN_ALWAYS, NORMAL, true, TEXT_DEVICE},
        {"read-write binary private", OPEN_READ_WRITE | OPEN_NO_INHERIT | OPEN_BINARY,
         SHARE_DENY_READ, PERM, true, DISK, R | W, SHARE_W, pf::OPEN_EXISTING, NORMAL, false,
         FD_OPEN | FD_NO_INHERIT},
        {"truncate", OPEN_WRITE_ONLY | OPEN_TRUNCATE, SHARE_DENY_NONE, PERM, true, DISK, W,
         SHARE_RW, pf::TRUNCATE_EXISTING, NORMAL, true, TEXT_DISK},
        {"exclusive", OPEN_WRITE_ONLY | OPEN_CREATE | OPEN_EXCLUSIVE, SHARE_DENY_NONE, UNWRITABLE,
         false, DISK, W, SHARE_RW, pf::CREATE_NEW, pf::FILE_ATTRIBUTE_READONLY, true, TEXT_DISK},
        {"exclusive truncate", OPEN_WRITE_ONLY | OPEN_CREATE | OPEN_TRUNCATE | OPEN_EXCLUSIVE,
         SHARE_DENY_NONE, PERM, false, DISK, W, SHARE_RW, pf::CREATE_NEW, NORMAL, true, TEXT_DISK},
        {"exclusive alone", OPEN_WRITE_ONLY | OPEN_EXCLUSIVE, SHARE_DENY_NONE, PERM, true, DISK, W,
         SHARE_RW, pf::OPEN_EXISTING, NORMAL, true, TEXT_DISK},
        {"create read-only", OPEN_WRITE_ONLY | OPEN_CREATE, SHARE_DENY_NONE, 0, true, DISK, W,
         SHARE_RW, pf::OPEN_ALWAYS, pf::FILE_ATTRIBUTE_READONLY, true, TEXT_DISK},
        {"permission unused", OPEN_READ_ONLY, SHARE_DENY_NONE, 0, true, DISK, R, SHARE_RW,
         pf::OPEN_EXISTING, NORMAL, true, TEXT_DISK},
        {"hints", OPEN_RANDOM | OPEN_SEQUENTIAL | OPEN_TEMPORARY | OPEN_SHORT_LIVED,
         SHARE_DENY_NONE, PERM, true, DISK, R | pf::DELETE, SHARE_RW, pf::OPEN_EXISTING,
         NORMAL | pf::FILE_FLAG_DELETE_ON_CLOSE | pf::FILE_ATTRIBUTE_TEMPORARY |
             pf::FILE_FLAG_SEQUENTIAL_SCAN,
         true, TEXT_DISK},
        {"random", OPEN_RANDOM, SHARE_DENY_NONE, PERM, true, DISK, R, SHARE_RW, pf::OPEN_EXISTING,
         NORMAL | pf::FILE_FLAG_RANDOM_ACCESS, true, TEXT_DISK},
        {"text and binary", OPEN_TEXT | OPEN_BINARY, SHARE_DENY_NONE, PERM, true, DISK, R, SHARE_RW,
         pf::OPEN_EXISTING, NORMAL, true, FD_OPEN},
        {"text", OPEN_TEXT, SHARE_DENY_NONE, PERM, true, DISK, R, SHARE_RW, pf::OPEN_EXISTING,
         NORMAL, true, TEXT_DISK},
    };
    for (const OpenCase& c : cases) {
        SCOPED_TRACE(c.name);
        reset_world();
        start_layer();
        if (c.exists) fake::add_file("f", "data", c.type);
        ASSERT_EQ(open_fd("f", c.open_flags, c.share, c.permission), 3);
        const std::vector<fake::Call> creates = fake::calls_of(Op::create);
        ASSERT_EQ(creates.size(), 1u);
        EXPECT_EQ(creates[0].path, "f");
        EXPECT_EQ(creates[0].access, c.access);
        EXPECT_EQ(creates[0].share, c.share_mode);
        EXPECT_EQ(creates[0].disposition, c.disposition);
        EXPECT_EQ(creates[0].attributes, c.attributes);
        EXPECT_EQ(creates[0].inherit, c.inherit);
        EXPECT_EQ(slot_of(3).fd_flags, c.fd_flags);
        EXPECT_EQ(slot_of(3).os_handle, FIRST_FILE_HANDLE);
        EXPECT_EQ(error_number, NO_ERROR_NUMBER);
    }
}

TEST_F(LayerTest, OpenFdFailuresLeaveNothingOpen) {
    struct Case {
        const char* name;
        std::uint32_t open_flags;
        int share;
        const char* path;
        int error;
        std::uint32_t os_code;
        int creates;
    };
    const Case cases[] = {
        {"access 3", OPEN_WRITE_ONLY | OPEN_READ_WRITE, SHARE_DENY_NONE, "f", ERR_INVALID, 0, 0},
        {"share 0", OPEN_READ_ONLY, 0, "f", ERR_INVALID, 0, 0},
        {"share 0x50", OPEN_READ_ONLY, 0x50, "f", ERR_INVALID, 0, 0},
        {"share FD_OPEN | FD_NO_INHERIT", OPEN_READ_ONLY, FD_OPEN | FD_NO_INHERIT, "f", ERR_INVALID,
         0, 0},
        {"missing", OPEN_READ_ONLY, SHARE_DENY_NONE, "nope", ERR_NO_ENTRY, pf::ERROR_FILE_NOT_FOUND,
         1},
        {"directory", OPEN_READ_ONLY, SHARE_DENY_NONE, "dir", ERR_ACCESS, pf::ERROR_ACCESS_DENIED,
         1},
        {"exists", OPEN_WRITE_ONLY | OPEN_CREATE | OPEN_EXCLUSIVE, SHARE_DENY_NONE, "f", ERR_EXISTS,
         pf::ERROR_FILE_EXISTS, 1},
        {"unknown type", OPEN_READ_ONLY, SHARE_DENY_NONE, "odd", ERR_BAD_HANDLE,
         pf::ERROR_INVALID_HANDLE, 1},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        reset_world();
        start_layer();
        fake::add_file("f", "data");
        fake::add_file("odd", "data", pf::FILE_TYPE_UNKNOWN);
        fake::add_directory("dir");
        EXPECT_EQ(open_fd(c.path, c.open_flags, c.share, DEFAULT_PERMISSION), -1);
        EXPECT_EQ(error_number, c.error);
        EXPECT_EQ(os_error_code, c.os_code);
        EXPECT_EQ(fake::call_count(Op::create), c.creates);
        EXPECT_EQ(slot_of(3).fd_flags, 0);
        EXPECT_EQ(allocate_fd(), 3);
        // A handle that was created is closed again.
        for (const fake::Call& create : fake::calls_of(Op::create))
            if (create.result != -1) {
                EXPECT_EQ(calls_on(Op::close, create.result).size(), 1u);
            }
    }
}

TEST_F(LayerTest, OpenFdOfATypeTheSystemCannotTellRecordsTheCodeAfterTheClose) {
    start_layer();
    fake::add_file("f", "data");
    fake::report_unknown_type(fake::call_count(Op::file_type) + 1);
    EXPECT_EQ(open_for_reading("f"), -1);
    EXPECT_EQ(calls_on(Op::close, FIRST_FILE_HANDLE).size(), 1u);
    EXPECT_EQ(os_error_code, 0u);
    EXPECT_EQ(error_number, ERR_INVALID);
    EXPECT_EQ(slot_of(3).fd_flags, 0);

    // When the close fails too, its code is the one left, not the type query's.
    fake::fail_call(Op::file_type, fake::call_count(Op::file_type) + 1, pf::ERROR_INVALID_HANDLE);
    fake::fail_call(Op::close, fake::call_count(Op::close) + 1, pf::ERROR_ACCESS_DENIED);
    EXPECT_EQ(open_for_reading("f"), -1);
    EXPECT_EQ(os_error_code, pf::ERROR_ACCESS_DENIED);
    EXPECT_EQ(error_number, ERR_ACCESS);
    EXPECT_EQ(slot_of(3).fd_flags, 0);
}

TEST_F(LayerTest, OpenFdFailsWithTooManyOpenWhenNoSlotIsFree) {
    start_layer();
    fake::add_file("f", "data");
    for (int fd = 3; fd < 32; ++fd)
        slot_of(fd).fd_flags = FD_OPEN;
    fake::fail_allocation(fake::call_count(Op::allocate) + 1);
    EXPECT_EQ(open_for_reading("f"), -1);
    EXPECT_EQ(error_number, ERR_TOO_MANY_OPEN);
    EXPECT_EQ(os_error_code, 0u);
    EXPECT_EQ(fake::call_count(Op::create), 0);
}

TEST_F(LayerTest, ReadWriteTextOpenTrimsAFinalCtrlZ) {
    struct Case {
        const char* name;
        std::string data;
        std::uint32_t open_flags;
        std::string after;
        int set_ends;
    };
    const Case cases[] = {
        {"final Ctrl-Z", "abc\x1A", OPEN_READ_WRITE, "abc", 1},
        {"only the last", "ab\x1A\x1A", OPEN_READ_WRITE, "ab\x1A", 1},
        {"no Ctrl-Z", "abc", OPEN_READ_WRITE, "abc", 0},
        {"final CR", "ab\r", OPEN_READ_WRITE, "ab\r", 0},
        {"binary", "abc\x1A", OPEN_READ_WRITE | OPEN_BINARY, "abc\x1A", 0},
        {"read only", "abc\x1A", OPEN_READ_ONLY, "abc\x1A", 0},
        {"write only", "abc\x1A", OPEN_WRITE_ONLY, "abc\x1A", 0},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        reset_world();
        start_layer();
        fake::add_file("f", c.data);
        const int fd = open_fd("f", c.open_flags, SHARE_DENY_NONE, DEFAULT_PERMISSION);
        ASSERT_EQ(fd, 3);
        EXPECT_EQ(fake::contents("f"), c.after);
        EXPECT_EQ(fake::call_count(Op::set_end), c.set_ends);
        EXPECT_EQ(error_number, NO_ERROR_NUMBER);
        EXPECT_EQ(slot_of(fd).fd_flags & FD_EOF, 0);
        if (c.set_ends != 0) {
            // The cut is made at the Ctrl-Z's offset; the position goes back to where it was
            // before the final seek to the start.
            std::vector<std::int64_t> positions;
            for (const fake::Call& seek : calls_on(Op::seek, FIRST_FILE_HANDLE))
                positions.push_back(seek.result);
            const auto end = static_cast<std::int64_t>(c.data.size());
            EXPECT_EQ(positions, (std::vector<std::int64_t>{end - 1, end, end - 1, end, 0}));
        }
        if (c.open_flags == OPEN_READ_WRITE) {
            char buffer[8];  // left at the start
            const std::int32_t n = text_read(fd, buffer, 8);
            ASSERT_GE(n, 0);
            EXPECT_EQ(std::string(buffer, static_cast<std::size_t>(n)),
                      c.after.substr(0, c.after.find('\x1A')));
        } else {
            EXPECT_EQ(fake::call_count(Op::seek), 0);
        }
    }
}

TEST_F(LayerTest, ReadWriteTextOpenOfAnEmptyFileKeepsTheSeekFailureRecorded) {
    start_layer();
    fake::add_file("f", "");
    EXPECT_EQ(open_fd("f", OPEN_READ_WRITE, SHARE_DENY_NONE, DEFAULT_PERMISSION), 3);
    EXPECT_EQ(os_error_code, pf::ERROR_NEGATIVE_SEEK);
    EXPECT_EQ(error_number, ERR_INVALID);
    EXPECT_EQ(slot_of(3).fd_flags, TEXT_DISK);
}

TEST_F(LayerTest, ReadWriteTextOpenClosesWhenTheTrimFails) {
    struct Case {
        const char* name;
        Op op;
        std::uint32_t code;
        int error;
    };
    const Case cases[] = {
        {"set end", Op::set_end, pf::ERROR_ACCESS_DENIED, ERR_ACCESS},
        {"first seek", Op::seek, pf::ERROR_INVALID_HANDLE, ERR_BAD_HANDLE},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        reset_world();
        start_layer();
        fake::add_file("f", "abc\x1A");
        fake::fail_call(c.op, 1, c.code);
        EXPECT_EQ(open_fd("f", OPEN_READ_WRITE, SHARE_DENY_NONE, DEFAULT_PERMISSION), -1);
        EXPECT_EQ(error_number, c.error);
        EXPECT_EQ(os_error_code, c.code);
        EXPECT_EQ(calls_on(Op::close, FIRST_FILE_HANDLE).size(), 1u);
        EXPECT_EQ(slot_of(3).fd_flags, 0);
        EXPECT_EQ(slot_of(3).os_handle, -1);
        EXPECT_EQ(fake::contents("f"), "abc\x1A");
    }
}

// ---- close_fd ----

TEST_F(LayerTest, CloseFdClosesAndFreesTheSlot) {
    start_layer();
    fake::add_file("f", "data");
    ASSERT_EQ(open_for_reading("f"), 3);
    EXPECT_EQ(close_fd(3), 0);
    EXPECT_EQ(calls_on(Op::close, FIRST_FILE_HANDLE).size(), 1u);
    EXPECT_EQ(slot_of(3).fd_flags, 0);
    EXPECT_EQ(slot_of(3).os_handle, -1);
    EXPECT_EQ(close_fd(3), -1);
    EXPECT_EQ(error_number, ERR_BAD_HANDLE);

    ASSERT_EQ(open_for_reading("f"), 3);
    fake::fail_call(Op::close, 2, pf::ERROR_INVALID_HANDLE);
    EXPECT_EQ(close_fd(3), -1);
    EXPECT_EQ(error_number, ERR_BAD_HANDLE);
    EXPECT_EQ(os_error_code, pf::ERROR_INVALID_HANDLE);
    EXPECT_EQ(slot_of(3).fd_flags, 0);  // freed all the same
}

TEST_F(LayerTest, CloseFdLeavesAStandardHandleSharedByOutputAndError) {
    start_layer();
    slot_of(2).os_handle = STDOUT_HANDLE;
    EXPECT_EQ(close_fd(1), 0);
    EXPECT_EQ(fake::call_count(Op::close), 0);
    EXPECT_EQ(slot_of(1).fd_flags, 0);
    EXPECT_EQ(slot_of(1).os_handle, -1);

    reset_world();
    start_layer();
    EXPECT_EQ(close_fd(2), 0);
    EXPECT_EQ(calls_on(Op::close, STDERR_HANDLE).size(), 1u);
}

TEST_F(LayerTest, CloseFdOfASlotWithoutHandleSucceedsButRecordsBadHandle) {
    fake::set_std(pf::STD_ERROR_HANDLE, pf::FILE_TYPE_CHAR, false);
    start_layer();
    EXPECT_EQ(close_fd(2), 0);
    EXPECT_EQ(fake::call_count(Op::close), 0);
    EXPECT_EQ(slot_of(2).fd_flags, 0);
    EXPECT_EQ(error_number, ERR_BAD_HANDLE);
}

TEST_F(LayerTest, CloseFdDropsAPendingLookahead) {
    start_layer();
    fake::add_file("p", "a\rxb", pf::FILE_TYPE_PIPE, {2});
    fake::add_file("q", "cd", pf::FILE_TYPE_PIPE);
    ASSERT_EQ(open_for_reading("p"), 3);
    char buffer[8];
    ASSERT_EQ(text_read(3, buffer, 8), 2);
    EXPECT_EQ(slot_of(3).lookahead, 'x');
    EXPECT_EQ(close_fd(3), 0);
    EXPECT_EQ(slot_of(3).lookahead, LF);
    ASSERT_EQ(open_for_reading("q"), 3);
    ASSERT_EQ(text_read(3, buffer, 8), 2);
    EXPECT_EQ(std::string(buffer, 2), "cd");
}

// ---- errors ----

TEST(ErrorMapping, MapsTheCodesTheLayerMeetsAndTheRanges) {
    // The codes the platform layers report (the POSIX one's private codes by value), not a copy
    // of the whole table: a row the layer never meets is not worth a second copy to keep in step.
    const std::pair<std::uint32_t, int> met[] = {
        {pf::ERROR_INVALID_FUNCTION, ERR_INVALID},
        {pf::ERROR_FILE_NOT_FOUND, ERR_NO_ENTRY},
        {pf::ERROR_PATH_NOT_FOUND, ERR_NO_ENTRY},
        {pf::ERROR_TOO_MANY_OPEN_FILES, ERR_TOO_MANY_OPEN},
        {pf::ERROR_ACCESS_DENIED, ERR_ACCESS},
        {pf::ERROR_INVALID_HANDLE, ERR_BAD_HANDLE},
        {pf::ERROR_NOT_ENOUGH_MEMORY, ERR_NO_MEMORY},
        {19, ERR_ACCESS},  // write protected, from the range
        {31, ERR_ACCESS},  // general failure, from the range
        {pf::ERROR_SHARING_VIOLATION, ERR_ACCESS},
        {50, ERR_INVALID},  // not supported, by default
        {pf::ERROR_FILE_EXISTS, ERR_EXISTS},
        {pf::ERROR_INVALID_PARAMETER, ERR_INVALID},
        {pf::ERROR_BROKEN_PIPE, ERR_BROKEN_PIPE},
        {pf::ERROR_DISK_FULL, ERR_NO_SPACE},
        {pf::ERROR_NEGATIVE_SEEK, ERR_INVALID},
        {pf::ERROR_FILENAME_EXCED_RANGE, ERR_NO_ENTRY},
        {1921, ERR_INVALID},  // a name that cannot be resolved, by default
    };
    for (const auto& [code, number] : met)
        EXPECT_EQ(map_os_error(code), number) << code;
    for (std::uint32_t code = 19; code <= 36; ++code)
        if (code != 33) {
            EXPECT_EQ(map_os_error(code), ERR_ACCESS) << code;
        }
    for (std::uint32_t code = 188; code <= 202; ++code)
        EXPECT_EQ(map_os_error(code), ERR_EXEC_FORMAT) << code;
    for (std::uint32_t code : {0u, 14u, 37u, 52u, 187u, 203u, 205u, 1815u, 1817u, 0xFFFFFFFFu})
        EXPECT_EQ(map_os_error(code), ERR_INVALID) << code;
    record_os_error(189);
    EXPECT_EQ(error_number, ERR_EXEC_FORMAT);
    EXPECT_EQ(os_error_code, 189u);
}

// The tests' reset takes away a handler an earlier test installed; without one, a fatal error ends
// the process with 255 and writes nothing.
TEST_F(LayerTest, AFatalErrorWithoutAHandlerEndsWith255Alone) {
    static bool handled;
    handled = false;
    set_fatal_error_handler([](int) { handled = true; });
    reset_world();
    EXPECT_EQ(
        fake::run_until_exit([](void*) { raise_fatal_error(FATAL_NO_FLOATING_POINT); }, nullptr),
        255);
    EXPECT_FALSE(handled);
    EXPECT_EQ(fake::call_count(Op::write), 0);
}

// ---- text_read ----

struct ReadCase {
    const char* name;
    std::uint32_t type;
    std::string data;
    std::vector<std::uint32_t> chunks;
    std::uint32_t count;
    std::vector<std::string> reads;  // what each read delivers before the one that gives 0
    std::uint32_t open_flags = 0;
};

TEST_F(LayerTest, TextReadConvertsEachBlock) {
    const std::string x4095(4095, 'x');
    std::string crlf_lines, lf_lines;  // enough pairs that the text moves down a block and more
    for (int line = 0; line < 150; ++line) {
        const std::string text = std::string(line % 40, static_cast<char>('a' + line % 26)) +
                                 (line % 7 == 0 ? "\r" : "");  // now and then a lone CR
        crlf_lines += text + "\r\n";
        lf_lines += text + "\n";
    }
    constexpr std::uint32_t DISK = pf::FILE_TYPE_DISK, PIPE = pf::FILE_TYPE_PIPE,
                            CHAR = pf::FILE_TYPE_CHAR;
    const ReadCase cases[] = {
        {"CR-LF", DISK, "a\r\nb\n", {}, 4096, {"a\nb\n"}},
        {"lone CR", DISK, "a\rb", {}, 4096, {"a\rb"}},
        {"CR CR LF", DISK, "\r\r\n", {}, 4096, {"\r\n"}},
        {"many CR-LF lines", DISK, crlf_lines, {}, 4096, {lf_lines}},
        {"disk edge CR LF", DISK, x4095 + "\r\ny", {}, 4096, {x4095, "\ny"}},
        {"disk edge CR x", DISK, x4095 + "\rx", {}, 4096, {x4095 + "\r", "x"}},
        {"single CR block", DISK, "\r\nz", {}, 1, {"\n", "z"}},
        {"disk ends in CR", DISK, "ab\r", {}, 4096, {"ab\r"}},
        {"CR before Ctrl-Z", DISK, "a\r\x1A", {}, 4096, {"a\r"}},
        {"disk Ctrl-Z",
         DISK,
         "ab\x1A"
         "cd",
         {},
         4096,
         {"ab"}},
        {"Ctrl-Z first",
         DISK,
         "\x1A"
         "ab",
         {},
         4096,
         {}},
        {"pipe CR then x", PIPE, "a\rxb", {2}, 4096, {"a\r", "xb"}},
        {"pipe CR then LF", PIPE, "a\r\nb", {2}, 4096, {"a\n", "b"}},
        {"pipe CR then CR LF", PIPE, "a\r\r\nb", {2}, 4096, {"a\r", "\n", "b"}},
        {"pipe edge CR LF", PIPE, x4095 + "\r\n", {}, 4096, {x4095 + "\n"}},
        {"pipe edge CR x", PIPE, x4095 + "\rx", {}, 4096, {x4095 + "\r", "x"}},
        {"pipe Ctrl-Z",
         PIPE,
         "ab\x1A"
         "cd",
         {3},
         4096,
         {"ab"}},
        {"pipe lookahead fills a one-byte read", PIPE, "a\rxy", {2}, 1, {"a", "\r", "x", "y"}},
        {"device CR then x", CHAR, "a\rxb", {2}, 4096, {"a\r", "xb"}},
        {"device Ctrl-Z",
         CHAR,
         "ab\x1A"
         "c"
         "de",
         {4},
         4096,
         {"ab", "de"}},
        {"binary",
         DISK,
         "a\r\n\x1A"
         "b\r",
         {},
         4096,
         {"a\r\n\x1A"
          "b\r"},
         OPEN_BINARY},
        {"binary pipe", PIPE, "a\r", {}, 4096, {"a\r"}, OPEN_BINARY},
    };
    for (const ReadCase& c : cases) {
        SCOPED_TRACE(c.name);
        reset_world();
        start_layer();
        fake::add_file("f", c.data, c.type, c.chunks);
        const int fd = open_for_reading("f", c.open_flags);
        ASSERT_EQ(fd, 3);
        std::vector<char> buffer(c.count);
        for (std::size_t i = 0; i <= c.reads.size(); ++i) {
            const std::size_t before = fake::calls().size();
            const std::int32_t n = text_read(fd, buffer.data(), c.count);
            const std::string expected = i < c.reads.size() ? c.reads[i] : "";
            ASSERT_GE(n, 0);
            EXPECT_EQ(std::string(buffer.data(), static_cast<std::size_t>(n)), expected) << i;
            // One read per call, and at most one more of a single byte.
            int reads = 0;
            for (std::size_t k = before; k < fake::calls().size(); ++k) {
                const fake::Call& call = fake::calls()[k];
                if (call.op != Op::read) continue;
                if (++reads > 1) {
                    EXPECT_EQ(call.size, 1u);
                }
            }
            EXPECT_LE(reads, 2);
        }
        EXPECT_EQ(error_number, NO_ERROR_NUMBER);
    }
}

std::vector<std::pair<Op, std::int64_t>> ops_on(OsHandle handle) {
    std::vector<std::pair<Op, std::int64_t>> ops;
    for (const fake::Call& call : fake::calls())
        if (call.handle == handle && (call.op == Op::read || call.op == Op::seek))
            ops.emplace_back(call.op, static_cast<std::int64_t>(call.size));
    return ops;
}

TEST_F(LayerTest, TextReadPeeksAndGivesBackOnADiskEdge) {
    start_layer();
    fake::add_file("f", std::string(4095, 'x') + "\r\n");
    const int fd = open_for_reading("f");
    std::vector<char> buffer(4096);
    EXPECT_EQ(text_read(fd, buffer.data(), 4096), 4095);
    using P = std::pair<Op, std::int64_t>;
    EXPECT_EQ(ops_on(FIRST_FILE_HANDLE),
              (std::vector<P>{{Op::read, 4096}, {Op::read, 1}, {Op::seek, -1}}));
    EXPECT_EQ(fake::calls_of(Op::seek).back().origin, pf::FILE_CURRENT);
    EXPECT_EQ(text_read(fd, buffer.data(), 4096), 1);
    EXPECT_EQ(buffer[0], LF);

    // A block of a single CR: the LF after it is taken at once, without a give-back.
    reset_world();
    start_layer();
    fake::add_file("f", "\r\n");
    ASSERT_EQ(open_for_reading("f"), 3);
    EXPECT_EQ(text_read(3, buffer.data(), 1), 1);
    EXPECT_EQ(buffer[0], LF);
    EXPECT_EQ(ops_on(FIRST_FILE_HANDLE), (std::vector<P>{{Op::read, 1}, {Op::read, 1}}));
}

TEST_F(LayerTest, CtrlZEndsADiskFileForGoodButOnlyTheBlockOfADevice) {
    for (std::uint32_t type : {pf::FILE_TYPE_DISK, pf::FILE_TYPE_PIPE, pf::FILE_TYPE_CHAR}) {
        SCOPED_TRACE(type);
        reset_world();
        start_layer();
        fake::add_file("f",
                       "ab\x1A"
                       "cd",
                       type, {5});
        ASSERT_EQ(open_for_reading("f"), 3);
        char buffer[16];
        EXPECT_EQ(text_read(3, buffer, 16), 2);
        const int reads = fake::call_count(Op::read);
        const bool device = type == pf::FILE_TYPE_CHAR;
        EXPECT_EQ((slot_of(3).fd_flags & FD_EOF) != 0, !device);
        EXPECT_EQ(text_read(3, buffer, 16), 0);
        EXPECT_EQ(fake::call_count(Op::read), device ? reads + 1 : reads);
    }
}

TEST_F(LayerTest, TextReadFailures) {
    struct Case {
        const char* name;
        std::uint32_t code;
        int error;
    };
    const Case cases[] = {
        {"access denied", pf::ERROR_ACCESS_DENIED, ERR_BAD_HANDLE},
        {"disk full", pf::ERROR_DISK_FULL, ERR_NO_SPACE},
        {"sharing", pf::ERROR_SHARING_VIOLATION, ERR_ACCESS},
        {"invalid handle", pf::ERROR_INVALID_HANDLE, ERR_BAD_HANDLE},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        reset_world();
        start_layer();
        fake::add_file("f", "abc");
        ASSERT_EQ(open_for_reading("f"), 3);
        fake::fail_call(Op::read, 1, c.code);
        char buffer[8];
        EXPECT_EQ(text_read(3, buffer, 8), -1);
        EXPECT_EQ(error_number, c.error);
        EXPECT_EQ(os_error_code, c.code);
        EXPECT_EQ(text_read(3, buffer, 8), 3);  // the next read asks again
    }
    // Reading a handle opened for writing only.
    char buffer[8];
    clear_errors();
    EXPECT_EQ(text_read(1, buffer, 8), -1);
    EXPECT_EQ(error_number, ERR_BAD_HANDLE);
    EXPECT_EQ(os_error_code, pf::ERROR_ACCESS_DENIED);
    const int reads = fake::call_count(Op::read);
    EXPECT_EQ(text_read(1, buffer, 0), 0);
    EXPECT_EQ(fake::call_count(Op::read), reads);
}

TEST_F(LayerTest, BrokenPipeIsTheEndOfDataAfterAnyPendingCharacter) {
    start_layer();
    fake::add_file("p", "a\rx", pf::FILE_TYPE_PIPE, {2});
    fake::end_with_broken_pipe("p");
    ASSERT_EQ(open_for_reading("p"), 3);
    char buffer[8];
    EXPECT_EQ(text_read(3, buffer, 8), 2);
    EXPECT_EQ(text_read(3, buffer, 8), 1);
    EXPECT_EQ(buffer[0], 'x');
    EXPECT_EQ(text_read(3, buffer, 8), 0);
    EXPECT_EQ(text_read(3, buffer, 8), 0);
    EXPECT_EQ(error_number, NO_ERROR_NUMBER);
}

TEST_F(LayerTest, AFailedReadKeepsTheLookaheadPending) {
    start_layer();
    fake::add_file("p", "a\rxb", pf::FILE_TYPE_PIPE, {2});
    ASSERT_EQ(open_for_reading("p"), 3);
    char buffer[8];
    ASSERT_EQ(text_read(3, buffer, 8), 2);
    fake::fail_call(Op::read, 3, pf::ERROR_DISK_FULL);
    EXPECT_EQ(text_read(3, buffer, 8), -1);
    EXPECT_EQ(slot_of(3).lookahead, 'x');
    ASSERT_EQ(text_read(3, buffer, 8), 2);
    EXPECT_EQ(std::string(buffer, 2), "xb");
}

TEST_F(LayerTest, AFailedPeekHandsTheCRBackToTheNextRead) {
    // Deciding the CR without its next byte would split a CR-LF pair across two reads.
    struct Case {
        const char* name;
        std::uint32_t type;
        std::string data;
        std::uint32_t count;
        std::int32_t first;  // the result of the read whose peek fails
        std::string rest;    // what later reads deliver
    };
    const Case cases[] = {
        {"disk", pf::FILE_TYPE_DISK, "ab\r\n", 3, 2, "\n"},
        {"pipe", pf::FILE_TYPE_PIPE, "ab\r\n", 3, 2, "\n"},
        {"disk, CR alone", pf::FILE_TYPE_DISK, "\r\n", 1, -1, "\n"},
        {"pipe, CR alone", pf::FILE_TYPE_PIPE, "\r\n", 1, -1, "\n"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        reset_world();
        start_layer();
        fake::add_file("f", c.data, c.type, {c.count});
        ASSERT_EQ(open_for_reading("f"), 3);
        fake::fail_call(Op::read, 2, pf::ERROR_DISK_FULL);
        char buffer[8];
        EXPECT_EQ(text_read(3, buffer, c.count), c.first);
        EXPECT_EQ(error_number, ERR_NO_SPACE);
        EXPECT_EQ(os_error_code, pf::ERROR_DISK_FULL);
        std::string rest;
        for (std::int32_t n; (n = text_read(3, buffer, c.count)) > 0;)
            rest.append(buffer, static_cast<std::size_t>(n));
        EXPECT_EQ(rest, c.rest);
    }
}

TEST_F(LayerTest, AByteThatCannotBeGivenBackIsNotLost) {
    // The look past a block-final CR took a byte from a disk file; when the seek that should give
    // it back fails, the read must still deliver every byte exactly once.
    struct Case {
        const char* name;
        std::string data;
        std::string first;  // the read whose give-back seek fails
        std::string rest;
    };
    const Case cases[] = {
        {"pair across the edge", "ab\r\ncd", "ab\n", "cd"},
        {"lone CR at the edge", "ab\rxcd", "ab\r", "xcd"},
        {"CR then Ctrl-Z",
         "ab\r\x1a"
         "cd",
         "ab\r", ""},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        reset_world();
        start_layer();
        fake::add_file("f", c.data);
        ASSERT_EQ(open_for_reading("f"), 3);
        fake::fail_call(Op::seek, 1, pf::ERROR_INVALID_FUNCTION);
        char buffer[8];
        const std::int32_t n = text_read(3, buffer, 3);
        ASSERT_GE(n, 0);
        EXPECT_EQ(std::string(buffer, static_cast<std::size_t>(n)), c.first);
        std::string rest;
        for (std::int32_t got; (got = text_read(3, buffer, 3)) > 0;)
            rest.append(buffer, static_cast<std::size_t>(got));
        EXPECT_EQ(rest, c.rest);
    }
}

TEST_F(LayerTest, APeekAtTheEndOfTheDataDeliversTheCR) {
    start_layer();
    fake::add_file("p", "ab\r", pf::FILE_TYPE_PIPE);
    fake::end_with_broken_pipe("p");
    ASSERT_EQ(open_for_reading("p"), 3);
    char buffer[8];
    ASSERT_EQ(text_read(3, buffer, 8), 3);
    EXPECT_EQ(std::string(buffer, 3), "ab\r");
    EXPECT_EQ(text_read(3, buffer, 8), 0);
    EXPECT_EQ(error_number, NO_ERROR_NUMBER);
}

// ---- text_write ----

std::string dos_text(const std::string& text) {
    std::string out;
    for (char c : text) {
        if (c == LF) out.push_back(CR);
        out.push_back(c);
    }
    return out;
}

TEST_F(LayerTest, TextWriteConvertsInChunksOfAtMost1025Bytes) {
    struct Case {
        const char* name;
        std::string text;
        bool binary;
        std::vector<std::uint64_t> writes;
    };
    const std::string a1023(1023, 'a'), a1024(1024, 'a'), lf2048(2048, LF);
    std::string pairs_at_the_limit;  // every chunk 1025 bytes, so chunks and batches fall apart
    for (int line = 0; line < 9; ++line)
        pairs_at_the_limit += a1023 + "\n";
    const std::vector<std::uint64_t> nine_1024(9, 1024), nine_1025(9, 1025);
    std::vector<std::uint64_t> a9000_writes(8, 1024);
    a9000_writes.push_back(810);
    const Case cases[] = {
        {"short line", "abc\n", false, {5}},
        {"binary", "abc\n", true, {4}},
        {"pair at the limit", a1023 + "\n", false, {1025}},
        {"pair after the limit", a1024 + "\n", false, {1024, 2}},
        {"line ends only", lf2048, false, {1024, 1024, 1024, 1024}},
        {"binary large", lf2048 + a1024, true, {3072}},
        {"past eight chunks", std::string(9000, 'a') + "\n", false, a9000_writes},
        {"line ends past eight chunks", std::string(4608, LF), false, nine_1024},
        {"a chunk across eight chunks' mark", pairs_at_the_limit, false, nine_1025},
        {"CR kept", "a\r\nb", false, {5}},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        reset_world();
        start_layer(pf::FILE_TYPE_DISK);
        if (c.binary) slot_of(1).fd_flags &= static_cast<std::uint8_t>(~FD_TEXT);
        const auto n = static_cast<std::uint32_t>(c.text.size());
        EXPECT_EQ(text_write(1, c.text.data(), n), static_cast<std::int32_t>(n));
        EXPECT_EQ(write_sizes(STDOUT_HANDLE), c.writes);
        EXPECT_EQ(fake::contents("<stdout>"), c.binary ? c.text : dos_text(c.text));
        EXPECT_EQ(error_number, NO_ERROR_NUMBER);
        // The same text stored by the handle's sink and written from there goes out in the same
        // writes, counted in the bytes stored.
        reset_world();
        start_layer(pf::FILE_TYPE_DISK);
        if (c.binary) slot_of(1).fd_flags &= static_cast<std::uint8_t>(~FD_TEXT);
        const Sink* sink = sink_for(1, SINK_BYTES_PER_CHAR);
        std::vector<char> stored(n * SINK_BYTES_PER_CHAR + SINK_OVERRUN);
        const std::uint32_t length = sink->store(stored.data(), c.text.data(), n);
        EXPECT_EQ(sink->write(1, stored.data(), length), static_cast<std::int32_t>(length));
        EXPECT_EQ(write_sizes(STDOUT_HANDLE), c.writes);
        EXPECT_EQ(fake::contents("<stdout>"), c.binary ? c.text : dos_text(c.text));
    }
}

TEST_F(LayerTest, TextWriteSeeksToTheEndOnceBeforeEachAppendingCall) {
    start_layer();
    fake::add_file("log", "old");
    const int fd = open_fd("log", OPEN_WRITE_ONLY | OPEN_APPEND | OPEN_CREATE, SHARE_DENY_NONE,
                           DEFAULT_PERMISSION);
    ASSERT_EQ(fd, 3);
    ASSERT_TRUE(slot_of(fd).fd_flags & FD_APPEND);
    EXPECT_EQ(text_write(fd, "x", 0), 0);
    EXPECT_TRUE(fake::calls().empty() || fake::calls().back().op == Op::file_type);
    const std::string lfs(2048, LF);
    EXPECT_EQ(text_write(fd, lfs.data(), 2048), 2048);
    EXPECT_EQ(text_write(fd, "y", 1), 1);
    std::vector<Op> ops;
    for (const fake::Call& call : fake::calls())
        if (call.handle == FIRST_FILE_HANDLE && call.op != Op::file_type) ops.push_back(call.op);
    EXPECT_EQ(ops, (std::vector<Op>{Op::seek, Op::write, Op::write, Op::write, Op::write, Op::seek,
                                    Op::write}));
    for (const fake::Call& call : fake::calls_of(Op::seek)) {
        EXPECT_EQ(call.origin, pf::FILE_END);
        EXPECT_EQ(call.size, 0u);
    }
    EXPECT_EQ(fake::contents("log"), "old" + dos_text(lfs) + "y");
}

TEST_F(LayerTest, TextWriteReportsTheBytesOfTheBufferThatWentOut) {
    struct Case {
        const char* name;
        std::string text;
        bool binary;
        int short_nth;
        std::uint32_t short_bytes;
        int fail_nth;
        std::int32_t result;
    };
    const std::string many = std::string(1000, 'a') + std::string(100, LF);
    const std::string lfs(2048, LF);
    std::string pairs_at_the_limit;  // every chunk 1025 bytes, so chunks and batches fall apart
    for (int line = 0; line < 9; ++line)
        pairs_at_the_limit += std::string(1023, 'a') + "\n";
    const Case cases[] = {
        {"short before the line end", "abc\ndef", false, 1, 3, 0, 3},
        {"ninth chunk short", std::string(4608, LF), false, 9, 3, 0, 4097},
        {"ninth chunk fails", std::string(4608, LF), false, 0, 0, 9, 4096},
        {"eighth chunk short across the limit", pairs_at_the_limit, false, 8, 3, 0, 7171},
        {"ninth chunk fails across the limit", pairs_at_the_limit, false, 0, 0, 9, 8192},
        {"short between CR and LF", "abc\ndef", false, 1, 4, 0, 3},
        {"short after the pair", "abc\ndef", false, 1, 5, 0, 4},
        {"only a CR out", lfs, false, 1, 1, 0, 0},
        {"second chunk short", lfs, false, 2, 3, 0, 513},
        {"second chunk fails", many, false, 0, 0, 2, 1012},
        {"last of four fails", lfs, false, 0, 0, 4, 1536},
        {"binary short", "abcd", true, 1, 2, 0, 2},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        reset_world();
        start_layer(pf::FILE_TYPE_DISK);
        if (c.binary) slot_of(1).fd_flags &= static_cast<std::uint8_t>(~FD_TEXT);
        if (c.short_nth != 0) fake::short_write(c.short_nth, c.short_bytes);
        if (c.fail_nth != 0) fake::fail_call(Op::write, c.fail_nth, pf::ERROR_DISK_FULL);
        EXPECT_EQ(text_write(1, c.text.data(), static_cast<std::uint32_t>(c.text.size())),
                  c.result);
        EXPECT_EQ(error_number, NO_ERROR_NUMBER);
        // Nothing is written after a short chunk.
        if (c.short_nth != 0) {
            EXPECT_EQ(fake::call_count(Op::write), c.short_nth);
        }
    }
}

TEST_F(LayerTest, EachSinkWritesAsItsHandleDoes) {
    // "ab\ncd\n" is stored through the sink a stream with a buffer of its own gets, and the stored
    // bytes are written twice: an appending handle seeks to its end before each write.
    struct Case {
        const char* name;
        std::uint32_t open_flags;
        int short_nth;  // the n-th write falls short, to 3 bytes
        int fail_nth;   // the n-th write fails
        std::uint32_t fail_code;
        std::int32_t first, second;  // the two writes' results
        std::vector<Op> ops;
        std::string after;
        int error;
        std::uint32_t os_code;
    };
    constexpr std::uint32_t WRITE = OPEN_WRITE_ONLY | OPEN_CREATE;
    constexpr std::uint32_t APPEND = WRITE | OPEN_APPEND;
    const std::vector<Op> two_writes{Op::write, Op::write};
    const std::vector<Op> appending{Op::seek, Op::write, Op::seek, Op::write};
    const Case cases[] = {
        {"text", WRITE, 0, 0, 0, 8, 8, two_writes, "oldab\r\ncd\r\nab\r\ncd\r\n", NO_ERROR_NUMBER,
         NO_OS_CODE},
        {"binary", WRITE | OPEN_BINARY, 0, 0, 0, 6, 6, two_writes, "oldab\ncd\nab\ncd\n",
         NO_ERROR_NUMBER, NO_OS_CODE},
        {"text, appending", APPEND, 0, 0, 0, 8, 8, appending, "oldab\r\ncd\r\nab\r\ncd\r\n",
         NO_ERROR_NUMBER, NO_OS_CODE},
        {"binary, appending", APPEND | OPEN_BINARY, 0, 0, 0, 6, 6, appending, "oldab\ncd\nab\ncd\n",
         NO_ERROR_NUMBER, NO_OS_CODE},
        {"text, short", WRITE, 1, 0, 0, 3, 8, two_writes, "oldab\rab\r\ncd\r\n", NO_ERROR_NUMBER,
         NO_OS_CODE},
        {"text, failed", WRITE, 0, 1, pf::ERROR_DISK_FULL, -1, 8, two_writes, "oldab\r\ncd\r\n",
         ERR_NO_SPACE, pf::ERROR_DISK_FULL},
        {"text, appending, refused", APPEND, 0, 2, pf::ERROR_ACCESS_DENIED, 8, -1, appending,
         "oldab\r\ncd\r\n", ERR_BAD_HANDLE, pf::ERROR_ACCESS_DENIED},
        {"binary, failed", WRITE | OPEN_BINARY, 0, 1, pf::ERROR_DISK_FULL, -1, 6, two_writes,
         "oldab\ncd\n", ERR_NO_SPACE, pf::ERROR_DISK_FULL},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        reset_world();
        start_layer();
        fake::add_file("f", "old");
        const int fd = open_fd("f", c.open_flags, SHARE_DENY_NONE, DEFAULT_PERMISSION);
        ASSERT_EQ(fd, 3);
        if (!(c.open_flags & OPEN_APPEND)) {
            ASSERT_EQ(seek_fd(fd, 3, pf::FILE_BEGIN), 3);
        }
        const std::size_t before = fake::calls().size();
        if (c.short_nth != 0) fake::short_write(c.short_nth, 3);
        if (c.fail_nth != 0) fake::fail_call(Op::write, c.fail_nth, c.fail_code);
        const Sink* sink = sink_for(fd, SINK_BYTES_PER_CHAR);
        char stored[12 + SINK_OVERRUN];
        const std::uint32_t length = sink->store(stored, "ab\ncd\n", 6);
        EXPECT_EQ(sink->write(fd, stored, length), c.first);
        EXPECT_EQ(sink->write(fd, stored, length), c.second);
        std::vector<Op> ops;
        for (std::size_t i = before; i < fake::calls().size(); ++i)
            if (fake::calls()[i].handle == FIRST_FILE_HANDLE) ops.push_back(fake::calls()[i].op);
        EXPECT_EQ(ops, c.ops);
        EXPECT_EQ(fake::contents("f"), c.after);
        EXPECT_EQ(error_number, c.error);
        EXPECT_EQ(os_error_code, c.os_code);
    }
}

TEST_F(LayerTest, TextWriteWithNothingWritten) {
    struct Case {
        const char* name;
        std::uint32_t type;
        std::string text;
        std::uint32_t fail_code;  // 0: the write succeeds with 0 bytes
        std::int32_t result;
        int error;
        std::uint32_t os_code;
    };
    constexpr std::uint32_t DISK = pf::FILE_TYPE_DISK, CHAR = pf::FILE_TYPE_CHAR;
    const Case cases[] = {
        {"access denied", DISK, "ab", pf::ERROR_ACCESS_DENIED, -1, ERR_BAD_HANDLE, 5},
        {"disk full", DISK, "ab", pf::ERROR_DISK_FULL, -1, ERR_NO_SPACE, 112},
        {"broken pipe", DISK, "ab", pf::ERROR_BROKEN_PIPE, -1, ERR_BROKEN_PIPE, 109},
        {"zero bytes", DISK, "ab", 0, -1, ERR_NO_SPACE, 0},
        {"Ctrl-Z to a device", CHAR,
         "\x1A"
         "a",
         0, 0, NO_ERROR_NUMBER, NO_OS_CODE},
        {"other text to a device", CHAR, "a\x1A", 0, -1, ERR_NO_SPACE, 0},
        {"Ctrl-Z to a disk file", DISK, "\x1A", 0, -1, ERR_NO_SPACE, 0},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        reset_world();
        start_layer(c.type);
        if (c.fail_code != 0)
            fake::fail_call(Op::write, 1, c.fail_code);
        else
            fake::short_write(1, 0);
        EXPECT_EQ(text_write(1, c.text.data(), static_cast<std::uint32_t>(c.text.size())),
                  c.result);
        EXPECT_EQ(error_number, c.error);
        EXPECT_EQ(os_error_code, c.os_code);
    }
}

TEST_F(LayerTest, CommitFd) {
    start_layer(pf::FILE_TYPE_DISK);
    EXPECT_EQ(commit_fd(1), 0);
    EXPECT_EQ(calls_on(Op::flush, STDOUT_HANDLE).size(), 1u);
    fake::fail_call(Op::flush, 2, pf::ERROR_DISK_FULL);
    EXPECT_EQ(commit_fd(1), -1);
    EXPECT_EQ(error_number, ERR_BAD_HANDLE);
    EXPECT_EQ(os_error_code, pf::ERROR_DISK_FULL);
    os_error_code = 1234;
    EXPECT_EQ(commit_fd(9), -1);
    EXPECT_EQ(error_number, ERR_BAD_HANDLE);
    EXPECT_EQ(os_error_code, 1234u);
}

}  // namespace
}  // namespace mirzet::testing
