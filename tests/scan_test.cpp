// The fast byte loops against their plain twins, for every block width: random text of random
// length and LF density, at every alignment. In half the rounds each buffer is exactly as long as
// the loop may use, so that the sanitizers see any access past it; in the rest LFs, CRs and
// Ctrl-Zs follow the text, so that a loop that looks past it goes wrong in any build.
#include "textio/scan.h"

#include "block_reach.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cstdint>
#include <cstdio>
#include <random>
#include <string>
#include <utility>
#include <vector>

namespace mirzet::scan {
namespace {

struct Text {
    std::vector<char> bytes;  // the text, then in half the texts a few bytes no loop may look at
    std::uint32_t offset;     // where the text starts, to vary the alignment
};

class Generator {
  public:
    explicit Generator(std::uint32_t seed) : random_(seed) {}

    std::uint32_t below(std::uint32_t n) { return random_() % n; }

    // Lines of a random mean length, sometimes none at all, with CR, NUL and 0xFF mixed in. Where
    // bytes follow, each is an LF, a CR or a Ctrl-Z, and the text ends with a CR in half the
    // texts: a CR-LF across the end is a pair only to a loop that reads past it.
    Text text(std::uint32_t n) {
        static const std::uint32_t mean_line[] = {1, 2, 8, 44, 129, 5000, 0};
        static const char past_end[] = {LF, CR, CTRL_Z};
        const std::uint32_t mean = mean_line[below(7)];
        const std::uint32_t after = below(2) == 0 ? 0 : 1 + below(4);
        Text text{std::vector<char>(n + 31 + after), below(32)};
        text.bytes.resize(text.offset + n + after);
        for (std::uint32_t i = text.offset + n; i < text.bytes.size(); ++i)
            text.bytes[i] = past_end[below(3)];
        for (std::uint32_t i = text.offset; i < text.offset + n; ++i) {
            const std::uint32_t pick = below(64);
            text.bytes[i] = mean != 0 && below(mean) == 0 ? LF
                            : pick == 0                   ? CR
                            : pick == 1                   ? '\0'
                            : pick == 2                   ? '\xFF'
                                                          : static_cast<char>('a' + pick % 26);
        }
        if (n > 0 && after > 0 && below(2) == 0) text.bytes[text.offset + n - 1] = CR;
        return text;
    }

