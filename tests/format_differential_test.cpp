// The engine against the host C library's snprintf, over generated formats and values, for the
// conversions where the two agree: d i u o x X c s with flags, widths and precisions.
#include <gtest/gtest.h>

#include <climits>
#include <cstdint>
#include <cstdio>
#include <random>
#include <string>
#include <vector>

#include "textio/format.h"

namespace mirzet {
namespace {

// One conversion of a generated format, as the engine spells it and as snprintf spells it, with
// the arguments of both.
struct Piece {
    std::string ours;
    std::string host;
    std::vector<FormatArg> args;
    std::string expected;
};

template <typename... A>
std::string host_format(const std::string& format, A... values) {
    const int n = std::snprintf(nullptr, 0, format.c_str(), values...);
    if (n < 0) return "<snprintf failed>";
    std::string out(static_cast<std::size_t>(n) + 1, '\0');
    std::snprintf(out.data(), out.size(), format.c_str(), values...);
    out.resize(static_cast<std::size_t>(n));
    return out;
}

class Generator {
  public:
    explicit Generator(std::uint32_t seed) : random_(seed) {}

    // Literal text, a conversion, literal text, and so on; the expected bytes from snprintf.
    std::vector<Piece> format() {
        std::vector<Piece> pieces;
        const int conversions = 1 + below(3);
        for (int i = 0; i < conversions; ++i) {
            pieces.push_back(literal());
            pieces.push_back(conversion());
        }
        pieces.push_back(literal());
        return pieces;
    }

  private:
    int below(int n) { return static_cast<int>(random_() % static_cast<std::uint32_t>(n)); }
    bool chance(int percent) { return below(100) < percent; }

    Piece literal() {
        static const std::string alphabet = "ab Z-9.\n\t\x7f\xe9";
        Piece piece;
        const int n = below(4);
        for (int i = 0; i < n; ++i) {
            if (chance(10)) {
                piece.ours += "%%";
                piece.expected += '%';
            } else {
                piece.ours += alphabet[static_cast<std::size_t>(below(alphabet.size()))];
                piece.expected += piece.ours.back();
            }
        }
        piece.host = piece.ours;
        return piece;
    }

    std::int32_t int32_value() {
        static const std::int32_t edges[] = {
            0,   1,   -1,    7,     8,      9,     10,        15,        16,   255,
            256, -42, 65535, 65536, -32768, 32767, INT32_MAX, INT32_MIN, 0x7f, -128};
        if (chance(50)) return edges[below(std::size(edges))];
        return static_cast<std::int32_t>(random_() >> below(32));
    }

    std::int64_t int64_value() {
        static const std::int64_t edges[] = {0,
                                             1,
                                             -1,
                                             INT64_MAX,
                                             INT64_MIN,
                                             INT64_C(1) << 32,
                                             (INT64_C(1) << 32) - 1,
                                             -(INT64_C(1) << 32)};
        if (chance(40)) return edges[below(std::size(edges))];
        const std::uint64_t bits = (static_cast<std::uint64_t>(random_()) << 32) | random_();
        return static_cast<std::int64_t>(bits >> below(64));
    }

    const char* text_value() {
        static const char* const texts[] = {
            "", "a", "ab", "hello", "with blank", "\xff\x80", "a longer text of some thirty chars"};
        return texts[below(std::size(texts))];
    }

    // Flags, width and precision, with their '*' arguments. No '0' for c and s, whose zero fill
    // the C library leaves undefined, and no precision for c.
    std::string options(char letter, std::vector<std::int32_t>& stars) {
        static const char flags[] = "-+ #0";
        std::string spec;
        const int flag_count = below(4);
        for (int i = 0; i < flag_count; ++i) {
            const char flag = flags[below(5)];
            if (flag == '0' && (letter == 'c' || letter == 's')) continue;
            spec += flag;
        }
        if (chance(50)) {
            if (chance(25)) {
                spec += '*';
                stars.push_back(below(61) - 30);
            } else {
                spec += std::to_string(1 + below(25));
            }
        }
        if (letter != 'c' && chance(50)) {
            spec += '.';
            if (chance(25)) {
                spec += '*';
                stars.push_back(below(36) - 5);
            } else if (chance(80)) {
                spec += std::to_string(below(25));
            }
        }
        return spec;
    }

    Piece conversion() {
        static const char letters[] = "diuoxXcs";
        const char letter = letters[below(8)];
        std::vector<std::int32_t> stars;
        const std::string spec = "%" + options(letter, stars);
        Piece piece;
        for (std::int32_t star : stars)
            piece.args.push_back(make_arg(star));

        auto with_stars = [&](const std::string& host, auto value) {
            if (stars.empty()) return host_format(host, value);
            if (stars.size() == 1) return host_format(host, stars[0], value);
            return host_format(host, stars[0], stars[1], value);
        };
        if (letter == 's') {
            const char* text = text_value();
            piece.ours = piece.host = spec + 's';
            piece.args.push_back(make_arg(text));
            piece.expected = with_stars(piece.host, text);
        } else if (letter == 'c') {
            const std::int32_t value = int32_value();
            piece.ours = piece.host = spec + 'c';
            piece.args.push_back(make_arg(value));
            piece.expected = with_stars(piece.host, value);
        } else if (chance(30)) {
            const std::int64_t value = int64_value();
            piece.ours = spec + "I64" + letter;
            piece.host = spec + "ll" + letter;
            piece.args.push_back(make_arg(value));
            piece.expected = with_stars(piece.host, static_cast<long long>(value));
        } else {
            // 'l' changes nothing here; 'h' takes the low 16 bits in both.
            const int size = below(3);
            const std::int32_t value = int32_value();
            piece.ours = spec + (size == 0 ? "" : size == 1 ? "h" : "l") + letter;
            piece.host = spec + (size == 1 ? "h" : "") + letter;
            piece.args.push_back(make_arg(value));
            piece.expected = with_stars(piece.host, value);
        }
        return piece;
    }

    std::mt19937 random_;
};

TEST(FormatDifferential, AgreesWithTheHostSnprintf) {
    constexpr int FORMATS = 200000;
    Generator generator(20240607);
    std::string buffer(1 << 12, '\0');
    int failures = 0;
    for (int i = 0; i < FORMATS && failures < 20; ++i) {
        std::string format, host, expected;
        std::vector<FormatArg> list;
        for (const Piece& piece : generator.format()) {
            format += piece.ours;
            host += piece.host;
            expected += piece.expected;
            list.insert(list.end(), piece.args.begin(), piece.args.end());
        }
        FormatArgs args{list.data(), list.size(), 0};
        const std::int32_t count = format_to_buffer(
            buffer.data(), static_cast<std::int32_t>(buffer.size()), format.c_str(), args);
        const std::string got = buffer.substr(0, count < 0 ? 0 : static_cast<std::size_t>(count));
        if (count != static_cast<std::int32_t>(expected.size()) || got != expected ||
            args.next != list.size()) {
            ++failures;
            ADD_FAILURE() << "format \"" << format << "\" (host \"" << host << "\")\n  got      \""
                          << got << "\" (" << count << ")\n  expected \"" << expected << "\"";
        }
    }
    EXPECT_EQ(failures, 0);
}

}  // namespace
}  // namespace mirzet
