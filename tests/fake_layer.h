// Shared set-up for the tests that run the layer over the fake operating system.
#pragma once

#include <gtest/gtest.h>

#include <cstdint>
#include <cstdlib>
#include <string>
#include <vector>

#include "platform/fake.h"
#include "textio/handles.h"
#include "textio/scan.h"
#include "textio/streams.h"

namespace mirzet::testing {

namespace pf = platform;
using fake::Op;

using fake::FIRST_FILE_HANDLE;
using fake::STDERR_HANDLE;
using fake::STDIN_HANDLE;
using fake::STDOUT_HANDLE;

// A fresh fake system and no fatal-error handler: the fake knows nothing of the layer above it, so
// the handler an earlier test installed is taken away here, with the fake's world.
inline void reset_world() {
    fake::reset();
    set_fatal_error_handler(nullptr);
    // The byte loops' path, as the program takes it, so that these tests run on each path the
    // processor has (the `paths` label).
    scan::use_path(scan::path_named(std::getenv("MIRZET_SIMD")));
}

// Values no operation of the layer ever records, to tell "nothing recorded" apart.
constexpr int NO_ERROR_NUMBER = -77;
constexpr std::uint32_t NO_OS_CODE = 0xDEADu;

inline void clear_errors() {
    error_number = NO_ERROR_NUMBER;
    os_error_code = NO_OS_CODE;
}

inline FdInfo& slot_of(int fd) {
    return *fd_info(fd);
}

inline std::vector<fake::Call> calls_on(Op op, OsHandle handle) {
    std::vector<fake::Call> found;
    for (const fake::Call& call : fake::calls())
        if (call.op == op && call.handle == handle) found.push_back(call);
    return found;
}

// The sizes of the writes made to a handle, in order.
inline std::vector<std::uint64_t> write_sizes(OsHandle handle) {
    std::vector<std::uint64_t> sizes;
    for (const fake::Call& call : calls_on(Op::write, handle))
        sizes.push_back(call.size);
    return sizes;
}

inline std::vector<std::uint64_t> read_sizes(OsHandle handle) {
    std::vector<std::uint64_t> sizes;
    for (const fake::Call& call : calls_on(Op::read, handle))
        sizes.push_back(call.size);
    return sizes;
}

// The bytes of every write made to a handle, in order.
inline std::vector<std::string> writes_to(OsHandle handle) {
    std::vector<std::string> writes;
    for (const fake::Call& call : calls_on(Op::write, handle))
        writes.push_back(call.bytes);
    return writes;
}

inline std::string bytes(std::initializer_list<int> values) {
    std::string s;
    for (int v : values)
        s.push_back(static_cast<char>(v));
    return s;
}

// A fresh fake system with standard output of the given type (the others stay devices) and the
// handle and stream tables set up over it, as start-up leaves them.
class LayerTest : public ::testing::Test {
  protected:
    void SetUp() override { reset_world(); }

    void start_layer(std::uint32_t stdout_type = pf::FILE_TYPE_CHAR) {
        fake::set_std(pf::STD_OUTPUT_HANDLE, stdout_type);
        ASSERT_TRUE(init_fd_table());
        ASSERT_TRUE(init_stream_table());
        clear_errors();
    }

    // Opens a file that the test has added, for reading, as the layer's "r" does.
    int open_for_reading(const std::string& path, std::uint32_t extra_flags = 0) {
        return open_fd(path.c_str(), OPEN_READ_ONLY | extra_flags, SHARE_DENY_NONE,
                       DEFAULT_PERMISSION);
    }
};

}  // namespace mirzet::testing
