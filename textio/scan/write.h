// The write side's loop: a CR before every LF, into a chunk of output, written once over any block
// beside the plain loop it must match.
#pragma once

#include "textio/scan/block.h"
#include "textio/scan/word.h"

namespace mirzet::scan {

struct Expanded {
    std::uint32_t length;  // bytes stored
    std::uint32_t taken;   // bytes of the text they came from
};

// What the fast forms of expand_lf may store past the limit: out needs room for limit +
// EXPAND_SLACK bytes, against limit + 1 for the plain loop. Bytes past the length it reports are
// scratch. Every form takes any n and any limit below UINT32_MAX, the plain one's length, up to
// limit + 1, being 32 bits wide.
constexpr std::uint32_t EXPAND_SLACK = 4 * WIDEST_BLOCK;

// The most bytes past its text that expand_lf_lending borrows, whatever the block: a turn of two
// blocks lent, and a block more that a turn with few LFs only reads.
constexpr std::uint32_t LENDING_REACH = 3 * WIDEST_BLOCK;

inline namespace MIRZET_SCAN_VARIANT {

// ---- a chunk of output: a CR before every LF ----

// Copies text into out, a CR before each LF, until out holds at least limit bytes or the n bytes
// of text run out. A pair crossing the mark is completed, so out needs room for limit + 1.
inline Expanded expand_lf_plain(char* out, std::uint32_t limit, const char* text, std::uint32_t n) {
    std::uint32_t length = 0, taken = 0;
    while (length < limit && taken < n) {
        const char c = text[taken++];
        if (c == LF) out[length++] = CR;
        out[length++] = c;
    }
    return {length, taken};
}

// Where the limit falls inside a block whose text started with room bytes of out left before the
// limit: the lengths of out and of the text up to the first end of a character at or past the
// limit, lfs being the block's LFs. Each LF takes two bytes of out, every other byte one, so the
// limit lands on such an end unless it falls between an LF's CR and the LF.
template <ByteBlock Block>
Expanded stop_in_block(typename Block::Mask lfs, std::uint32_t room) {
    std::uint32_t pairs = 0;
    while (lfs != 0) {
        const std::uint32_t at = Block::first(lfs);
        lfs &= lfs - 1;
        if (at + pairs >= room) break;  // the limit falls before this LF's pair
        if (at + pairs + 1 == room) return {room + 1, at + 1};  // between its CR and LF
        ++pairs;
    }
    return {room, room - pairs};
}

// Which ends the block loop watches: the limit, the text's or both.
enum class Watch { LIMIT, TEXT, BOTH };

// Blocks that store a block with a CR before each LF in the same work whatever its LFs:
// store_with_crs(to, bytes, lfs) stores it from `to`, reaching at most WITH_CRS_REACH bytes, and
// returns the bytes that count, SIZE + count(lfs).
template <class B>
concept StoresWithCrs = ByteBlock<B> &&
    requires(char* to, typename B::Bytes bytes, typename B::Mask lfs) {
    { B::store_with_crs(to, bytes, lfs) } -> std::same_as<std::uint32_t>;
    requires 2 * B::SIZE + B::WITH_CRS_REACH <= EXPAND_SLACK;
};

// Blocks whose turns of at most FEW_LFS_A_TURN LFs are stored by store_turn_with_few_crs: two
// blocks of 32 bytes, their masks one word of 64 bits.
template <class B>
concept StoresTurnWithFewCrs =
    StoresWithCrs<B> && std::same_as<typename B::Mask, std::uint32_t> && B::SIZE == 32 &&
    B::FEW_LFS_A_TURN > 0 && requires {
    requires 3 * B::SIZE + B::FEW_LFS_A_TURN <= EXPAND_SLACK;
};

// Two blocks with at most FEW_LFS_A_TURN LFs between them, stored from `to` with no table: each
// stored whole where it goes, then for each LF in turn a CR in its place and 32 bytes loaded from
// that LF stored a byte further along. Each store is right up to the next LF, whose own come after
// it, or up to its block's end, where the second block's bytes are already placed as they come
// after the first's LFs. An LF the turn lacks is found at byte 64 (a count of trailing zeros of
// nothing), so its CR and its store fall past the turn's bytes, where the next turn's stores go,
// and its load is taken from the turn's start. The stores reach 3 * SIZE + FEW_LFS_A_TURN bytes,
// and the loads 3 * SIZE - 1 past `from`; returns the bytes that count.
template <StoresTurnWithFewCrs Block>
[[gnu::always_inline]] inline std::size_t store_turn_with_few_crs(char* to, const char* from,
                                                                  typename Block::Bytes first,
                                                                  typename Block::Bytes second,
                                                                  std::uint32_t first_lfs,
                                                                  std::uint32_t second_lfs) {
    constexpr std::uint32_t SIZE = Block::SIZE;
    const std::size_t first_length = SIZE + Block::count(first_lfs);
    Block::store(to, first);
    Block::store(to + first_length, second);
    std::uint64_t lfs = first_lfs | std::uint64_t{second_lfs} << SIZE;
    for (std::size_t crs = 0; crs < Block::FEW_LFS_A_TURN; ++crs) {
        const auto at = static_cast<std::size_t>(std::countr_zero(lfs));
        to[at + crs] = CR;
        Block::store(to + at + crs + 1, Block::load(from + (at & (2 * SIZE - 1))));
        lfs &= lfs - 1;
    }
    return first_length + SIZE + Block::count(second_lfs);
}

// The text a turn of the block loop takes: two blocks where they store themselves with their CRs,
// else one.
template <ByteBlock Block>
constexpr std::uint32_t TURN = StoresWithCrs<Block> ? 2 * Block::SIZE : Block::SIZE;

// One turn of the block loop, out and text each stepped past it.
//
// With FEW, where the block has store_turn_with_few_crs, a turn of few LFs, none included, is
// stored by it: no test for 64 bytes with no LF, which text whose lines are shorter than a few
// turns fails at random, only one for more than a few LFs, which most such text seldom has and
// text of short lines nearly always. Its stores reach 3 * SIZE + FEW_LFS_A_TURN bytes past out,
// its loads 3 * SIZE - 1 past the text.
//
// Where the blocks store themselves with their CRs, two blocks with no LF are stored as they are,
// and otherwise each with its CRs: no branch depends on where the lines end, which the processor
// cannot guess, only on whether 64 bytes hold a line end, which it can for short lines and for
// long. The stores reach 2 * SIZE + WITH_CRS_REACH bytes past out.
//
// Otherwise an LF-free block costs one copy and one test, and an LF a CR and one more copy: the
// block is stored whole, then each LF in it gets its CR and the block is stored again from that LF
// on, one byte further along. Those stores reach up to 3 * SIZE - 1 bytes past out.
//
// Either way the loads reach 2 * SIZE - 1 bytes past the text.
template <ByteBlock Block, bool FEW = false>
[[gnu::always_inline]] inline void expand_turn(char*& to, const char*& from) {
    constexpr std::uint32_t SIZE = Block::SIZE;
    if constexpr (StoresWithCrs<Block>) {
        const typename Block::Bytes first = Block::load(from), second = Block::load(from + SIZE);
        const typename Block::Mask first_lfs = Block::template mask<LF>(first),
                                   second_lfs = Block::template mask<LF>(second);
        if constexpr (FEW) {
            if (Block::count(first_lfs) + Block::count(second_lfs) <= Block::FEW_LFS_A_TURN) {
                to +=
                    store_turn_with_few_crs<Block>(to, from, first, second, first_lfs, second_lfs);
            } else {
                to += Block::store_with_crs(to, first, first_lfs);
                to += Block::store_with_crs(to, second, second_lfs);
            }
        } else if ((first_lfs | second_lfs) == 0) {
            Block::store(to, first);
            Block::store(to + SIZE, second);
            to += 2 * SIZE;
        } else {
            to += Block::store_with_crs(to, first, first_lfs);
            to += Block::store_with_crs(to, second, second_lfs);
        }
    } else {
        static_assert(3 * SIZE <= EXPAND_SLACK);
        const typename Block::Bytes bytes = Block::load(from);
        Block::store(to, bytes);
        typename Block::Mask lfs = Block::template mask<LF>(bytes);
        while (lfs != 0) {
            const std::size_t at = Block::first(lfs);  // as wide as a pointer: no widening
            lfs &= lfs - 1;
            to[at] = CR;
            ++to;
            copy_block<Block>(to + at, from + at);
            keep_as_is(to);
        }
        to += SIZE;
    }
    from += TURN<Block>;
}

// Fast because a turn costs a few instructions a block, and the loop keeps one pointer into out
// and nothing of a block once it is done. Each turn begins before the limit and at most 2 * SIZE
// bytes before the text's end, which this loop watches only where each may come first. The turn
// that reaches the limit is looked at again, a block at a time from its end, once a call, and cut
// back to it.
template <ByteBlock Block, Watch WATCH>
Expanded expand_lf_blocks_until(char* out, std::uint32_t limit, const char* text, std::uint32_t n) {
    constexpr std::uint32_t SIZE = Block::SIZE;
    char* to = out;
    const char* from = text;
    char* const to_end = out + limit;
    const char* const from_last = text + (n - 2 * SIZE);
    do {
        expand_turn<Block>(to, from);
    } while ((WATCH == Watch::TEXT || to < to_end) && (WATCH == Watch::LIMIT || from <= from_last));
    if (to < to_end)
        return {static_cast<std::uint32_t>(to - out), static_cast<std::uint32_t>(from - text)};
    typename Block::Mask block_lfs;
    do {
        from -= SIZE;
        block_lfs = Block::template mask<LF>(Block::load(from));
        to -= SIZE + Block::count(block_lfs);
    } while (to >= to_end);
    const Expanded cut = stop_in_block<Block>(block_lfs, static_cast<std::uint32_t>(to_end - to));
    return {static_cast<std::uint32_t>(to - out) + cut.length,
            static_cast<std::uint32_t>(from - text) + cut.taken};
}

// Out grows at least as fast as the text is taken, and at most twice as fast. The turns begin at
// most 2 * SIZE bytes before the text's end, so they take at most n - 2 * SIZE + TURN bytes of it.
// With limit + 2 * SIZE bytes of text or more the limit comes first, and the loop need not watch
// the text's end; with so little text that twice what the turns take falls short of the limit,
// it need not watch the limit. Halving the limit, rounded up, rather than doubling the text keeps
// the test right for every n: doubling would wrap past 2^32.
constexpr Watch watch_for(std::uint32_t limit, std::uint32_t n, std::uint32_t size,
                          std::uint32_t turn) {
    if (n - 2 * size >= limit) return Watch::LIMIT;
    if (n - 2 * size + turn < limit / 2 + limit % 2) return Watch::TEXT;
    return Watch::BOTH;
}

template <ByteBlock Block>
Expanded expand_lf_blocks(char* out, std::uint32_t limit, const char* text, std::uint32_t n) {
    constexpr std::uint32_t SIZE = Block::SIZE;
    if (n < 2 * SIZE) return {0, 0};
    switch (watch_for(limit, n, SIZE, TURN<Block>)) {
        case Watch::LIMIT:
            return expand_lf_blocks_until<Block, Watch::LIMIT>(out, limit, text, n);
        case Watch::TEXT:
            return expand_lf_blocks_until<Block, Watch::TEXT>(out, limit, text, n);
        case Watch::BOTH:
            break;
    }
    return expand_lf_blocks_until<Block, Watch::BOTH>(out, limit, text, n);
}

// The same near the end of the room or the text: a block at a time while a whole block and the
// pair it may end with fit, each LF ending its block.
template <ByteBlock Block>
Expanded expand_lf_stepping(char* out, std::uint32_t limit, const char* text, std::uint32_t n) {
    std::uint32_t length = 0, taken = 0;
    while (length + Block::SIZE <= limit && n - taken >= Block::SIZE) {
        const typename Block::Bytes bytes = Block::load(text + taken);
        Block::store(out + length, bytes);
        const typename Block::Mask lfs = Block::template mask<LF>(bytes);
        if (lfs == 0) {
            length += Block::SIZE;
            taken += Block::SIZE;
            continue;
        }
        const std::uint32_t at = Block::first(lfs);
        out[length + at] = CR;
        out[length + at + 1] = LF;
        length += at + 2;
        taken += at + 1;
    }
    return {length, taken};
}

// ---- all of a text, the last turn running into bytes lent past it ----

// All n bytes of text with a CR before each LF, by whole turns of the block loop: the last turn
// runs past the text into bytes its caller lends, so no stage for the last bytes, and none of its
// branches on where the text ends, runs at each call. The lent bytes, TURN of them from text + n,
// must be readable and writable, and LENDING_REACH of them readable; the TURN are set to NUL for
// the loop, so that they hold no LF and stand for themselves in out, then given back, and those
// after them, only read, land in out past what counts. out needs room for 2 * n + EXPAND_SLACK.
// Returns the bytes of out that count.
template <ByteBlock Block>
std::uint32_t expand_lf_lending_with(char* out, char* text, std::uint32_t n) {
    constexpr std::uint32_t LENT = TURN<Block>;
    char* const end = text + n;
    char kept[LENT];
    std::memcpy(kept, end, LENT);
    std::memset(end, 0, LENT);
    char* to = out;
    const char* from = text;
    // A turn with no LF costs least stored as it is, as where lines are long most turns are: a
    // call whose first turn holds no LF keeps the test for one, as does a call of a few turns,
    // such as a piece of a line, where the test of the first turn would be as hard to guess.
    if constexpr (StoresTurnWithFewCrs<Block>) {
        if (n >= 4 * LENT && (Block::template mask<LF>(Block::load(text)) |
                              Block::template mask<LF>(Block::load(text + Block::SIZE))) != 0) {
            while (from < end)
                expand_turn<Block, true>(to, from);
        }
    }
    while (from < end)
        expand_turn<Block>(to, from);
    std::memcpy(end, kept, LENT);
    return static_cast<std::uint32_t>((to - out) - (from - end));
}

// The plain twin: every byte, no limit.
inline std::uint32_t expand_lf_lending_plain(char* out, const char* text, std::uint32_t n) {
    return expand_lf_plain(out, UINT32_MAX, text, n).length;
}

// The stages in turn: whole blocks, blocks one LF at a time, words, and single bytes; the later
// ones only for the text's last bytes. out needs room for limit + EXPAND_SLACK.
template <ByteBlock Block>
Expanded expand_lf_with(char* out, std::uint32_t limit, const char* text, std::uint32_t n) {
    Expanded done{0, 0};
    const auto then = [&](Expanded (*stage)(char*, std::uint32_t, const char*, std::uint32_t)) {
        if (done.length >= limit) return;
        const Expanded more =
            stage(out + done.length, limit - done.length, text + done.taken, n - done.taken);
        done.length += more.length;
        done.taken += more.taken;
    };
    then(expand_lf_blocks<Block>);
    then(expand_lf_stepping<Block>);
    then(expand_lf_stepping<WordBlock>);
    then(expand_lf_plain);
    return done;
}

}  // namespace MIRZET_SCAN_VARIANT
}  // namespace mirzet::scan
