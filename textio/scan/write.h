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

// The bytes past the end of a text that expand_lf_padded may read: its last step loads two blocks
// from at least one byte before the end. The caller guarantees they are allocated and readable;
// what they hold never matters, and nothing is stored there.
constexpr std::uint32_t PADDING = 2 * WIDEST_BLOCK - 1;

// The bytes past the end of what the write's loops store that they may store as scratch: a step
// begins before the limit (or before 2n, where the whole text is converted) and stores at most
// four blocks less a byte from where its output begins. So expand_lf's out needs room for limit +
// OVERRUN bytes, and that of expand_lf_all and expand_lf_padded for 2 * n + OVERRUN; the plain
// loop needs limit + 1. Bytes past the length reported are scratch.
constexpr std::uint32_t OVERRUN = 4 * WIDEST_BLOCK - 1;

inline namespace MIRZET_SCAN_VARIANT {

// ---- a chunk of output: a CR before every LF ----

// Copies text into out, a CR before each LF, until out holds at least limit bytes or the n bytes
// of text run out. A pair that the limit falls inside is completed, so out needs room for
// limit + 1.
inline Expanded expand_lf_plain(char* out, std::uint32_t limit, const char* text, std::uint32_t n) {
    std::uint32_t length = 0, taken = 0;
    while (length < limit && taken < n) {
        const char c = text[taken++];
        if (c == LF) out[length++] = CR;
        out[length++] = c;
    }
    return {length, taken};
}

// The plain twin: every byte, no limit.
inline std::uint32_t expand_lf_all_plain(char* out, const char* text, std::uint32_t n) {
    return expand_lf_plain(out, UINT32_MAX, text, n).length;
}

// Where the limit falls inside a block whose text started with room bytes of out left before the
// limit: the lengths of out and of the text up to the first end of a character at or past the
// limit, lfs being the block's LFs. Each LF takes two bytes of out, every other byte one, so the
// limit lands on such an end unless it falls between an LF's CR and the LF.
template <ByteBlock Block>
Expanded limit_in_block(typename Block::Mask lfs, std::uint32_t room) {
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

// What the write's algorithms ask of a block beyond ByteBlock, each stated with the scratch it
// stores past its bytes, which OVERRUN must cover from a step's start.
//
// WITH_CRS: store_with_crs(to, bytes, lfs) stores the block with a CR before each LF in the same
// work whatever its LFs, storing at most WITH_CRS_OVERRUN bytes from `to`, and returns the bytes
// that count, SIZE + count(lfs). A step of two such stores stores at most 2 * SIZE - 1 +
// WITH_CRS_OVERRUN bytes from its start.
template <class B>
concept StoresWithCrs = ByteBlock<B> &&
    requires(char* to, typename B::Bytes bytes, typename B::Mask lfs) {
    { B::store_with_crs(to, bytes, lfs) } -> std::same_as<std::uint32_t>;
    requires 2 * B::SIZE - 1 + B::WITH_CRS_OVERRUN <= OVERRUN;
};

// WITH_CRS_OR_FEW: besides, steps of at most FEW_LFS_A_STEP LFs are stored by
// store_step_with_few_crs, which takes two blocks of 32 bytes whose masks make one word of 64 bits,
// and stores at most 3 * SIZE + FEW_LFS_A_STEP bytes from the step's start.
template <class B>
concept StoresFewCrs =
    StoresWithCrs<B> && std::same_as<typename B::Mask, std::uint32_t> && B::SIZE == 32 &&
    B::FEW_LFS_A_STEP > 0 && requires {
    requires 3 * B::SIZE + B::FEW_LFS_A_STEP <= OVERRUN + 1;
};

template <ByteBlock Block>
constexpr bool write_step_is_declared() {
    if constexpr (Block::WRITE == WriteStep::WITH_CRS_OR_FEW)
        return StoresFewCrs<Block>;
    else if constexpr (Block::WRITE == WriteStep::WITH_CRS)
        return StoresWithCrs<Block>;
    else  // stores again from each LF: up to a block less a byte, plus a byte for each LF
        return 3 * Block::SIZE - 1 <= OVERRUN;
}

// A block of the write: a ByteBlock whose WRITE names its step, with the members that step needs.
template <class B>
concept WriteBlock = ByteBlock<B> && requires {
    { B::WRITE } -> std::convertible_to<WriteStep>;
    requires write_step_is_declared<B>();
};

// Two blocks with at most FEW_LFS_A_STEP LFs between them, stored from `to` with no table: each
// stored whole where it goes, then for each LF in turn a CR in its place and 32 bytes loaded from
// that LF stored a byte further along. Each store is right up to the next LF, whose own come after
// it, or up to its block's end, where the second block's bytes are already placed as they come
// after the first's LFs. An LF the step lacks is found at byte 64 (a count of trailing zeros of
// nothing), so its CR and its store fall past the step's bytes, where the next step's stores go,
// and its load is taken from the step's start. The loads read up to 3 * SIZE - 1 bytes from `from`;
// returns the bytes that count.
template <StoresFewCrs Block>
[[gnu::always_inline]] inline std::size_t store_step_with_few_crs(char* to, const char* from,
                                                                  typename Block::Bytes first,
                                                                  typename Block::Bytes second,
                                                                  std::uint32_t first_lfs,
                                                                  std::uint32_t second_lfs) {
    constexpr std::uint32_t SIZE = Block::SIZE;
    const std::size_t first_length = SIZE + Block::count(first_lfs);
    Block::store(to, first);
    Block::store(to + first_length, second);
    std::uint64_t lfs = first_lfs | std::uint64_t{second_lfs} << SIZE;
    // Unrolled at every level of optimisation: a loop of three costs a counter and a branch each.
#pragma GCC unroll 8
    for (std::size_t crs = 0; crs < Block::FEW_LFS_A_STEP; ++crs) {
        const auto at = static_cast<std::size_t>(std::countr_zero(lfs));
        to[at + crs] = CR;
        Block::store(to + at + crs + 1, Block::load(from + (at & (2 * SIZE - 1))));
        lfs &= lfs - 1;
    }
    return first_length + SIZE + Block::count(second_lfs);
}

// The text a step of the block loop takes: two blocks where they store themselves with their CRs,
// else one.
template <WriteBlock Block>
constexpr std::uint32_t STEP =
    Block::WRITE == WriteStep::STORE_AGAIN ? Block::SIZE : 2 * Block::SIZE;

// How a step treats its LFs: all of them as any step does, few of them (a step of
// WITH_CRS_OR_FEW that tries store_step_with_few_crs first), or those of its first `keep` bytes
// alone, the rest of the step being padding past the text's end.
enum class Lfs { ALL, FEW, KEPT };

// One step of the block loop, out and text each stepped past it (with Lfs::KEPT, out as though
// each byte past the first `keep` were one byte of text with no LF).
//
// Few LFs: a step with at most FEW_LFS_A_STEP, none included, is stored by
// store_step_with_few_crs: no test for 64 bytes with no LF, which text whose lines are shorter
// than a few steps fails at random, only one for more than a few LFs, which most such text seldom
// has and text of short lines nearly always.
//
// With CRs: two blocks with no LF are stored as they are, and otherwise each with its CRs: no
// branch depends on where the lines end, which the processor cannot guess, only on whether 64
// bytes hold a line end, which it can for short lines and for long.
//
// Stored again: an LF-free block costs one copy and one test, and an LF a CR and one more copy:
// the block is stored whole, then each LF in it gets its CR and the block is stored again from
// that LF on, one byte further along.
template <WriteBlock Block, Lfs LFS = Lfs::ALL>
[[gnu::always_inline]] inline void expand_step(char*& to, const char* from,
                                               std::uint32_t keep = STEP<Block>) {
    constexpr std::uint32_t SIZE = Block::SIZE;
    if constexpr (Block::WRITE != WriteStep::STORE_AGAIN) {
        const typename Block::Bytes first = Block::load(from), second = Block::load(from + SIZE);
        typename Block::Mask first_lfs = Block::template mask<LF>(first),
                             second_lfs = Block::template mask<LF>(second);
        if constexpr (LFS == Lfs::KEPT) {
            if constexpr (requires { Block::first_bytes_of_two(first_lfs, second_lfs, keep); }) {
                Block::first_bytes_of_two(first_lfs, second_lfs, keep);  // keep is below a step
            } else {
                first_lfs = Block::first_bytes(first_lfs, keep);
                second_lfs = Block::first_bytes(second_lfs, keep > SIZE ? keep - SIZE : 0);
            }
        }
        if constexpr (LFS == Lfs::FEW) {
            if (Block::count(first_lfs) + Block::count(second_lfs) <= Block::FEW_LFS_A_STEP) {
                to +=
                    store_step_with_few_crs<Block>(to, from, first, second, first_lfs, second_lfs);
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
        const typename Block::Bytes bytes = Block::load(from);
        Block::store(to, bytes);
        typename Block::Mask lfs = Block::template mask<LF>(bytes);
        if constexpr (LFS == Lfs::KEPT) lfs = Block::first_bytes(lfs, keep);
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
}

// Fast because a step costs a few instructions a block, and the loop keeps one pointer into out
// and nothing of a block once it is done. Each step begins before the limit and at most 2 * SIZE
// bytes before the text's end, which this loop watches only where each may come first. The step
// that reaches the limit is looked at again, a block at a time from its end, once a call, and cut
// back to it.
template <WriteBlock Block, Watch WATCH>
[[gnu::always_inline]] inline Expanded expand_lf_blocks_until(char* out, std::uint32_t limit,
                                                              const char* text, std::uint32_t n) {
    constexpr std::uint32_t SIZE = Block::SIZE;
    char* to = out;
    const char* from = text;
    char* const to_end = out + limit;
    const char* const from_last = text + (n - 2 * SIZE);
    do {
        expand_step<Block>(to, from);
        from += STEP<Block>;
    } while ((WATCH == Watch::TEXT || to < to_end) && (WATCH == Watch::LIMIT || from <= from_last));
    if (to < to_end)
        return {static_cast<std::uint32_t>(to - out), static_cast<std::uint32_t>(from - text)};
    typename Block::Mask block_lfs;
    do {
        from -= SIZE;
        block_lfs = Block::template mask<LF>(Block::load(from));
        to -= SIZE + Block::count(block_lfs);
    } while (to >= to_end);
    const Expanded cut = limit_in_block<Block>(block_lfs, static_cast<std::uint32_t>(to_end - to));
    return {static_cast<std::uint32_t>(to - out) + cut.length,
            static_cast<std::uint32_t>(from - text) + cut.taken};
}

// Out grows at least as fast as the text is taken, and at most twice as fast. The steps begin at
// most 2 * SIZE bytes before the text's end, so they take at most n - 2 * SIZE + step bytes of it.
// With limit + 2 * SIZE bytes of text or more the limit comes first, and the loop need not watch
// the text's end; where twice what the steps take is no more than the limit, it need not watch the
// limit. Counted in 64 bits: twice the text taken may pass 2^32.
constexpr Watch watch_for(std::uint32_t limit, std::uint32_t n, std::uint32_t size,
                          std::uint32_t step) {
    if (n - 2 * size >= limit) return Watch::LIMIT;
    if (2 * (std::uint64_t{n} - 2 * size + step) <= limit) return Watch::TEXT;
    return Watch::BOTH;
}

template <WriteBlock Block>
[[gnu::always_inline]] inline Expanded expand_lf_blocks(char* out, std::uint32_t limit,
                                                        const char* text, std::uint32_t n) {
    constexpr std::uint32_t SIZE = Block::SIZE;
    if (n < 2 * SIZE) return {0, 0};
    switch (watch_for(limit, n, SIZE, STEP<Block>)) {
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
[[gnu::always_inline]] inline Expanded expand_lf_by_lf(char* out, std::uint32_t limit,
                                                       const char* text, std::uint32_t n) {
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

// The stages in turn: whole steps, blocks one LF at a time, words, and single bytes; the later
// ones only for the text's last bytes. out needs room for limit + OVERRUN.
template <WriteBlock Block>
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
    then(expand_lf_by_lf<Block>);
    then(expand_lf_by_lf<WordBlock>);
    then(expand_lf_plain);
    return done;
}

// ---- all of a text ----

// Whole steps of the block loop over the text, the last ending at most at its end; a step of few
// LFs is taken only while the few_reads bytes it reads from its start lie in the text or its
// padding. Returns
// where the steps end.
template <WriteBlock Block>
[[gnu::always_inline]] inline const char* expand_steps(char*& to, const char* text, std::uint32_t n,
                                                       std::uint32_t few_reads) {
    constexpr std::uint32_t WHOLE = STEP<Block>;
    const char* from = text;
    // A step with no LF costs least stored as it is, as where lines are long most steps are: a
    // call whose first step holds no LF keeps the test for one, as does a call of a few steps,
    // such as a part of a line, where the test of the first step would be as hard to guess.
    if constexpr (Block::WRITE == WriteStep::WITH_CRS_OR_FEW) {
        if (n >= 4 * WHOLE && (Block::template mask<LF>(Block::load(text)) |
                               Block::template mask<LF>(Block::load(text + Block::SIZE))) != 0) {
            const char* const last_few = text + (n - few_reads);
            do {
                expand_step<Block, Lfs::FEW>(to, from);
                from += WHOLE;
            } while (from <= last_few);
        }
    }
    if (n >= WHOLE) {
        const char* const last = text + (n - WHOLE);
        while (from <= last) {
            expand_step<Block>(to, from);
            from += WHOLE;
        }
    }
    return from;
}

// One block with a CR before each LF, by the block's own store.
template <WriteBlock Block>
[[gnu::always_inline]] inline void expand_block(char*& to, const char* from) {
    if constexpr (Block::WRITE == WriteStep::STORE_AGAIN) {
        expand_step<Block>(to, from);
    } else {
        const typename Block::Bytes bytes = Block::load(from);
        const typename Block::Mask lfs = Block::template mask<LF>(bytes);
        if (lfs == 0) {
            Block::store(to, bytes);
            to += Block::SIZE;
        } else {
            to += Block::store_with_crs(to, bytes, lfs);
        }
    }
}

// The bytes out holds for the first n bytes of the `size` at `from`, of which none lies past the
// text: n and their LFs' CRs.
template <WriteBlock Block>
[[gnu::always_inline]] inline std::uint32_t stored_for_first(const char* from, std::uint32_t size,
                                                             std::uint32_t n) {
    std::uint32_t lfs =
        Block::count(Block::first_bytes(Block::template mask<LF>(Block::load(from)), n));
    if (size > Block::SIZE && n > Block::SIZE)
        lfs += Block::count(Block::first_bytes(
            Block::template mask<LF>(Block::load(from + Block::SIZE)), n - Block::SIZE));
    return n + lfs;
}

// The first PART bytes at `from` as the first of a block, the rest of it zeros.
template <WriteBlock Block, std::uint32_t PART>
[[gnu::always_inline]] inline typename Block::Bytes load_part(const char* from) {
    char part[Block::SIZE] = {};
    std::memcpy(part, from, PART);
    return Block::load(part);
}

// n bytes, PART <= n <= 2 * PART, PART below a block, as two parts each stored with its CRs with
// no test of its bytes: the first PART bytes, then the last PART from where the output of the bytes
// the two share began. Each part is the first bytes of a block of zeros, whose CRs' places past
// the part are scratch.
template <WriteBlock Block, std::uint32_t PART>
[[gnu::always_inline]] inline void expand_parts(char*& to, const char* text, std::uint32_t n) {
    static_assert(PART < Block::SIZE);
    const typename Block::Bytes first = load_part<Block, PART>(text),
                                last = load_part<Block, PART>(text + (n - PART));
    const typename Block::Mask first_lfs = Block::template mask<LF>(first),
                               last_lfs = Block::template mask<LF>(last);
    const std::uint32_t shared = 2 * PART - n;
    Block::store_with_crs(to, first, first_lfs);
    to += PART - shared + Block::count(first_lfs) -
          Block::count(Block::first_bytes(last_lfs, shared));
    Block::store_with_crs(to, last, last_lfs);
    to += PART + Block::count(last_lfs);
}

// All n bytes of text with a CR before each LF, reading only them. Where a step stores two blocks
// with their CRs: whole steps, then one more that ends where the text ends. That step begins over
// bytes already converted, and stores them again as they are, from where their own output began.
// A text shorter than a step takes a block, and one again ending at the text's end, or two
// parts of a block the same way. A step that stores its block again from each LF reads up to a
// block past itself: there the steps stop while that block lies in the text, and blocks, words
// and bytes one LF at a time take the last bytes. out needs room for 2 * n + OVERRUN. Returns the
// bytes of out that count.
template <WriteBlock Block>
[[gnu::always_inline]] inline std::uint32_t expand_lf_all_with(char* out, const char* text,
                                                               std::uint32_t n) {
    constexpr std::uint32_t SIZE = Block::SIZE, WHOLE = STEP<Block>;
    const std::uint64_t twice = 2 * std::uint64_t{n};
    const auto limit = static_cast<std::uint32_t>(twice < UINT32_MAX ? twice : UINT32_MAX - 1);
    if constexpr (Block::WRITE == WriteStep::STORE_AGAIN) {
        char* to = out;
        const char* from = text;
        if (n >= 2 * SIZE - 1) {
            const char* const last = text + (n - (2 * SIZE - 1));
            do {
                expand_step<Block>(to, from);
                from += SIZE;
            } while (from <= last);
        }
        auto length = static_cast<std::uint32_t>(to - out);
        auto taken = static_cast<std::uint32_t>(from - text);
        const auto then = [&](Expanded more) {
            length += more.length;
            taken += more.taken;
        };
        then(expand_lf_by_lf<Block>(out + length, limit - length, text + taken, n - taken));
        if constexpr (SIZE > WordBlock::SIZE)
            then(expand_lf_by_lf<WordBlock>(out + length, limit - length, text + taken, n - taken));
        return length + expand_lf_all_plain(out + length, text + taken, n - taken);
    } else {
        char* to = out;
        if (n >= WHOLE) {
            const char* const from = expand_steps<Block>(to, text, n, 3 * SIZE);
            const auto left = static_cast<std::uint32_t>(text + n - from);
            if (left > 0) {
                const char* const last = text + (n - WHOLE);
                to -= stored_for_first<Block>(last, WHOLE, WHOLE - left);
                expand_step<Block>(to, last);
            }
        } else if (n >= SIZE) {
            expand_block<Block>(to, text);
            if (n > SIZE) {
                const char* const last = text + (n - SIZE);
                to -= stored_for_first<Block>(last, SIZE, 2 * SIZE - n);
                expand_block<Block>(to, last);
            }
        } else if (n >= 16) {
            expand_parts<Block, 16>(to, text, n);
        } else if (n >= 8) {
            expand_parts<Block, 8>(to, text, n);
        } else if (n >= 4) {
            expand_parts<Block, 4>(to, text, n);
        } else if (n >= 2) {
            expand_parts<Block, 2>(to, text, n);
        } else if (n == 1) {
            expand_parts<Block, 1>(to, text, n);
        }
        return static_cast<std::uint32_t>(to - out);
    }
}

// The same, the last step reading the padding past the text and counting no LF there, so that no
// step begins again over bytes already converted. Reads up to PADDING bytes past the text; out
// needs room for 2 * n + OVERRUN. Returns the bytes of out that count.
template <WriteBlock Block>
[[gnu::always_inline]] inline std::uint32_t expand_lf_padded_with(char* out, const char* text,
                                                                  std::uint32_t n) {
    constexpr std::uint32_t WHOLE = STEP<Block>;
    // The last step begins at least a byte before the end and reads up to a step from there; a
    // step of few LFs, a whole step before the end, reads up to 3 * SIZE - 1 bytes from its start.
    static_assert(WHOLE - 1 <= PADDING && 3 * Block::SIZE - 1 - WHOLE <= PADDING);
    char* to = out;
    const char* const from = expand_steps<Block>(to, text, n, WHOLE);
    const auto keep = static_cast<std::uint32_t>(text + n - from);
    if (keep > 0) {
        expand_step<Block, Lfs::KEPT>(to, from, keep);
        to -= WHOLE - keep;  // the padding's bytes, one place each
    }
    return static_cast<std::uint32_t>(to - out);
}

}  // namespace MIRZET_SCAN_VARIANT
}  // namespace mirzet::scan
