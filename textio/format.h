// Formatted output: print_formatted on standard output and the format engine behind it.
//
// Arguments travel as a list of type-tagged values built by a variadic template, so a conversion
// that finds no argument, or one of another kind, converts a 0 or a null pointer instead of
// reading stray memory. Each conversion uses up the next argument whatever its kind:
// - '*', c, C and the integer conversions take an integer of either width, read at the width the
//   conversion wants (a 64-bit value cut to its low half, a 32-bit one widened by sign for d and
//   i and with zeros otherwise);
// - s wants text, S wide text, Z a counted record, p any pointer;
// - n wants a std::int32_t* (hn a std::int16_t*) and stores nothing through anything else.
#pragma once

#include <concepts>
#include <cstddef>
#include <cstdint>

#include "textio/streams.h"

namespace mirzet {

// The record a %Z conversion reads: a length, 16 bits nobody reads, and the characters.
struct CountedString {
    std::uint16_t length;
    std::uint16_t unused;
    const void* text;
};

enum class ArgKind : std::uint8_t {
    int32,
    int64,
    text,       // const char*
    wide_text,  // const char16_t*
    counted,    // const CountedString*
    count32,    // std::int32_t* for %n
    count16,    // std::int16_t* for %hn
    pointer,    // any other pointer, for %p
};

struct FormatArg {
    ArgKind kind;
    union {
        std::int32_t int32;
        std::int64_t int64;
        const char* text;
        const char16_t* wide_text;
        const CountedString* counted;
        std::int32_t* count32;
        std::int16_t* count16;
        const void* pointer;
    };
};

// The arguments of one call, taken in order; `next` never runs past `size`.
struct FormatArgs {
    const FormatArg* items;
    std::size_t size;
    std::size_t next;
};

template <std::integral T>
constexpr FormatArg make_arg(T value) {
    FormatArg arg{};
    if constexpr (sizeof(T) <= 4) {
        arg.kind = ArgKind::int32;
        arg.int32 = static_cast<std::int32_t>(value);
    } else {
        arg.kind = ArgKind::int64;
        arg.int64 = static_cast<std::int64_t>(value);
    }
    return arg;
}
constexpr FormatArg make_arg(const char* value) {
    FormatArg arg{};
    arg.kind = ArgKind::text;
    arg.text = value;
    return arg;
}
constexpr FormatArg make_arg(const char16_t* value) {
    FormatArg arg{};
    arg.kind = ArgKind::wide_text;
    arg.wide_text = value;
    return arg;
}
constexpr FormatArg make_arg(const CountedString* value) {
    FormatArg arg{};
    arg.kind = ArgKind::counted;
    arg.counted = value;
    return arg;
}
constexpr FormatArg make_arg(std::int32_t* value) {
    FormatArg arg{};
    arg.kind = ArgKind::count32;
    arg.count32 = value;
    return arg;
}
constexpr FormatArg make_arg(std::int16_t* value) {
    FormatArg arg{};
    arg.kind = ArgKind::count16;
    arg.count16 = value;
    return arg;
}
constexpr FormatArg make_arg(const void* value) {
    FormatArg arg{};
    arg.kind = ArgKind::pointer;
    arg.pointer = value;
    return arg;
}
constexpr FormatArg make_arg(std::nullptr_t) {
    return make_arg(static_cast<const void*>(nullptr));
}

// The engine: writes `format` with `args` to `stream` and returns the running count, or -1.
std::int32_t format_to_stream(Stream* stream, const char* format, FormatArgs& args);

// Formats into memory, a pseudo-stream of `capacity` characters at `buffer`; no NUL is added.
// The result is the running count, or -1 when the text did not fit (what fitted is in the buffer).
std::int32_t format_to_buffer(char* buffer, std::int32_t capacity, const char* format,
                              FormatArgs& args);

// One print call on standard output: the temporary buffer is lent around the engine's run.
std::int32_t print_formatted_list(const char* format, FormatArgs args);

template <typename... T>
std::int32_t print_formatted(const char* format, T... values) {
    const FormatArg items[sizeof...(T) + 1] = {make_arg(values)..., FormatArg{}};
    return print_formatted_list(format, FormatArgs{items, sizeof...(T), 0});
}

// Prints n characters as they stand, NUL bytes included, with one print call's buffering.
std::int32_t print_chars(const char* text, std::int32_t n);
// The same, for characters followed by CHARS_PADDING readable bytes.
std::int32_t print_padded_chars(const char* text, std::int32_t n);

}  // namespace mirzet