  private:
    std::mt19937 random_;
};

std::string bytes_of(const char* p, std::uint32_t n) {
    return std::string(p, n);
}

template <class Block>
void check_copy_through_lf(Generator& generate) {
    for (int round = 0; round < 20000; ++round) {
        const std::uint32_t n = generate.below(round % 10 == 0 ? 600 : 140);
        const Text text = generate.text(n);
        const char* from = text.bytes.data() + text.offset;
        // Only the bytes the copy reports may change; the rest of the buffer keeps its filler.
        std::vector<char> fast(n, '#'), plain(n, '#');
        const std::uint32_t fast_n = copy_through_lf_with<Block>(fast.data(), from, n);
        const std::uint32_t plain_n = copy_through_lf_plain(plain.data(), from, n);
        ASSERT_EQ(fast_n, plain_n) << "round " << round << ", n " << n;
        ASSERT_EQ(bytes_of(fast.data(), n), bytes_of(plain.data(), n)) << "round " << round;
    }
}

using ExpandLoop = Expanded (*)(char*, std::uint32_t, const char*, std::uint32_t);

void check_expand_lf(Generator& generate, ExpandLoop expand_fast) {
    for (int round = 0; round < 20000; ++round) {
        const std::uint32_t n = generate.below(round % 10 == 0 ? 20000 : 300);
        // The write's own limits mostly, a chunk's and a batch's, now and then a small or odd
        // one, and twice the text, as expand_lf_all asks.
        const std::uint32_t limits[] = {1 + generate.below(200), 1024, 8192, 2 * n};
        const std::uint32_t limit = limits[round % 4];
        const Text text = generate.text(n);
        const char* from = text.bytes.data() + text.offset;
        std::vector<char> fast(limit + OVERRUN), plain(limit + 1);
        const Expanded fast_e = expand_fast(fast.data(), limit, from, n);
        const Expanded plain_e = expand_lf_plain(plain.data(), limit, from, n);
        ASSERT_EQ(fast_e.length, plain_e.length) << "round " << round << ", n " << n;
        ASSERT_EQ(fast_e.taken, plain_e.taken) << "round " << round << ", n " << n;
        ASSERT_EQ(bytes_of(fast.data(), fast_e.length), bytes_of(plain.data(), plain_e.length))
            << "round " << round;
    }
}

using WholeLoop = std::uint32_t (*)(char*, const char*, std::uint32_t);

// The conversion of a whole text, reading `padding` bytes past it: the plain loop's bytes,
// whatever the padding holds (LFs among them), with exactly that padding and exactly
// 2 * n + OVERRUN of out, so that the sanitizers see a step that goes further.
void check_expand_whole(Generator& generate, WholeLoop expand_fast, std::uint32_t padding) {
    for (int round = 0; round < 20000; ++round) {
        const std::uint32_t n = generate.below(round % 10 == 0 ? 5000 : 300);
        const Text text = generate.text(n);
        std::vector<char> padded(n + padding);  // exactly: no capacity past it
        const std::size_t given = std::min(text.bytes.size() - text.offset, padded.size());
        std::copy_n(text.bytes.begin() + text.offset, given, padded.begin());
        for (std::size_t i = given; i < padded.size(); ++i)
            padded[i] = i % 3 == 0 ? LF : static_cast<char>('A' + i % 26);
        std::vector<char> fast(2 * n + OVERRUN), plain(2 * n + 1);
        const std::uint32_t fast_n = expand_fast(fast.data(), padded.data(), n);
        const std::uint32_t plain_n = expand_lf_all_plain(plain.data(), padded.data(), n);
        ASSERT_EQ(fast_n, plain_n) << "round " << round << ", n " << n;
        ASSERT_EQ(bytes_of(fast.data(), fast_n), bytes_of(plain.data(), plain_n))
            << "round " << round;
    }
}

// Which ends the write's block loop watches, at the edges of each choice and for texts past 2^31,
// where twice the text taken no longer fits 32 bits: watching the text alone there would let the
// loop run past the limit and out's overrun.
TEST(WatchTest, TheLoopWatchesTheLimitWhereverItCanComeFirst) {
    struct Row {
        std::uint32_t limit, n, size, step;
        Watch watch;
    };
    const Row rows[] = {
        {8192, 8192 + 64, 32, 32, Watch::LIMIT},
        {8192, 8192 + 63, 32, 32, Watch::BOTH},
        {8192, 4096 + 32, 32, 32, Watch::TEXT},  // 2 * 4096 <= 8192
        {8192, 4096 + 33, 32, 32, Watch::BOTH},
        {8191, 4096 + 31, 32, 32, Watch::TEXT},  // 2 * 4095 <= 8191
        {8191, 4096 + 32, 32, 32, Watch::BOTH},
        {8192, 4096, 32, 64, Watch::TEXT},  // two blocks a step: all 4096 bytes may be taken
        {8192, 4097, 32, 64, Watch::BOTH},
        {2 * 5000, 5000, 32, 64, Watch::TEXT},  // expand_lf_all's limit
        {0x80000040, 0x80000064, 32, 32, Watch::BOTH},
        {0x80000040, 0x80000064, 32, 64, Watch::BOTH},
        {0xFFFFFFFE, 0xFFFFFFFF, 32, 64, Watch::BOTH},
        {0x7FFFFFFF, 0xFFFFFFFF, 8, 8, Watch::LIMIT},
    };
    for (const Row& row : rows)
        EXPECT_EQ(watch_for(row.limit, row.n, row.size, row.step), row.watch)
            << "limit " << row.limit << ", n " << row.n << ", step " << row.step;
}

// Where a stretch of line pieces ends, put where a fault would show: a byte either side of an
// LF's end or on it, a room's length past it or a byte either side of that, and below it a room
// or a byte either side of that, or anywhere up to a little past the text.
std::int32_t pieces_limit(Generator& generate, const char* text, std::int32_t n,
                          std::int32_t room) {
    const std::int32_t near[] = {0, 1, room - 1, room, room + 1};
    const std::uint32_t pick = generate.below(4);
    if (pick == 0) return near[generate.below(5)];
    if (pick == 1 || n == 0) return static_cast<std::int32_t>(generate.below(n + 200));
    std::int32_t lf_end = static_cast<std::int32_t>(generate.below(n));
    while (lf_end > 0 && text[lf_end - 1] != LF)
        --lf_end;
    const std::int32_t past[] = {-1, 0, 1, room - 1, room, room + 1};
    return std::max(0, lf_end + past[generate.below(6)]);
}

// Against the plain twin, for rooms from one byte to a few hundred and the program's own, with
// the source's end and the output's space each put on a boundary that matters. Nothing past the
// pieces taken may be written.
TEST(LinePiecesTest, CopyTakesEveryWholePieceBothBuffersHold) {
    Generator generate(6);
    for (int round = 0; round < 40000; ++round) {
        const std::int32_t room =
            round % 4 == 0 ? 129 : static_cast<std::int32_t>(1 + generate.below(300));
        const auto size = static_cast<std::int32_t>(generate.below(round % 10 == 0 ? 5000 : 600));
        const Text text = generate.text(static_cast<std::uint32_t>(size));
        const char* from = text.bytes.data() + text.offset;
        std::int32_t n = size, space = size + 200;
        (round % 2 == 0 ? n : space) = pieces_limit(generate, from, size, room);
        if (generate.below(3) == 0)
            (round % 2 == 0 ? space : n) = pieces_limit(generate, from, size, room);
        n = std::min(n, size);
        std::vector<char> fast(static_cast<std::size_t>(space), '#'), plain = fast;
        Pieces run{from, n, fast.data(), space}, plain_run{from, n, plain.data(), space};
        copy_pieces(run, room);
        copy_pieces_plain(plain_run, room);
        const auto taken = static_cast<std::size_t>(plain_run.to - plain.data());
        const std::string trace = "round " + std::to_string(round) + ", room " +
                                  std::to_string(room) + ", n " + std::to_string(n) + ", space " +
                                  std::to_string(space);
        ASSERT_EQ(run.from, plain_run.from) << trace;
        ASSERT_EQ(run.left, plain_run.left) << trace;
        ASSERT_EQ(run.to, fast.data() + taken) << trace;
        ASSERT_EQ(run.space, plain_run.space) << trace;
        ASSERT_EQ(std::string(fast.begin(), fast.end()), std::string(plain.begin(), plain.end()))
            << trace;
        ASSERT_EQ(std::string(fast.data(), taken), std::string(from, taken)) << trace;
    }
}

template <class Block>
void check_copy_short(Generator& generate) {
    for (std::uint32_t n = 0; n < 300; ++n) {
        for (int round = 0; round < 20; ++round) {
            const Text text = generate.text(n);
            std::vector<char> to(n + 2, '#');
            copy_short_with<Block>(to.data() + 1, text.bytes.data() + text.offset, n);
            EXPECT_EQ(to.front(), '#');
            EXPECT_EQ(to.back(), '#');
            ASSERT_EQ(bytes_of(to.data() + 1, n), bytes_of(text.bytes.data() + text.offset, n))
                << "n " << n;
        }
    }
}

// The first CR, the first CR-LF pair and the last LF, with pairs made common in half the rounds.
template <class Block>
void check_find_cr(Generator& generate) {
    for (int round = 0; round < 20000; ++round) {
        const std::uint32_t n = generate.below(round % 10 == 0 ? 5000 : 300);
        Text text = generate.text(n);
        char* const from = text.bytes.data() + text.offset;
        for (std::uint32_t i = 1; i < n && round % 2 == 0; ++i)
            if (from[i] == LF && generate.below(8) == 0) from[i - 1] = CR;
        ASSERT_EQ(find_cr_with<Block>(from, n), find_cr_plain(from, n))
            << "round " << round << ", n " << n;
        if constexpr (SearchesByWindows<Block>) {  // where the library's search stands in for it
            ASSERT_EQ((find_byte_by_windows<CR, Block>(from, n)), find_cr_plain(from, n))
                << "round " << round << ", n " << n;
        }
        ASSERT_EQ(find_pair_with<Block>(from, n), find_pair_plain(from, n))
            << "round " << round << ", n " << n;
        ASSERT_EQ(find_last_lf_with<Block>(from, n), find_last_lf_plain(from, n))
            << "round " << round << ", n " << n;
        ASSERT_EQ(find_last_lf_by_library(from, n), find_last_lf_plain(from, n))
            << "round " << round << ", n " << n;
    }
}

// In place, as the read conversion moves a run down over the CRs it dropped.
template <class Block>
void check_move_down(Generator& generate) {
    for (int round = 0; round < 20000; ++round) {
        const std::uint32_t n = generate.below(300);
        const std::uint32_t gap = generate.below(round % 2 == 0 ? 3 : 100);
        const Text text = generate.text(n + gap);
        std::vector<char> fast(text.bytes.begin() + text.offset, text.bytes.end());
        std::vector<char> plain = fast;
        move_down_with<Block>(fast.data(), fast.data() + gap, n);
        move_down_plain(plain.data(), plain.data() + gap, n);
        ASSERT_EQ(std::string(fast.begin(), fast.end()), std::string(plain.begin(), plain.end()))
            << "round " << round << ", n " << n << ", gap " << gap;
    }
}

using SqueezeLoop = Squeezed (*)(char*, std::uint32_t);

// Whether the fast loop converts the first n of these bytes as the plain loop does: the same
// counts, the same bytes kept, and the bytes not read, and those after the text, as they were.
::testing::AssertionResult squeezes_alike(SqueezeLoop squeeze_fast, const std::vector<char>& bytes,
                                          std::uint32_t n) {
    std::vector<char> fast = bytes, plain = bytes;
    const Squeezed fast_s = squeeze_fast(fast.data(), n);
    const Squeezed plain_s = squeeze_crlf_plain(plain.data(), n);
    if (fast_s.data_end != plain_s.data_end || fast_s.kept != plain_s.kept ||
        fast_s.read != plain_s.read)
        return ::testing::AssertionFailure()
               << "n " << n << ": kept, read, data_end " << fast_s.kept << ", " << fast_s.read
               << ", " << fast_s.data_end << " against " << plain_s.kept << ", " << plain_s.read
               << ", " << plain_s.data_end;
    if (bytes_of(fast.data(), fast_s.kept) != bytes_of(plain.data(), plain_s.kept))
        return ::testing::AssertionFailure() << "n " << n << ": the bytes kept differ";
    const auto unread = static_cast<std::uint32_t>(bytes.size()) - plain_s.read;
    if (bytes_of(fast.data() + fast_s.read, unread) !=
        bytes_of(bytes.data() + plain_s.read, unread))
        return ::testing::AssertionFailure() << "n " << n << ": a byte not read changed";
    return ::testing::AssertionSuccess();
}

// In place, as the read conversion drops the CR of each pair, with CR-LF line ends made common,
// or no CR at all, and now and then a Ctrl-Z, which stops the data. The bytes not yet read, and
// those after the text, must come out as they went in: the caller settles the last one.
void check_squeeze(Generator& generate, SqueezeLoop squeeze_fast) {
    for (int round = 0; round < 20000; ++round) {
        const std::uint32_t n = generate.below(round % 10 == 0 ? 5000 : 300);
        Text text = generate.text(n);
        char* const bytes = text.bytes.data() + text.offset;
        const bool crs = round % 4 != 0;
        for (std::uint32_t i = 0; i < n; ++i) {
            if (bytes[i] == CR && !crs) bytes[i] = 'c';
            if (i > 0 && bytes[i] == LF && crs && generate.below(2) == 0) bytes[i - 1] = CR;
        }
        if (n > 0 && round % 3 == 0) bytes[generate.below(n)] = CTRL_Z;
        ASSERT_TRUE(squeezes_alike(
            squeeze_fast, std::vector<char>(bytes, text.bytes.data() + text.bytes.size()), n))
            << "round " << round;
    }
}

template <class Block>
class ScanTest : public ::testing::Test {};

#if !MIRZET_SCAN_PORTABLE && defined(__SSE2__)
using Blocks = ::testing::Types<WordBlock, Sse2Block>;
#elif MIRZET_SCAN_NEON
using Blocks = ::testing::Types<WordBlock, NeonBlock>;
#else
using Blocks = ::testing::Types<WordBlock>;
#endif
TYPED_TEST_SUITE(ScanTest, Blocks);

TYPED_TEST(ScanTest, CopyThroughLfMatchesThePlainLoop) {
    Generator generate(1);
    check_copy_through_lf<TypeParam>(generate);
}

TYPED_TEST(ScanTest, ExpandLfMatchesThePlainLoop) {
    Generator generate(2);
    check_expand_lf(generate, expand_lf_with<TypeParam>);
}

TYPED_TEST(ScanTest, ExpandLfAllAndPaddedMatchThePlainLoop) {
    Generator generate(3);
    check_expand_whole(generate, expand_lf_all_with<TypeParam>, 0);
    check_expand_whole(generate, expand_lf_padded_with<TypeParam>, PADDING);
}

TYPED_TEST(ScanTest, SqueezeCrlfMatchesThePlainLoop) {
    Generator generate(7);
    check_squeeze(generate, squeeze_crlf_with<TypeParam>);
}

// Each path's kernels, as its row of the table holds them, held to the plain loops where this
// processor runs it; the line each prints tells CI which paths were tested.
class PathTest : public ::testing::TestWithParam<PathRow> {
  protected:
    void SetUp() override {
        if (!GetParam().processor_runs())
            GTEST_SKIP() << "path " << GetParam().name << " untested: the processor lacks it";
        std::printf("path %s tested\n", GetParam().name);
    }
};

TEST_P(PathTest, ExpandLfMatchesThePlainLoop) {
    Generator generate(2);
    check_expand_lf(generate, GetParam().kernels->expand_lf);
}

TEST_P(PathTest, ExpandLfAllAndPaddedMatchThePlainLoop) {
    Generator generate(3);
    check_expand_whole(generate, GetParam().kernels->expand_lf_all, 0);
    check_expand_whole(generate, GetParam().kernels->expand_lf_padded, PADDING);
}

// The last LF, which the straight copy of line pieces looks for from the end, in texts with long
// lines as often as short.
TEST_P(PathTest, FindLastLfMatchesThePlainLoop) {
    Generator generate(4);
    for (int round = 0; round < 20000; ++round) {
        const std::uint32_t n = generate.below(round % 10 == 0 ? 5000 : 300);
        const Text text = generate.text(n);
        const char* from = text.bytes.data() + text.offset;
        ASSERT_EQ(GetParam().kernels->find_last_lf(from, n), find_last_lf_plain(from, n))
            << "round " << round << ", n " << n;
    }
}

TEST_P(PathTest, SqueezeCrlfMatchesThePlainLoop) {
    Generator generate(7);
    check_squeeze(generate, GetParam().kernels->squeeze_crlf);
}

// Where the loops change gear, which random text reaches only now and then: a byte either side of
// each block width's multiples up to 256, and texts of a byte or two. A pair, a lone CR before a
// pair, a lone CR or a Ctrl-Z goes at every place in turn (so at each block's last byte, and a
// pair across two blocks), in text with no line end, in text whose bytes all move after a first
// pair, and in text of CR-LF lines every 10 bytes.
TEST_P(PathTest, SqueezeCrlfMatchesThePlainLoopAtEveryPlaceNearBlockEdges) {
    const std::uint32_t lengths[] = {1,   2,   3,   31,  32,  33,  63,  64,  65,  66,
                                     127, 128, 129, 130, 191, 192, 193, 255, 256, 257};
    const std::string features[] = {"\r\n", "\r\r\n", "\r", std::string(1, CTRL_Z)};
    for (const std::uint32_t n : lengths) {
        for (int background = 0; background < 3; ++background) {
            for (const std::string& feature : features) {
                for (std::uint32_t place = 0; place < n; ++place) {
                    std::vector<char> text(n);
                    for (std::uint32_t i = 0; i < n; ++i) {
                        const std::uint32_t line = background == 1 ? n : 10;
                        text[i] = background == 0        ? static_cast<char>('a' + i % 26)
                                  : i % line == line - 2 ? CR
                                  : i % line == line - 1 ? LF
                                                         : static_cast<char>('a' + i % 26);
                    }
                    if (background == 1 && n > 2) text[0] = CR, text[1] = LF;
                    for (std::uint32_t i = 0; i < feature.size() && place + i < n; ++i)
                        text[place + i] = feature[i];
                    ASSERT_TRUE(squeezes_alike(GetParam().kernels->squeeze_crlf, text, n))
                        << "background " << background << ", feature of " << feature.size()
                        << " bytes at " << place;
                }
            }
        }
    }
}

INSTANTIATE_TEST_SUITE_P(Builds, PathTest, ::testing::ValuesIn(PATHS),
                         [](const auto& info) { return std::string(info.param.name); });

// A path named by the user is taken only where the processor runs it; any other name, or none,
// leaves the best. The baseline runs everywhere. Choosing a path chooses its row's kernels.
TEST(PathTest, ANamedPathIsTakenOnlyWhereTheProcessorRunsIt) {
    const char* const names[] = {"baseline", "avx2", "avx512", "AVX2", "sse9", "", nullptr};
    for (const char* name : names) {
        const Path path = path_named(name);
        EXPECT_TRUE(processor_runs(path)) << (name != nullptr ? name : "(none)");
        const bool honoured = name != nullptr && std::string(name) == path_name(path);
        EXPECT_EQ(honoured || path == best_path(), true) << (name != nullptr ? name : "(none)");
    }
    EXPECT_EQ(path_named("baseline"), Path::BASELINE);
    for (const PathRow& row : PATHS) {
        use_path(row.path);
        EXPECT_EQ(chosen_kernels, row.processor_runs() ? row.kernels : row_of(best_path())->kernels)
            << row.name;
    }
    use_path(Path::BASELINE);
}

TYPED_TEST(ScanTest, CopyShortCopiesExactlyItsBytes) {
    Generator generate(3);
    check_copy_short<TypeParam>(generate);
}

TYPED_TEST(ScanTest, FindCrAndFindPairMatchThePlainLoops) {
    Generator generate(4);
    check_find_cr<TypeParam>(generate);
}

TYPED_TEST(ScanTest, MoveDownMatchesThePlainLoopInPlace) {
    Generator generate(5);
    check_move_down<TypeParam>(generate);
}

// The loops' slack is counted from each block's declared reach: a store past it overruns their
// buffers, and a reach no store comes to certifies slack nobody measured. Over random blocks, all
// LFs and none among them, the furthest byte each kind of store changes is the reach's last, and
// none is before it. A block's own baseline build, NEON's included, is measured here; the builds
// for AVX2 and AVX-512 measure theirs, where this processor runs them.
TEST(BlockReachTest, StoresReachExactlyAsFarAsTheBlockDeclares) {
    struct Row {
        const char* block;
        Path path;
        BlockReaches (*reaches)(std::uint32_t seed);
    };
    const Row rows[] = {
        {"word", Path::BASELINE, block_reaches<WordBlock>},
        {"baseline", Path::BASELINE, block_reaches<NativeBlock>},
#if MIRZET_SCAN_AVX2
        {"avx2", Path::AVX2, block_reaches_avx2},
#endif
#if MIRZET_SCAN_AVX512
        {"avx512", Path::AVX512, block_reaches_avx512},
        {"avx512 read", Path::AVX512, block_reaches_avx512_read},
#endif
    };
    for (const Row& row : rows) {
        if (!processor_runs(row.path)) {
            std::printf("the %s block's reach untested: the processor lacks it\n", row.block);
            continue;
        }
        const BlockReaches reaches = row.reaches(8);
        const std::pair<const char*, Reach> stores[] = {
            {"with its CRs", reaches.with_crs},
            {"without bytes", reaches.without},
            {"part without bytes", reaches.part_without}};
        for (const auto& [store, reach] : stores) {
            EXPECT_EQ(reach.furthest, reach.declared)
                << "the " << row.block << " block stored " << store;
            EXPECT_FALSE(reach.before) << "the " << row.block << " block stored " << store;
        }
    }
}

}  // namespace
}  // namespace mirzet::scan
