#include "textio/format.h"

#include <algorithm>
#include <array>
#include <cstring>

namespace mirzet {

namespace {

// ---------------------------------------------------------------------------------------------
// The grammar: character classes and the state table.

enum class CharClass : std::uint8_t {
    other,
    percent,
    dot,
    star,
    zero,
    digit,
    flag,
    size,
    conversion
};
enum class State : std::uint8_t { text, percent, flag, width, dot, precision, size, conversion };

// The table below has a column per class and a row per state; conversion stays last in both.
constexpr int CLASS_COUNT = 9;
constexpr int STATE_COUNT = 8;
static_assert(CLASS_COUNT == static_cast<int>(CharClass::conversion) + 1, "a column per class");
static_assert(STATE_COUNT == static_cast<int>(State::conversion) + 1, "a row per state");

struct ClassMembers {
    CharClass char_class;
    const char* members;
};

// Every character not listed here (control characters, bytes of 0x80 and above) is `other`.
// clang-format off
constexpr ClassMembers class_members[] = {
    {CharClass::percent,    "%"},
    {CharClass::dot,        "."},
    {CharClass::star,       "*"},
    {CharClass::zero,       "0"},
    {CharClass::digit,      "123456789"},
    {CharClass::flag,       " #+-"},
    {CharClass::size,       "FILNhlw"},
    {CharClass::conversion, "BCEGSXZcdefginopsux"},
};
// clang-format on
static_assert(std::ranges::all_of(class_members,
                                  [](const ClassMembers& entry) {
                                      return static_cast<int>(entry.char_class) < CLASS_COUNT;
                                  }),
              "every class a character can have has a column");

constexpr std::array<CharClass, 256> make_class_table() {
    std::array<CharClass, 256> table{};
    for (const ClassMembers& entry : class_members)
        for (const char* c = entry.members; *c != '\0'; ++c)
            table[static_cast<unsigned char>(*c)] = entry.char_class;
    return table;
}

constexpr std::array<CharClass, 256> char_classes = make_class_table();

using Row = std::array<State, CLASS_COUNT>;

// A row names the next state for every class and the table has a row for every state: a short or
// long one does not compile, where a brace list would fill the gap with `text`.
template <typename... Next>
constexpr Row row(Next... next) {
    static_assert(sizeof...(Next) == CLASS_COUNT, "a row names the next state for every class");
    return {next...};
}

template <typename... Rows>
constexpr std::array<Row, STATE_COUNT> rows(Rows... each) {
    static_assert(sizeof...(Rows) == STATE_COUNT, "a row for every state");
    return {each...};
}

// The next state, by the current state (row) and the class of the character (column).
constexpr auto transitions = [] {
    using enum State;
    // clang-format off
    return rows(
        //                   other percent  dot   star       zero       digit      flag  size  conversion
        /* text       */ row(text, percent, text, text,      text,      text,      text, text, text),
        /* percent    */ row(text, text,    dot,  width,     flag,      width,     flag, size, conversion),
        /* flag       */ row(text, text,    dot,  width,     flag,      width,     flag, size, conversion),
        /* width      */ row(text, text,    dot,  text,      width,     width,     text, size, conversion),
        /* dot        */ row(text, text,    text, precision, precision, precision, text, size, conversion),
        /* precision  */ row(text, text,    text, text,      precision, precision, text, size, conversion),
        /* size       */ row(text, text,    text, text,      text,      text,      text, size, conversion),
        /* conversion */ row(text, percent, text, text,      text,      text,      text, text, text));
    // clang-format on
}();

State next_state(State state, unsigned char c) {
    return transitions[static_cast<int>(state)][static_cast<int>(char_classes[c])];
}

// ---------------------------------------------------------------------------------------------
// The conversion specification.

constexpr std::uint32_t FLAG_LEFT = 0x01;       // '-'
constexpr std::uint32_t FLAG_PLUS = 0x02;       // '+'
constexpr std::uint32_t FLAG_BLANK = 0x04;      // ' '
constexpr std::uint32_t FLAG_ALTERNATE = 0x08;  // '#'
constexpr std::uint32_t FLAG_ZERO = 0x10;       // '0'

constexpr std::uint32_t SIZE_SHORT = 0x01;  // h
constexpr std::uint32_t SIZE_LONG = 0x02;   // l
constexpr std::uint32_t SIZE_WIDE = 0x04;   // w
constexpr std::uint32_t SIZE_64 = 0x08;     // I64

constexpr std::int32_t NO_PRECISION = -1;
constexpr std::int32_t COUNT_MAX = INT32_MAX;

// Enough for a 64-bit value in octal (22 digits) and the '0' that '#' puts in front.
constexpr int DIGITS_SIZE = 24;

struct Spec {
    std::uint32_t flags = 0;
    std::int32_t width = 0;
    std::int32_t precision = NO_PRECISION;
    std::uint32_t size = 0;
    char prefix[2] = {};
    std::int32_t prefix_length = 0;
    // The text: `zeros` zero digits (an integer's precision) and then `length` characters, or
    // 16-bit units when `wide`. Wide units are read bytewise, as a counted record need not align.
    std::int64_t zeros = 0;
    const void* text = nullptr;
    std::int64_t length = 0;
    bool wide = false;
    bool suppress = false;
    char digits[DIGITS_SIZE] = {};
};

// ---------------------------------------------------------------------------------------------
// Output. The running count stops at COUNT_MAX: a character past it is not emitted and the call
// reports -1, as after a failed write, so the count never overflows.

struct Output {
    Stream* stream;
    std::int32_t count;
};

std::int64_t room(const Output& out) {
    return COUNT_MAX - static_cast<std::int64_t>(out.count);
}

void put_chars(Output& out, const char* text, std::int64_t n) {
    if (out.count < 0 || n <= 0) return;
    const std::int64_t fits = n < room(out) ? n : room(out);
    emit_chars(text, static_cast<std::int32_t>(fits), out.stream, &out.count);
    if (fits < n) out.count = -1;
}

void put_repeat(Output& out, int ch, std::int64_t n) {
    if (out.count < 0 || n <= 0) return;
    const std::int64_t fits = n < room(out) ? n : room(out);
    emit_repeat(ch, static_cast<std::int32_t>(fits), out.stream, &out.count);
    if (fits < n) out.count = -1;
}

std::uint16_t load_unit(const unsigned char* units, std::int64_t index) {
    std::uint16_t unit;
    std::memcpy(&unit, units + 2 * index, sizeof unit);
    return unit;
}

// Wide units become bytes a chunk at a time; a unit of 256 or more has no byte and ends the
// text, which is an illegal sequence only if the output got that far.
void put_wide(Output& out, const unsigned char* units, std::int64_t n) {
    constexpr std::int64_t CHUNK = 256;
    char chunk[CHUNK];
    while (n > 0 && out.count >= 0) {
        const std::int64_t wanted = n < CHUNK ? n : CHUNK;
        std::int64_t taken = 0;
        bool unconvertible = false;
        for (; taken < wanted; ++taken) {
            const std::uint16_t unit = load_unit(units, taken);
            if (unit >= 256) {
                unconvertible = true;
                break;
            }
            chunk[taken] = static_cast<char>(unit);
        }
        put_chars(out, chunk, taken);
        if (unconvertible) {
            if (out.count >= 0) error_number = ERR_ILLEGAL_SEQUENCE;
            return;
        }
        units += 2 * taken;
        n -= taken;
    }
}

// Blanks, prefix, zeros, text, trailing blanks; each step does nothing once the count is -1.
void write_conversion(const Spec& spec, Output& out) {
    const bool left = (spec.flags & FLAG_LEFT) != 0;
    const bool zero = (spec.flags & FLAG_ZERO) != 0;
    const std::int64_t fill = spec.width - spec.prefix_length - spec.zeros - spec.length;
    if (!left && !zero) put_repeat(out, ' ', fill);
    put_chars(out, spec.prefix, spec.prefix_length);
    if (zero && !left) put_repeat(out, '0', fill);
    put_repeat(out, '0', spec.zeros);
    if (spec.wide)
        put_wide(out, static_cast<const unsigned char*>(spec.text), spec.length);
    else
        put_chars(out, static_cast<const char*>(spec.text), spec.length);
    if (left) put_repeat(out, ' ', fill);
}

// ---------------------------------------------------------------------------------------------
// Arguments. Each conversion takes the next argument whatever its kind; one of the wrong kind
// converts as 0 or a null pointer, and past the end of the list there is nothing to take.

const FormatArg* next_arg(FormatArgs& args) {
    return args.next < args.size ? &args.items[args.next++] : nullptr;
}

// Integers of either width serve: a 64-bit one gives its low 32 bits.
std::int32_t next_int32(FormatArgs& args) {
    const FormatArg* arg = next_arg(args);
    if (arg == nullptr) return 0;
    if (arg->kind == ArgKind::int32) return arg->int32;
    if (arg->kind == ArgKind::int64) return static_cast<std::int32_t>(arg->int64);
    return 0;
}

// A 32-bit argument is widened as a 32-bit conversion would widen it: by sign or with zeros.
std::int64_t next_int64(FormatArgs& args, bool is_signed) {
    const FormatArg* arg = next_arg(args);
    if (arg == nullptr) return 0;
    if (arg->kind == ArgKind::int64) return arg->int64;
    if (arg->kind != ArgKind::int32) return 0;
    if (is_signed) return arg->int32;
    return static_cast<std::uint32_t>(arg->int32);
}

// Any pointer serves %p.
const void* next_pointer(FormatArgs& args) {
    const FormatArg* arg = next_arg(args);
    if (arg == nullptr) return nullptr;
    switch (arg->kind) {
        case ArgKind::text:
            return arg->text;
        case ArgKind::wide_text:
            return arg->wide_text;
        case ArgKind::counted:
            return arg->counted;
        case ArgKind::count32:
            return arg->count32;
        case ArgKind::count16:
            return arg->count16;
        case ArgKind::pointer:
            return arg->pointer;
        case ArgKind::int32:
        case ArgKind::int64:
            return nullptr;
    }
    return nullptr;
}

const char* next_text(FormatArgs& args) {
    const FormatArg* arg = next_arg(args);
    return arg != nullptr && arg->kind == ArgKind::text ? arg->text : nullptr;
}

const char16_t* next_wide_text(FormatArgs& args) {
    const FormatArg* arg = next_arg(args);
    return arg != nullptr && arg->kind == ArgKind::wide_text ? arg->wide_text : nullptr;
}

const CountedString* next_counted(FormatArgs& args) {
    const FormatArg* arg = next_arg(args);
    return arg != nullptr && arg->kind == ArgKind::counted ? arg->counted : nullptr;
}

// ---------------------------------------------------------------------------------------------
// Conversions.

constexpr char null_text[] = "(null)";
constexpr char16_t null_wide_text[] = u"(null)";

void set_narrow(Spec& spec, const char* text, std::int64_t length) {
    spec.text = text;
    spec.length = length;
    spec.wide = false;
}

void set_wide(Spec& spec, const void* units, std::int64_t length) {
    spec.text = units;
    spec.length = length;
    spec.wide = true;
}

// Without a precision the text is measured to its NUL (one strlen, the path of the plain "%s");
// with one, no character past the precision is looked at.
std::int64_t text_length(const char* text, std::int32_t precision) {
    if (precision < 0) {
        const std::size_t n = std::strlen(text);
        return n < COUNT_MAX ? static_cast<std::int64_t>(n) : COUNT_MAX;
    }
    const void* end = std::memchr(text, '\0', static_cast<std::size_t>(precision));
    return end == nullptr ? precision : static_cast<const char*>(end) - text;
}

std::int64_t wide_text_length(const char16_t* text, std::int32_t precision) {
    const std::int64_t limit = precision < 0 ? COUNT_MAX : precision;
    std::int64_t n = 0;
    while (n < limit && text[n] != u'\0')
        ++n;
    return n;
}

void convert_string(Spec& spec, FormatArgs& args) {
    const char* text = next_text(args);
    if (text == nullptr) text = null_text;
    set_narrow(spec, text, text_length(text, spec.precision));
}

void convert_wide_string(Spec& spec, FormatArgs& args) {
    const char16_t* text = next_wide_text(args);
    if (text == nullptr) text = null_wide_text;
    set_wide(spec, text, wide_text_length(text, spec.precision));
}

void convert_char(Spec& spec, FormatArgs& args) {
    spec.digits[0] = static_cast<char>(next_int32(args));
    set_narrow(spec, spec.digits, 1);
}

// A unit with no byte writes nothing at all, not even the fill.
void convert_wide_char(Spec& spec, FormatArgs& args) {
    const auto unit = static_cast<std::uint16_t>(next_int32(args));
    if (unit >= 256) {
        error_number = ERR_ILLEGAL_SEQUENCE;
        spec.suppress = true;
        return;
    }
    spec.digits[0] = static_cast<char>(unit);
    set_narrow(spec, spec.digits, 1);
}

// The record's length counts characters, or bytes when the characters are wide.
void convert_counted(Spec& spec, FormatArgs& args) {
    const CountedString* record = next_counted(args);
    const bool wide = (spec.size & SIZE_WIDE) != 0;
    if (record == nullptr || record->text == nullptr)
        set_narrow(spec, null_text, sizeof null_text - 1);
    else if (wide)
        set_wide(spec, record->text, record->length / 2);
    else
        set_narrow(spec, static_cast<const char*>(record->text), record->length);
}

void store_count(const Spec& spec, FormatArgs& args, std::int32_t count) {
    const FormatArg* arg = next_arg(args);
    if (arg == nullptr) return;
    if ((spec.size & SIZE_SHORT) != 0) {
        if (arg->kind == ArgKind::count16 && arg->count16 != nullptr)
            *arg->count16 = static_cast<std::int16_t>(count);
    } else if (arg->kind == ArgKind::count32 && arg->count32 != nullptr) {
        *arg->count32 = count;
    }
}

struct IntegerForm {
    std::uint32_t base;
    bool is_signed;
    bool upper;
};

// The value as the size says: 64 bits, or 32 bits widened, and with 'h' its low 16 bits only.
std::int64_t integer_value(const Spec& spec, const IntegerForm& form, FormatArgs& args) {
    std::int64_t value;
    if ((spec.size & SIZE_64) != 0)
        value = next_int64(args, form.is_signed);
    else if (form.is_signed)
        value = next_int32(args);
    else
        value = static_cast<std::uint32_t>(next_int32(args));
    if ((spec.size & SIZE_SHORT) != 0)
        value =
            form.is_signed ? static_cast<std::int16_t>(value) : static_cast<std::uint16_t>(value);
    return value;
}

// Digits from the least significant end, into the tail of spec.digits.
void set_digits(Spec& spec, std::uint64_t magnitude, const IntegerForm& form) {
    const char* digit_chars = form.upper ? "0123456789ABCDEF" : "0123456789abcdef";
    char* end = spec.digits + DIGITS_SIZE;
    char* start = end;
    const std::int32_t precision = spec.precision < 0 ? 1 : spec.precision;
    while (magnitude != 0) {
        *--start = digit_chars[magnitude % form.base];
        magnitude /= form.base;
    }
    const std::int64_t count = end - start;
    spec.zeros = precision > count ? precision - count : 0;
    set_narrow(spec, start, count);
}

void set_prefix(Spec& spec, char first, char second) {
    spec.prefix[0] = first;
    spec.prefix[1] = second;
    spec.prefix_length = second == '\0' ? 1 : 2;
}

void convert_magnitude(Spec& spec, std::uint64_t magnitude, const IntegerForm& form) {
    if (spec.precision >= 0) spec.flags &= ~FLAG_ZERO;
    set_digits(spec, magnitude, form);
    if ((spec.flags & FLAG_ALTERNATE) == 0) return;
    const char* digits = static_cast<const char*>(spec.text);
    if (form.base == 8 && spec.zeros == 0 && (spec.length == 0 || digits[0] != '0')) {
        spec.digits[DIGITS_SIZE - spec.length - 1] = '0';
        set_narrow(spec, digits - 1, spec.length + 1);
    }
    if (form.base == 16 && magnitude != 0) set_prefix(spec, '0', form.upper ? 'X' : 'x');
}

void convert_integer(Spec& spec, FormatArgs& args, const IntegerForm& form) {
    const std::int64_t value = integer_value(spec, form, args);
    std::uint64_t magnitude = static_cast<std::uint64_t>(value);
    if (form.is_signed && value < 0) {
        magnitude = 0 - magnitude;
        set_prefix(spec, '-', '\0');
    } else if (form.is_signed && (spec.flags & FLAG_PLUS) != 0) {
        set_prefix(spec, '+', '\0');
    } else if (form.is_signed && (spec.flags & FLAG_BLANK) != 0) {
        set_prefix(spec, ' ', '\0');
    }
    convert_magnitude(spec, magnitude, form);
}

// The whole pointer, at least 8 upper-case hexadecimal digits; with 'h' its low 16 bits.
void convert_pointer(Spec& spec, FormatArgs& args) {
    std::uint64_t value = reinterpret_cast<std::uintptr_t>(next_pointer(args));
    if ((spec.size & SIZE_SHORT) != 0) value = static_cast<std::uint16_t>(value);
    spec.precision = 8;
    convert_magnitude(spec, value, IntegerForm{16, false, true});
}

bool has_size(const Spec& spec, std::uint32_t size) {
    return (spec.size & size) != 0;
}

// Fills in the conversion's text for letter c, or sets suppress.
void convert(Spec& spec, char c, FormatArgs& args, const Output& out) {
    switch (c) {
        case 's':
            if (has_size(spec, SIZE_LONG | SIZE_WIDE)) return convert_wide_string(spec, args);
            return convert_string(spec, args);
        case 'S':
            if (has_size(spec, SIZE_SHORT)) return convert_string(spec, args);
            return convert_wide_string(spec, args);
        case 'c':
            if (has_size(spec, SIZE_LONG | SIZE_WIDE)) return convert_wide_char(spec, args);
            return convert_char(spec, args);
        case 'C':
            if (has_size(spec, SIZE_SHORT)) return convert_char(spec, args);
            return convert_wide_char(spec, args);
        case 'Z':
            return convert_counted(spec, args);
        case 'd':
        case 'i':
            return convert_integer(spec, args, IntegerForm{10, true, false});
        case 'u':
            return convert_integer(spec, args, IntegerForm{10, false, false});
        case 'o':
            return convert_integer(spec, args, IntegerForm{8, false, false});
        case 'x':
            return convert_integer(spec, args, IntegerForm{16, false, false});
        case 'X':
            return convert_integer(spec, args, IntegerForm{16, false, true});
        case 'p':
            return convert_pointer(spec, args);
        case 'n':
            store_count(spec, args, out.count);
            spec.suppress = true;
            return;
        case 'e':
        case 'E':
        case 'f':
        case 'g':
        case 'G':
            raise_fatal_error(FATAL_NO_FLOATING_POINT);
        case 'B':
        default:
            // 'B' ends a conversion but converts nothing: it takes no argument and writes nothing,
            // not even the fill of a width.
            spec.suppress = true;
            return;
    }
}

// ---------------------------------------------------------------------------------------------
// The actions of the states.

constexpr std::uint32_t flag_of(char c) {
    switch (c) {
        case '-':
            return FLAG_LEFT;
        case '+':
            return FLAG_PLUS;
        case ' ':
            return FLAG_BLANK;
        case '#':
            return FLAG_ALTERNATE;
        default:
            return FLAG_ZERO;
    }
}

// Digits beyond the largest 32-bit value stay at that value. Digits after a '*' that gave no
// precision start a new number rather than extend the -1.
std::int32_t append_digit(std::int32_t value, char digit) {
    const std::int64_t start = value < 0 ? 0 : value;
    const std::int64_t next = start * 10 + (digit - '0');
    return next > COUNT_MAX ? COUNT_MAX : static_cast<std::int32_t>(next);
}

void take_width(Spec& spec, char c, FormatArgs& args) {
    if (c != '*') {
        spec.width = append_digit(spec.width, c);
        return;
    }
    const std::int32_t width = next_int32(args);
    if (width >= 0) {
        spec.width = width;
        return;
    }
    spec.flags |= FLAG_LEFT;
    spec.width = width == INT32_MIN ? COUNT_MAX : -width;
}

void take_precision(Spec& spec, char c, FormatArgs& args) {
    if (c != '*') {
        spec.precision = append_digit(spec.precision, c);
        return;
    }
    const std::int32_t precision = next_int32(args);
    spec.precision = precision < 0 ? NO_PRECISION : precision;
}

// Returns false when an 'I' is not followed by "64": the caller writes it as text.
bool take_size(Spec& spec, const char*& p) {
    switch (*p) {
        case 'h':
            spec.size |= SIZE_SHORT;
            return true;
        case 'l':
            spec.size |= SIZE_LONG;
            return true;
        case 'w':
            spec.size |= SIZE_WIDE;
            return true;
        case 'I':
            if (p[1] != '6' || p[2] != '4') return false;
            spec.size |= SIZE_64;
            p += 2;
            return true;
        default:
            return true;  // F, L and N change nothing
    }
}

// The character that entered the text state is written, and with it the run up to the next '%':
// in the text state every other character stays text.
const char* put_text_run(Output& out, const char* p) {
    const std::size_t n = 1 + std::strcspn(p + 1, "%");
    put_chars(out, p, static_cast<std::int64_t>(n));
    return p + n;
}

}  // namespace

std::int32_t format_to_stream(Stream* stream, const char* format, FormatArgs& args) {
    Output out{stream, 0};
    Spec spec;
    State state = State::text;
    const char* p = format;
    while (*p != '\0' && out.count >= 0) {
        const char c = *p;
        state = next_state(state, static_cast<unsigned char>(c));
        switch (state) {
            case State::text:
                p = put_text_run(out, p);
                continue;
            case State::percent:
                spec = Spec{};
                break;
            case State::flag:
                spec.flags |= flag_of(c);
                break;
            case State::width:
                take_width(spec, c, args);
                break;
            case State::dot:
                spec.precision = 0;
                break;
            case State::precision:
                take_precision(spec, c, args);
                break;
            case State::size:
                if (!take_size(spec, p)) {
                    emit_char(c, out.stream, &out.count);
                    state = State::text;
                }
                break;
            case State::conversion:
                convert(spec, c, args, out);
                if (!spec.suppress) write_conversion(spec, out);
                break;
        }
        ++p;
    }
    return out.count;
}

std::int32_t format_to_buffer(char* buffer, std::int32_t capacity, const char* format,
                              FormatArgs& args) {
    if (capacity < 0) capacity = 0;
    Stream stream{};
    stream.next = buffer;
    stream.base = buffer;
    stream.count = capacity;
    stream.buffer_size = capacity;
    stream.flags = STREAM_WRITE | STREAM_STRING;
    stream.fd = -1;
    stream.sink = sink_for(-1, 1);  // with no handle, the characters as given
    return format_to_stream(&stream, format, args);
}

namespace {

// One print call on standard output: a console is lent the temporary buffer for the call, and the
// buffer is flushed and given back at its end.
template <typename Print>
std::int32_t print_to_standard_output(Print print) {
    Stream* out = standard_output();
    const int lent = begin_temp_buffer(out);
    const std::int32_t count = print(out);
    end_temp_buffer(lent, out);
    return count;
}

}  // namespace

std::int32_t print_formatted_list(const char* format, FormatArgs args) {
    return print_to_standard_output(
        [&](Stream* out) { return format_to_stream(out, format, args); });
}

std::int32_t print_chars(const char* text, std::int32_t n) {
    return print_to_standard_output([&](Stream* out) {
        std::int32_t count = 0;
        emit_chars(text, n, out, &count);
        return count;
    });
}

std::int32_t print_padded_chars(const char* text, std::int32_t n) {
    return print_to_standard_output([&](Stream* out) {
        std::int32_t count = 0;
        emit_padded_chars(text, n, out, &count);
        return count;
    });
}

}  // namespace mirzet
