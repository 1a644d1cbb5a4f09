// The copies of the read side's line pieces: a short piece into a buffer, a piece up to its LF,
// and the pieces that go straight from one stream's buffer into another's. Each fast form is
// written once over any block, beside the plain loop it must match.
#pragma once

#include "textio/scan/block.h"
#include "textio/scan/word.h"

namespace mirzet::scan {

// Where a run of line pieces copied straight from one buffer into another stands.
struct Pieces {
    const char* from;    // the next byte of the source
    std::int32_t left;   // bytes left in it
    char* to;            // where the next piece goes
    std::int32_t space;  // room left there
};

inline namespace MIRZET_SCAN_VARIANT {

// ---- a piece into a buffer ----

// Copies n bytes, n below 32: two overlapping pieces of the largest size that fits, each moved
// through a register.
template <std::uint32_t W>
[[gnu::always_inline]] inline void copy_two(char* to, const char* from, std::uint32_t n) {
    char head[W], tail[W];
    std::memcpy(head, from, W);
    std::memcpy(tail, from + n - W, W);
    std::memcpy(to, head, W);
    std::memcpy(to + n - W, tail, W);
}

[[gnu::always_inline]] inline void copy_below_block(char* to, const char* from, std::uint32_t n) {
    if (n >= 16) {
        copy_two<16>(to, from, n);
    } else if (n >= 8) {
        copy_two<8>(to, from, n);
    } else if (n >= 4) {
        copy_two<4>(to, from, n);
    } else if (n > 0) {
        // One, two or three bytes: the first, the middle and the last cover them.
        to[0] = from[0];
        to[n / 2] = from[n / 2];
        to[n - 1] = from[n - 1];
    }
}

// Copies n bytes, n being a line piece's length or less, where a library call's fixed cost would
// be most of the work: one or two blocks, overlapping, and below a block two overlapping words,
// halves or single bytes. Longer pieces spread that cost and go to the library. Nothing is touched
// outside the n bytes.
template <ByteBlock Block>
[[gnu::always_inline]] inline void copy_short_with(char* to, const char* from, std::uint32_t n) {
    static_assert(Block::SIZE <= 32, "below a block the copy knows pieces up to 31 bytes");
    if (n > 2 * Block::SIZE) {
        std::memcpy(to, from, n);  // long enough to spread the call's fixed cost
        return;
    }
    if (n >= Block::SIZE) {
        copy_block<Block>(to, from);
        copy_block<Block>(to + n - Block::SIZE, from + n - Block::SIZE);
        return;
    }
    copy_below_block(to, from, n);
}

// ---- a line piece: copy up to and including the first LF ----

// Copies from `from` through the first LF among its n bytes, or all n when there is none, and
// returns the number copied. Nothing past them is touched.
inline std::uint32_t copy_through_lf_plain(char* to, const char* from, std::uint32_t n) {
    for (std::uint32_t i = 0; i < n; ++i)
        if ((to[i] = from[i]) == LF) return i + 1;
    return n;
}

// Fast because a short line costs a block or two and no call. Every block lies inside the n bytes;
// the last one may overlap the one before, whose bytes are known LF-free. A block that holds the
// LF is stored only up to it: as the whole block that ends there, or, for a line shorter than a
// block, as a short copy.
template <ByteBlock Block>
[[gnu::always_inline]] inline std::uint32_t copy_through_lf_with(char* to, const char* from,
                                                                 std::uint32_t n) {
    if (n < Block::SIZE) {
        if constexpr (Block::SIZE > WordBlock::SIZE)
            return copy_through_lf_with<WordBlock>(to, from, n);  // a buffer's last bytes
        else
            return copy_through_lf_plain(to, from, n);
    }
    const std::uint32_t last = n - Block::SIZE;
    std::uint32_t at = 0;
    for (;;) {
        const typename Block::Bytes bytes = Block::load(from + at);
        const typename Block::Mask lfs = Block::template mask<LF>(bytes);
        if (lfs != 0) {
            const std::uint32_t end = at + Block::first(lfs) + 1;
            if (end >= Block::SIZE)
                copy_block<Block>(to + end - Block::SIZE, from + end - Block::SIZE);
            else
                copy_short_with<Block>(to, from, end);
            return end;
        }
        Block::store(to + at, bytes);
        if (at == last) return n;
        at = std::min(at + Block::SIZE, last);
    }
}

// ---- line pieces, straight from one buffer into another ----

// The plain twin, and the rule: piece after piece, each through its first LF or room bytes, while
// the piece is whole (it ends at an LF or is room bytes long) and lies inside both the source and
// the space. A piece the source's end cuts short is left to the line read, which fills the buffer
// before it ends the piece.
inline void copy_pieces_plain(Pieces& run, std::int32_t room) {
    if (room <= 0) return;  // no piece holds a byte
    for (;;) {
        const std::int32_t span = std::min(run.left, room);
        std::int32_t n = 0;
        while (n < span && run.from[n] != LF)
            ++n;
        if (n < span)
            ++n;  // through the LF
        else if (n < room)
            return;  // cut short by the source's end, or no source at all
        if (n > run.space) return;
        for (std::int32_t i = 0; i < n; ++i)
            run.to[i] = run.from[i];
        run = {run.from + n, run.left - n, run.to + n, run.space - n};
    }
}

// The last LF among n bytes, or null.
inline const char* find_last_lf_plain(const char* from, std::size_t n) {
    while (n > 0)
        if (from[--n] == LF) return from + n;
    return nullptr;
}

// The same by blocks from the end, where the last LF of a span of lines mostly lies: the last two
// blocks at once where their masks fit one word, then four blocks at a time while they hold none,
// as where lines are long, then a word, then bytes. No library's search, whose fixed cost would be
// most of the work.
template <ByteBlock Block>
[[gnu::always_inline]] inline const char* find_last_lf_with(const char* from, std::size_t n) {
    constexpr std::size_t SIZE = Block::SIZE;
    const auto lfs_in = [from](std::size_t at) {
        return Block::template mask<LF>(Block::load(from + at));
    };
    if constexpr (std::same_as<typename Block::Mask, std::uint32_t> && SIZE == 32) {
        if (n >= 2 * SIZE) {
            const std::uint64_t both = std::uint64_t{lfs_in(n - SIZE)} << 32 | lfs_in(n - 2 * SIZE);
            if (both != 0) return from + n - 2 * SIZE + (std::bit_width(both) - 1);
            n -= 2 * SIZE;
        }
    }
    for (; n >= 4 * SIZE; n -= 4 * SIZE) {
        const typename Block::Mask fourth = lfs_in(n - SIZE), third = lfs_in(n - 2 * SIZE),
                                   second = lfs_in(n - 3 * SIZE), first = lfs_in(n - 4 * SIZE);
        if ((first | second | third | fourth) != 0) {
            if (fourth != 0) return from + n - SIZE + Block::last(fourth);
            if (third != 0) return from + n - 2 * SIZE + Block::last(third);
            if (second != 0) return from + n - 3 * SIZE + Block::last(second);
            return from + n - 4 * SIZE + Block::last(first);
        }
    }
    for (; n >= SIZE; n -= SIZE) {
        const typename Block::Mask lfs = lfs_in(n - SIZE);
        if (lfs != 0) return from + n - SIZE + Block::last(lfs);
    }
    if constexpr (SIZE > WordBlock::SIZE)
        return find_last_lf_with<WordBlock>(from, n);
    else
        return find_last_lf_plain(from, n);
}

// The library's search where it has one: for the portable word, too narrow to beat it, and beside
// a library whose search is wider than the block's.
inline const char* find_last_lf_by_library(const char* from, std::size_t n) {
#if MIRZET_HAVE_MEMRCHR
    return static_cast<const char*>(memrchr(from, LF, n));
#else
    return find_last_lf_with<WordBlock>(from, n);
#endif
}

// The last LF by the block's own search, or by the library's where the block leaves it that.
template <ByteBlock Block>
const char* find_last_lf_for(const char* from, std::size_t n) {
    if constexpr (searches_by_library<Block>() || LIBRARY_FINDS_LAST_LF_FOR_PROCESSOR)
        return find_last_lf_by_library(from, n);
    else
        return find_last_lf_with<Block>(from, n);
}

// Whether the C library copies a few KB by a string instruction, as x86's does, which some
// processors (AMD's of family 0x19) run far slower than a loop of blocks. Elsewhere its copy is a
// loop at least as wide as a block's.
#if defined(__x86_64__) || defined(__i386__)
constexpr bool LIBRARY_COPIES_BY_STRING_INSTRUCTION = true;
#else
constexpr bool LIBRARY_COPIES_BY_STRING_INSTRUCTION = false;
#endif

// Copies n bytes between buffers that do not overlap, a block at a time, the last block ending
// where the bytes end, where the library would take its string instruction. The portable word is
// too narrow to beat the library.
template <ByteBlock Block>
[[gnu::always_inline]] inline void copy_apart_with(char* to, const char* from, std::uint32_t n) {
    if constexpr (!LIBRARY_COPIES_BY_STRING_INSTRUCTION || Block::SIZE < WIDEST_BLOCK) {
        std::memcpy(to, from, n);
    } else {
        if (n < Block::SIZE) {
            copy_below_block(to, from, n);
            return;
        }
        for (std::uint32_t at = 0; at + Block::SIZE < n; at += Block::SIZE)
            copy_block<Block>(to + at, from + at);
        copy_block<Block>(to + n - Block::SIZE, from + n - Block::SIZE);
    }
}

// Inside the span of bytes that both the source and the space hold, the pieces lie back to back
// and where one ends changes no byte, so only the span's last piece end is looked for, from the
// end: every LF ends a piece, and after the last one in the span the pieces are room bytes long.
// whole_pieces (textio/scan.h) gives the bytes up to that end, lf being the span's last LF, or
// null; everything before it is one copy (or one conversion, where the space keeps its text
// converted), and no pass counts lines.
inline std::int32_t whole_pieces_through(const char* from, const char* lf, std::int32_t span,
                                         std::int32_t room) {
    const std::int32_t lines = lf != nullptr ? static_cast<std::int32_t>(lf - from) + 1 : 0;
    return lines + (span - lines) / room * room;
}

}  // namespace MIRZET_SCAN_VARIANT
}  // namespace mirzet::scan
