// The running count of one call stops at the largest 32-bit value: the character that would pass
// it is not emitted and the call reports -1. Some 2 GiB of blanks go to the null device per case.
#include <gtest/gtest.h>

#include <climits>
#include <cstdint>

#include "textio/format.h"
#include "textio/handles.h"
#include "textio/streams.h"

namespace mirzet {
namespace {

template <typename... T>
std::int32_t format_to(Stream* stream, const char* format, T... values) {
    const FormatArg items[] = {make_arg(values)..., FormatArg{}};
    FormatArgs args{items, sizeof...(T), 0};
    return format_to_stream(stream, format, args);
}

TEST(FormatCountLimit, ACallPastTheLargest32BitCountReportsMinusOne) {
    ASSERT_TRUE(init_fd_table());
    ASSERT_TRUE(init_stream_table());
    Stream* null_device = open_stream("/dev/null", "w");
    ASSERT_NE(null_device, nullptr);
    std::int32_t n = 0;

    EXPECT_EQ(format_to(null_device, "%2147483647d", 7), INT32_MAX);
    EXPECT_EQ(format_to(null_device, "%2147483646d!%n", 7, &n), INT32_MAX);
    EXPECT_EQ(n, INT32_MAX);

    n = 0;
    EXPECT_EQ(format_to(null_device, "%2147483647d!%n", 7, &n), -1);
    EXPECT_EQ(n, 0) << "nothing after the limit is converted";
    EXPECT_EQ(format_to(null_device, "ab%2147483646s", "x"), -1);
    EXPECT_EQ(format_to(null_device, "%*d", INT32_MIN, 7), INT32_MAX);
    EXPECT_EQ(null_device->flags & STREAM_ERROR, 0u) << "the device itself never failed";
}

}  // namespace
}  // namespace mirzet
