// The format engine: the grammar's corners, every flag, size and conversion, argument kinds, and
// print calls on the standard output of the fake platform.
#include <gtest/gtest.h>

#include <climits>
#include <cstdint>
#include <cstring>
#include <string>
#include <vector>

#include "runtime/runtime.h"
#include "tests/fake_layer.h"
#include "textio/format.h"

namespace mirzet {
namespace {

using Args = std::vector<FormatArg>;
using std::string_literals::operator""s;

struct Formatted {
    std::string bytes;
    std::int32_t count;
};

// Formats into memory of the given capacity.
Formatted format(const char* text, const Args& list, std::int32_t capacity = 4096) {
    std::string buffer(static_cast<std::size_t>(capacity), '\0');
    FormatArgs args{list.data(), list.size(), 0};
    const std::int32_t count = format_to_buffer(buffer.data(), capacity, text, args);
    // A memory stream reports -1 only once it is full.
    buffer.resize(static_cast<std::size_t>(count < 0 ? capacity : count));
    return {buffer, count};
}

struct Case {
    const char* format;
    Args args;
    std::string expected;
};

void check(const std::vector<Case>& cases) {
    for (const Case& c : cases) {
        SCOPED_TRACE(std::string("format \"") + c.format + "\"");
        const Formatted out = format(c.format, c.args);
        EXPECT_EQ(out.bytes, c.expected);
        EXPECT_EQ(out.count, static_cast<std::int32_t>(c.expected.size()));
    }
}

FormatArg arg(auto value) {
    return make_arg(value);
}

const void* address(std::uintptr_t value) {
    return reinterpret_cast<const void*>(value);
}

TEST(FormatGrammar, StateChangesAndLiteralText) {
    check({
        {"", {}, ""},
        {"plain text\n", {}, "plain text\n"},
        {"\x01\x7f\x80\xff", {}, "\x01\x7f\x80\xff"},
        {"%%", {}, "%"},
        {"100%%!", {}, "100%!"},
        {"%%d", {arg(7)}, "%d"},
        {"%%%d", {arg(7)}, "%7"},
        {"a%", {}, "a"},
        {"%", {}, ""},
        {"%-5.3h", {}, ""},
        {"%y", {}, "y"},
        {"%5y", {}, "y"},
        {"%-y!", {}, "y!"},
        {"%.y", {}, "y"},
        {"%hy", {}, "y"},
        {"%\x80x", {}, "\x80x"},
        {"%5%d", {arg(7)}, "%d"},
        {"%5*d", {arg(3), arg(7)}, "*d"},
        {"%5-d", {arg(7)}, "-d"},
        {"%..d", {arg(7)}, ".d"},
        {"%.-d", {arg(7)}, "-d"},
        {"%.5*d", {arg(7)}, "*d"},
        {"%.5-d", {arg(7)}, "-d"},
        {"%h5d", {arg(7)}, "5d"},
        {"%h.d", {arg(7)}, ".d"},
        {"%h%d", {arg(7)}, "%d"},
        {"%d%d%%%s.", {arg(1), arg(2), arg("x")}, "12%x."},
        {"%dx%%y", {arg(1)}, "1x%y"},
        // F, L and N are sizes that change nothing.
        {"%Fd %Ld %Nd %FLNs", {arg(1), arg(2), arg(3), arg("s")}, "1 2 3 s"},
    });
}

TEST(FormatGrammar, AnIWithout64IsTextAndDropsTheConversion) {
    check({
        {"%Id", {arg(7)}, "Id"},
        {"%I6d", {arg(7)}, "I6d"},
        {"%I32d", {arg(7)}, "I32d"},
        {"%5I", {}, "I"},
        {"%I", {}, "I"},
        {"%I6", {}, "I6"},
        {"%hId|%d", {arg(7)}, "Id|7"},
        {"%I64d", {arg(INT64_C(-12345678901))}, "-12345678901"},
    });
}

TEST(FormatGrammar, WidthAndPrecisionFromArguments) {
    check({
        {"%*d", {arg(4), arg(7)}, "   7"},
        {"%*d", {arg(-4), arg(7)}, "7   "},
        {"%-*d", {arg(-4), arg(7)}, "7   "},
        {"%0*d", {arg(-4), arg(7)}, "7   "},
        {"%*d|", {arg(0), arg(7)}, "7|"},
        {"%.*d", {arg(3), arg(7)}, "007"},
        {"%.*d", {arg(-1), arg(7)}, "7"},
        {"%.*d", {arg(0), arg(0)}, ""},
        {"%.*s", {arg(-5), arg("abc")}, "abc"},
        {"%*.*d", {arg(6), arg(3), arg(-7)}, "  -007"},
        {"%*5d", {arg(1), arg(7)}, "              7"},
        // Digits after a '*' that gave no precision start a precision of their own.
        {"%.*3d", {arg(-1), arg(7)}, "007"},
        {"%.*3d", {arg(1), arg(7)}, "0000000000007"},
    });
}

TEST(FormatFlags, EachAloneAndCombined) {
    check({
        {"%d", {arg(-5)}, "-5"},
        {"%+d", {arg(5)}, "+5"},
        {"%+d", {arg(-5)}, "-5"},
        {"% d", {arg(5)}, " 5"},
        {"% d", {arg(-5)}, "-5"},
        {"%+ d", {arg(5)}, "+5"},
        {"% +d", {arg(5)}, "+5"},
        {"%+u %+x % o % X", {arg(5), arg(5), arg(5), arg(5)}, "5 5 5 5"},
        {"%5d", {arg(42)}, "   42"},
        {"%-5d|", {arg(42)}, "42   |"},
        {"%05d", {arg(42)}, "00042"},
        {"%05d", {arg(-42)}, "-0042"},
        {"%+05d", {arg(42)}, "+0042"},
        {"% 05d", {arg(42)}, " 0042"},
        {"%-05d|", {arg(42)}, "42   |"},
        {"%0-5d|", {arg(42)}, "42   |"},
        {"%--5d|", {arg(42)}, "42   |"},
        {"%00005d", {arg(42)}, "00042"},
        {"%1d", {arg(12345)}, "12345"},
        {"%#x %#X", {arg(255), arg(255)}, "0xff 0XFF"},
        {"%#x %#X %#o", {arg(0), arg(0), arg(0)}, "0 0 0"},
        {"%#o", {arg(8)}, "010"},
        {"%#.5o", {arg(8)}, "00010"},
        {"%#.2o", {arg(8)}, "010"},
        {"%#.0o|%#.0x|%.0d", {arg(0), arg(0), arg(0)}, "0||"},
        {"%#08x", {arg(255)}, "0x0000ff"},
        {"%#8x", {arg(255)}, "    0xff"},
        {"%-#8x|", {arg(255)}, "0xff    |"},
        {"%#d %#u %#c %#s", {arg(5), arg(6), arg('c'), arg("s")}, "5 6 c s"},
        {"%5.0d|%-3.0d|", {arg(0), arg(0)}, "     |   |"},
        {"%.3d", {arg(-5)}, "-005"},
        {"%08.3d", {arg(-5)}, "    -005"},
        {"%+.3d", {arg(5)}, "+005"},
        {"%.10u", {arg(-1)}, "4294967295"},
        {"%.12x", {arg(255)}, "0000000000ff"},
    });
}

TEST(FormatIntegers, SizesOnEachIntegerConversion) {
    check({
        {"%d %i", {arg(INT32_MIN), arg(INT32_MAX)}, "-2147483648 2147483647"},
        {"%u %o %x %X",
         {arg(-1), arg(-1), arg(-1), arg(-1)},
         "4294967295 37777777777 ffffffff FFFFFFFF"},
        {"%hd %hi", {arg(65535), arg(0x18000)}, "-1 -32768"},
        {"%hu %ho %hx %hX",
         {arg(-1), arg(-1), arg(0x12345), arg(0xabcde)},
         "65535 177777 2345 BCDE"},
        {"%ld %lu %lx", {arg(-1), arg(-1), arg(-1)}, "-1 4294967295 ffffffff"},
        {"%wd %wu %wo", {arg(-1), arg(-1), arg(8)}, "-1 4294967295 10"},
        {"%I64d", {arg(INT64_MIN)}, "-9223372036854775808"},
        {"%I64d %I64i", {arg(INT64_MAX), arg(INT64_C(-1))}, "9223372036854775807 -1"},
        {"%I64u", {arg(UINT64_MAX)}, "18446744073709551615"},
        {"%I64o", {arg(UINT64_MAX)}, "1777777777777777777777"},
        {"%#I64o", {arg(UINT64_MAX)}, "01777777777777777777777"},
        {"%I64x %I64X",
         {arg(INT64_C(0x123456789abcdef0)), arg(INT64_C(-2))},
         "123456789abcdef0 FFFFFFFFFFFFFFFE"},
        {"%hI64x", {arg(INT64_C(0x1234567890abcdef))}, "cdef"},
        {"%+030I64d", {arg(INT64_MIN)}, "-00000000009223372036854775808"},
        // An argument of the other width is read by value: cut to 32 bits, or widened as 32 bits.
        {"%d %x", {arg(INT64_C(0x100000005)), arg(INT64_C(-1))}, "5 ffffffff"},
        {"%I64d %I64u %I64x", {arg(-1), arg(-1), arg(-1)}, "-1 4294967295 ffffffff"},
        {"%u", {arg(4000000000u)}, "4000000000"},
        {"%c%c", {arg('a'), arg(0x142)}, "aB"},
        {"%hd", {arg(static_cast<short>(-3))}, "-3"},
    });
}

TEST(FormatPointers, WholePointerAtLeastEightUpperCaseDigits) {
    static const char text[] = "x";
    char expected[32];
    std::snprintf(expected, sizeof expected, "%08llX",
                  static_cast<unsigned long long>(reinterpret_cast<std::uintptr_t>(text)));
    check({
        {"%p", {arg(address(31))}, "0000001F"},
        {"%p", {arg(address(0))}, "00000000"},
        // A pointer's digits are as many as its width needs: 32-bit builds keep the low half.
        {"%p",
         {arg(address(static_cast<std::uintptr_t>(0x123456789abcULL)))},
         sizeof(void*) == 8 ? "123456789ABC" : "56789ABC"},
        {"%p", {arg(address(UINTPTR_MAX))}, std::string(2 * sizeof(void*), 'F')},
        {"%12p|%-12p|", {arg(address(31)), arg(address(31))}, "    0000001F|0000001F    |"},
        {"%012p", {arg(address(31))}, "    0000001F"},
        {"%.2p %.12p", {arg(address(31)), arg(address(31))}, "0000001F 0000001F"},
        {"%#p", {arg(address(31))}, "0X0000001F"},
        {"%hp", {arg(address(0x1234567))}, "00004567"},
        {"%lp %wp %I64p",
         {arg(address(31)), arg(address(31)), arg(address(31))},
         "0000001F 0000001F 0000001F"},
        {"%p", {arg(text)}, expected},
        {"%p", {arg(nullptr)}, "00000000"},
        // An integer is not a pointer.
        {"%p", {arg(31)}, "00000000"},
    });
}

TEST(FormatStrings, NarrowStrings) {
    check({
        {"%s", {arg("abc")}, "abc"},
        {"%s", {arg("")}, ""},
        {"%s", {arg(static_cast<const char*>(nullptr))}, "(null)"},
        {"%s", {arg(nullptr)}, "(null)"},
        {"%.3s", {arg(static_cast<const char*>(nullptr))}, "(nu"},
        {"%5s", {arg("ab")}, "   ab"},
        {"%-5s|", {arg("ab")}, "ab   |"},
        {"%.1s", {arg("ab")}, "a"},
        {"%.0s|", {arg("ab")}, "|"},
        {"%.5s", {arg("ab")}, "ab"},
        {"%5.1s", {arg("ab")}, "    a"},
        {"%1s", {arg("abc")}, "abc"},
        {"%05s", {arg("ab")}, "000ab"},
        {"%+ s", {arg("ab")}, "ab"},
        {"%hs %Fs %I64s", {arg("ab"), arg("cd"), arg("ef")}, "ab cd ef"},
        {"%hS", {arg("ab")}, "ab"},
        {"%s", {arg("\xff\x80")}, "\xff\x80"},
    });
}

TEST(FormatStrings, Characters) {
    check({
        {"%c", {arg('A')}, "A"},
        {"%c", {arg(0)}, "\0"s},
        {"%c", {arg(0x1ff)}, "\xff"},
        {"%3c|%-3c|%03c", {arg('a'), arg('b'), arg('c')}, "  a|b  |00c"},
        {"%hc %hC %Fc %I64c", {arg('a'), arg(0x162), arg('c'), arg(INT64_C(0x764))}, "a b c d"},
        {"%C %lc %wc", {arg(u'A'), arg(0xff), arg(0x10041)}, "A \xff A"},
        {"%3C|", {arg(u'A')}, "  A|"},
    });
}

// Wide strings and wide characters: units below 256 become bytes; one of 256 or more ends the
// text, with error number 42, and a wide character that cannot be converted writes nothing.
TEST(FormatStrings, WideTextAndUnitsOf256OrMore) {
    struct WideCase {
        const char* format;
        Args args;
        std::string expected;
        bool illegal;
    };
    const std::vector<WideCase> cases = {
        {"%S", {arg(u"abc")}, "abc", false},
        {"%ls|%ws", {arg(u"ab"), arg(u"cd")}, "ab|cd", false},
        {"%S", {arg(u"\u00ff\u0080")}, "\xff\x80", false},
        {"%S", {arg(static_cast<const char16_t*>(nullptr))}, "(null)", false},
        {"%.2S", {arg(static_cast<const char16_t*>(nullptr))}, "(n", false},
        {"%5S|%-5S|", {arg(u"ab"), arg(u"cd")}, "   ab|cd   |", false},
        {"%.1S", {arg(u"ab")}, "a", false},
        {"%S", {arg(u"a\u0100b")}, "a", true},
        {"%S|", {arg(u"\u0100")}, "|", true},
        {"%.1S", {arg(u"a\u0100b")}, "a", false},
        // The fill counts every unit, the unconvertible ones included.
        {"%6S|", {arg(u"a\u0100b")}, "   a|", true},
        {"%-6S|", {arg(u"a\u0100b")}, "a   |", true},
        {"%C|", {arg(0x100)}, "|", true},
        {"%5C|", {arg(0x263a)}, "|", true},
        {"%-5lc|", {arg(0x263a)}, "|", true},
        {"%C", {arg(0x100ff)}, "\xff", false},
        {"%C", {arg(0x1ff)}, "", true},
    };
    for (const WideCase& c : cases) {
        SCOPED_TRACE(c.format);
        error_number = 0;
        const Formatted out = format(c.format, c.args);
        EXPECT_EQ(out.bytes, c.expected);
        EXPECT_EQ(out.count, static_cast<std::int32_t>(c.expected.size()));
        EXPECT_EQ(error_number, c.illegal ? ERR_ILLEGAL_SEQUENCE : 0);
    }
}

TEST(FormatStrings, LongWideTextCrossesChunks) {
    std::u16string text(1000, u'x');
    text[700] = u'y';
    std::string expected(1000, 'x');
    expected[700] = 'y';
    check({{"%S", {arg(text.c_str())}, expected}});
    error_number = 0;
    text[600] = u'\u4e2d';
    check({{"%S", {arg(text.c_str())}, expected.substr(0, 600)}});
    EXPECT_EQ(error_number, ERR_ILLEGAL_SEQUENCE);
}

TEST(FormatStrings, CountedStrings) {
    static const CountedString ab{2, 0xffff, "abcdef"};
    static const CountedString with_nul{3, 0, "a\0b"};
    static const CountedString no_text{5, 0, nullptr};
    static const CountedString empty{0, 0, "abc"};
    static const char16_t wide_units[] = u"ab\u0100c";
    static const CountedString wide{4, 0, wide_units};
    static const CountedString wide_odd{5, 0, wide_units};
    static const CountedString wide_stop{8, 0, wide_units};
    // Wide units at an odd address: the record does not promise alignment. They are in the
    // machine's own order, as a wide string of its own would be.
    static char unaligned_bytes[5];
    std::memcpy(unaligned_bytes + 1, u"xy", 4);
    static const CountedString wide_unaligned{4, 0, unaligned_bytes + 1};

    check({
        {"%Z", {arg(&ab)}, "ab"},
        {"%Z", {arg(&with_nul)}, "a\0b"s},
        {"%Z|", {arg(&empty)}, "|"},
        {"%Z %Z",
         {arg(&no_text), arg(static_cast<const CountedString*>(nullptr))},
         "(null) (null)"},
        {"%wZ", {arg(&no_text)}, "(null)"},
        {"%.1Z", {arg(&ab)}, "ab"},
        {"%5Z|%-5Z|", {arg(&ab), arg(&ab)}, "   ab|ab   |"},
        {"%wZ|%wZ", {arg(&wide), arg(&wide_odd)}, "ab|ab"},
        {"%lZ", {arg(&ab)}, "ab"},
        {"%wZ", {arg(&wide_unaligned)}, "xy"},
        {"%5wZ|", {arg(&wide)}, "   ab|"},
    });
    error_number = 0;
    check({{"%6wZ|", {arg(&wide_stop)}, "  ab|"}});
    EXPECT_EQ(error_number, ERR_ILLEGAL_SEQUENCE);
}

// 'B' ends a conversion, takes no argument and writes nothing, not even fill.
TEST(FormatConversions, BWritesNothingAndTakesNoArgument) {
    check({
        {"%B", {}, ""},
        {"a%Bb", {}, "ab"},
        {"%-+5.3hB|%d", {arg(7)}, "|7"},
    });
}

TEST(FormatConversions, CountStoresTheRunningCountAndWritesNothing) {
    std::int32_t n32 = -1;
    std::int16_t n16 = -1;
    std::int32_t untouched32 = 99;
    std::int16_t untouched16 = 99;
    std::int32_t n_long = -1;
    const Formatted out = format("ab%ncde%hn%5n%-5hn|%ln", {arg(&n32), arg(&n16), arg(&untouched16),
                                                            arg(&untouched32), arg(&n_long)});
    EXPECT_EQ(out.bytes, "abcde|");
    EXPECT_EQ(out.count, 6);
    EXPECT_EQ(n32, 2);
    EXPECT_EQ(n16, 5);
    EXPECT_EQ(n_long, 6);
    // %n wants a 32-bit target and %hn a 16-bit one; any other argument receives nothing.
    EXPECT_EQ(untouched16, 99);
    EXPECT_EQ(untouched32, 99);

    const Formatted missing = format("x%n%hn", {});
    EXPECT_EQ(missing.bytes, "x");

    std::int32_t* null32 = nullptr;
    EXPECT_EQ(format("x%n", {arg(null32)}).count, 1);
}

// A missing argument, or one of another kind, converts as 0 or as a null pointer; the list is
// never read past its end, and a wrong argument is still used up.
TEST(FormatArguments, MissingOrMismatchedArgumentsConvertAsZeroOrNull) {
    static const CountedString ab{2, 0, "ab"};
    std::int32_t n = 0;
    check({
        {"%d|%x|%c|", {}, "0|0|\0|"s},
        {"%s|%S|%Z|%p", {}, "(null)|(null)|(null)|00000000"},
        {"%*d|%.*d", {}, "0|"},
        {"%s%s", {arg("a")}, "a(null)"},
        {"%d %s", {arg("x"), arg(5)}, "0 (null)"},
        {"%s|%S|%Z", {arg(u"w"), arg("n"), arg("n")}, "(null)|(null)|(null)"},
        {"%d|%s", {arg(&ab), arg(&ab)}, "0|(null)"},
        {"%*d", {arg("x"), arg(7)}, "7"},
        {"%s", {arg(&n)}, "(null)"},
        {"%n%d", {arg(5), arg(6)}, "6"},
    });
    const Args one = {arg(1)};
    FormatArgs args{one.data(), one.size(), 0};
    char buffer[16];
    EXPECT_EQ(format_to_buffer(buffer, sizeof buffer, "%d%d%d%s", args), 9);
    EXPECT_EQ(args.next, 1u);
}

// Digits of a width or precision stop at the largest 32-bit value instead of overflowing.
TEST(FormatArguments, WidthAndPrecisionSaturate) {
    check({
        {"%.4294967297s", {arg("abc")}, "abc"},
        {"%.99999999999999999999s", {arg("abc")}, "abc"},
        {"%.2147483647s", {arg("abc")}, "abc"},
        {"%.*s", {arg(INT32_MAX), arg("abc")}, "abc"},
    });
    // A width that wrapped would be 2; saturated it fills the buffer and the call reports -1.
    EXPECT_EQ(format("%4294967298d", {arg(7)}, 64).count, -1);
    EXPECT_EQ(format("%*d", {arg(INT32_MIN), arg(7)}, 64).bytes, "7" + std::string(63, ' '));
    EXPECT_EQ(format("%2147483647d", {arg(7)}, 64).bytes, std::string(64, ' '));
}

// A character that cannot be stored ends the call: nothing of it or after it is written.
TEST(FormatOutput, StopsAtTheFirstCharacterThatCannotBeStored) {
    struct StopCase {
        const char* format;
        Args args;
        std::int32_t capacity;
        std::string stored;
    };
    const std::vector<StopCase> cases = {
        {"abcdef", {}, 3, "abc"},
        {"ab%5dcd", {arg(7)}, 4, "ab  "},
        {"ab%-5dcd", {arg(7)}, 4, "ab7 "},
        {"%+05d", {arg(7)}, 1, "+"},
        {"%+05d", {arg(7)}, 3, "+00"},
        {"%#x", {arg(255)}, 1, "0"},
        {"%s!", {arg("abc")}, 3, "abc"},
        {"%S", {arg(u"abc")}, 2, "ab"},
        {"%%%%", {}, 1, "%"},
        {"%c%c", {arg('a'), arg('b')}, 1, "a"},
        {"x", {}, 0, ""},
    };
    for (const StopCase& c : cases) {
        SCOPED_TRACE(c.format);
        const Formatted out = format(c.format, c.args, c.capacity);
        EXPECT_EQ(out.bytes, c.stored);
        EXPECT_EQ(out.count, -1);
    }
    std::int32_t n = 42;
    EXPECT_EQ(format("abc%n", {arg(&n)}, 2).count, -1);
    EXPECT_EQ(n, 42);
    error_number = 0;
    EXPECT_EQ(format("ab%S", {arg(u"c\u0100")}, 2).count, -1);
    EXPECT_EQ(error_number, 0) << "the text never got as far as the unconvertible unit";
}

}  // namespace
}  // namespace mirzet

// ---------------------------------------------------------------------------------------------
// Print calls on the standard output of the fake platform: where a conversion's fill or text meets
// the buffering. Calls that only pass text through are with the streams' tests.

namespace mirzet::testing {
namespace {

// Without the console's temporary block, lent by the call's first allocation, every character is
// its own write.
void refuse_temp_buffer() {
    fake::fail_allocation(fake::call_count(Op::allocate) + 1);
}

TEST_F(LayerTest, AConsoleCallPastOneBlockWritesTheFullBlockFirst) {
    start_layer();
    EXPECT_EQ(print_formatted("%5000d\n", 7), 5001);
    // The full block goes out in chunks when the 4097th character arrives; the rest at the end.
    std::vector<std::string> w = writes_to(STDOUT_HANDLE);
    ASSERT_GE(w.size(), 2u);
    EXPECT_EQ(w.back(), std::string(903, ' ').append("7\r\n"));
    w.pop_back();
    std::string block;
    for (const std::string& bytes : w)
        block += bytes;
    EXPECT_EQ(block, std::string(4096, ' '));
}

// The third write fails, inside the fill of the width, and nothing more of the call is written.
TEST_F(LayerTest, AFailingConsoleStopsInsideTheFill) {
    start_layer();
    refuse_temp_buffer();
    fake::fail_call(Op::write, 3, pf::ERROR_INVALID_HANDLE);
    EXPECT_EQ(print_formatted("%6d|after\n", 42), -1);
    EXPECT_EQ(writes_to(STDOUT_HANDLE), (std::vector<std::string>{" ", " ", " "}));
    EXPECT_TRUE(stream_failed(*standard_output()));
    // The next call writes again.
    EXPECT_EQ(print_formatted("%s", "ok"), 2);
    EXPECT_EQ(writes_to(STDOUT_HANDLE).size(), 4u);
}

TEST_F(LayerTest, AFailingConsoleStopsInsideTheText) {
    start_layer();
    refuse_temp_buffer();
    fake::fail_calls_from(Op::write, 4, pf::ERROR_INVALID_HANDLE);
    EXPECT_EQ(print_formatted("%#x!", 0xabcd), -1);
    EXPECT_EQ(writes_to(STDOUT_HANDLE), (std::vector<std::string>{"0", "x", "a", "b"}));
}

// A redirected standard output whose full buffer cannot be written: the call ends there, and
// the character that found the buffer full waits in the emptied buffer.
TEST_F(LayerTest, AFailingFileStopsWhenTheBufferIsFull) {
    start_layer(pf::FILE_TYPE_DISK);
    fake::fail_call(Op::write, 1, pf::ERROR_DISK_FULL);
    EXPECT_EQ(print_formatted("%-5000s|", "x"), -1);
    ASSERT_EQ(writes_to(STDOUT_HANDLE).size(), 1u);
    EXPECT_EQ(print_formatted("%s", "next"), 4);
    flush_all_streams();
    const std::vector<std::string> w = writes_to(STDOUT_HANDLE);
    ASSERT_EQ(w.size(), 2u);
    EXPECT_EQ(w[1], " next");
}

// A flush that fails at the end of a console call does not change what the call returns.
TEST_F(LayerTest, AShortWriteAtTheEndOfAConsoleCallLeavesItsCount) {
    start_layer();
    fake::short_write(1, 3);
    EXPECT_EQ(print_formatted("%5s\n", "abc"), 6);
    EXPECT_TRUE(stream_failed(*standard_output()));
}

// ---------------------------------------------------------------------------------------------
// Floating conversions: runtime error 2 on standard error, status 255, no stream flushed.

struct FatalRun {
    const char* format;
};

void print_then_float(void* context) {
    set_fatal_error_handler(runtime::fatal_error);
    print_formatted("buffered ");
    print_formatted(static_cast<FatalRun*>(context)->format, "lost", 1);
    print_formatted("never\n");
}

TEST_F(LayerTest, AFloatingConversionIsFatalAndLosesBufferedOutput) {
    for (const char* f :
         {"%s %e", "%s %E", "%s %f", "%s %g", "%s %G", "%s %-10.3f", "%s %lf", "%s %I64g"}) {
        for (std::uint32_t type : {pf::FILE_TYPE_DISK, pf::FILE_TYPE_CHAR}) {
            SCOPED_TRACE(std::string(f) +
                         (type == pf::FILE_TYPE_DISK ? " on a file" : " on a console"));
            reset_world();
            start_layer(type);
            FatalRun run{f};
            EXPECT_EQ(fake::run_until_exit(print_then_float, &run), 255);
            EXPECT_EQ(fake::contents("<stderr>"),
                      "\r\nruntime error R6002\r\n- floating point not loaded\r\n");
            // A console wrote the first call at its end; "lost " still waited in a buffer.
            EXPECT_EQ(fake::contents("<stdout>"), type == pf::FILE_TYPE_CHAR ? "buffered " : "");
        }
    }
}

}  // namespace
}  // namespace mirzet::testing
