// The read side's loops: each CR-LF read as LF, in place, up to the first Ctrl-Z, and the searches
// and moves they are made of, written once over any block beside the plain loops they must match.
#pragma once

#include "textio/scan/block.h"
#include "textio/scan/copy.h"

namespace mirzet::scan {

// How far the read side's conversion came: the bytes kept, the bytes of the text they came from,
// and where the data stops: at the first Ctrl-Z, or at the end of the text.
struct Squeezed {
    std::uint32_t kept;
    std::uint32_t read;
    std::uint32_t data_end;
};

inline namespace MIRZET_SCAN_VARIANT {

// ---- the read side ----

// What ReadSearch::CR_OR_CTRL_Z asks of a block: cr_or_ctrl_z, the mask of its bytes that are
// either, and window_holds_cr_or_ctrl_z, whether the WINDOW bytes at `from`, a whole number of
// blocks, hold one; window_holds<C>, whether they hold a C. Blocks of CTRL_Z_THEN_CR look for the
// Ctrl-Z by one search and then for CRs by another, each by their windows or the library's.
template <class B>
concept FindsCrOrCtrlZ = ReadByteBlock<B> && requires(const char* from, typename B::Bytes bytes) {
    { B::cr_or_ctrl_z(bytes) } -> std::same_as<typename B::Mask>;
    { B::window_holds_cr_or_ctrl_z(from) } -> std::same_as<bool>;
    requires SearchesByWindows<B>;
};

// The index of the first CR or Ctrl-Z among n bytes, or n when there is none.
inline std::uint32_t find_cr_or_ctrl_z_plain(const char* from, std::uint32_t n) {
    for (std::uint32_t i = 0; i < n; ++i)
        if (from[i] == CR || from[i] == CTRL_Z) return i;
    return n;
}

// A window of blocks at a time while it holds neither byte, then a block at a time in the window
// that holds one, or in the last bytes, the last block overlapping bytes known to hold neither.
template <FindsCrOrCtrlZ Block>
[[gnu::always_inline]] inline std::uint32_t find_cr_or_ctrl_z_with(const char* from,
                                                                   std::uint32_t n) {
    constexpr std::uint32_t SIZE = Block::SIZE;
    if (n < SIZE) return find_cr_or_ctrl_z_plain(from, n);
    std::uint32_t at = 0;
    while (n - at >= Block::WINDOW && !Block::window_holds_cr_or_ctrl_z(from + at))
        at += Block::WINDOW;
    for (;;) {
        const std::uint32_t start = std::min(at, n - SIZE);
        const typename Block::Mask found = Block::cr_or_ctrl_z(Block::load(from + start));
        if (found != 0) return start + Block::first(found);
        if (start == n - SIZE) return n;
        at += SIZE;
    }
}

// What a conversion that moved nothing returns: every byte before the data's end kept in place,
// the last of them left to the caller, whose CR may pair with the next block.
inline Squeezed nothing_moved(std::uint32_t data_end) {
    const std::uint32_t before_last = data_end > 0 ? data_end - 1 : 0;
    return {before_last, before_last, data_end};
}

// The index of the first CR among n bytes, or n when there is none.
inline std::uint32_t find_cr_plain(const char* from, std::uint32_t n) {
    for (std::uint32_t i = 0; i < n; ++i)
        if (from[i] == CR) return i;
    return n;
}

// What ReadStep::WITHOUT_PAIRS asks of a block, which stores a block without some of its bytes in
// the same work whatever they are: store_without(to, bytes, drops) stores the bytes not in drops
// from `to`, reaching at most SIZE bytes, and returns how many there are, SIZE - count(drops);
// pairs(from, bytes) is the mask of the block's pairs' CRs, a CR whose next byte, the next block's
// first for the last, is an LF, found without a shift across the mask. The masks have one bit a
// byte.
template <class B>
concept StoresWithout = ReadByteBlock<B> &&
    requires(const char* from, char* to, typename B::Bytes bytes, typename B::Mask drops) {
    { B::store_without(to, bytes, drops) } -> std::same_as<std::uint32_t>;
    { B::pairs(from, bytes) } -> std::same_as<typename B::Mask>;
    requires B::SIZE == sizeof(typename B::Mask) * 8;
};

// What ReadStep::WITHOUT_PAIRS_TO_END asks besides: a load and a store of part of a block, the
// first n bytes, n below SIZE, reading and writing no byte past them: load_first(from, n) gives
// them with zeros after, and store_first_without(to, bytes, drops, n) stores those not in drops, as
// store_without does, and returns how many there are. The last bytes before the data's end then
// take one block, not a byte loop.
template <class B>
concept StoresPartWithout = StoresWithout<B> &&
    requires(const char* from, char* to, typename B::Bytes bytes, typename B::Mask drops,
             std::uint32_t n) {
    { B::load_first(from, n) } -> std::same_as<typename B::Bytes>;
    { B::store_first_without(to, bytes, drops, n) } -> std::same_as<std::uint32_t>;
};

template <ReadByteBlock Block>
constexpr bool read_steps_are_declared() {
    const bool search = Block::SEARCH == ReadSearch::CTRL_Z_THEN_CR || FindsCrOrCtrlZ<Block>;
    if constexpr (Block::READ == ReadStep::WITHOUT_PAIRS_TO_END)
        return search && StoresPartWithout<Block>;
    else if constexpr (Block::READ == ReadStep::WITHOUT_PAIRS)
        return search && StoresWithout<Block>;
    else
        return search;
}

// A block of the read: a ReadByteBlock whose READ and SEARCH name its algorithms, with the members
// they need.
template <class B>
concept ReadBlock = ReadByteBlock<B> && requires {
    { B::READ } -> std::convertible_to<ReadStep>;
    { B::SEARCH } -> std::convertible_to<ReadSearch>;
    requires read_steps_are_declared<B>();
};

// The index of the first C among n bytes, or n: a window of blocks at a time while it holds none,
// then a block at a time, the last ending where the bytes end, as the search for a CR or a Ctrl-Z
// goes.
template <char C, SearchesByWindows Block>
[[gnu::always_inline]] inline std::uint32_t find_byte_by_windows(const char* from,
                                                                 std::uint32_t n) {
    constexpr std::uint32_t SIZE = Block::SIZE;
    if (n < SIZE) {
        for (std::uint32_t i = 0; i < n; ++i)
            if (from[i] == C) return i;
        return n;
    }
    std::uint32_t at = 0;
    if constexpr (requires { Block::WINDOW_ALIGNMENT; }) {
        // The first block, then windows from the first boundary after its start, at most a
        // block on, so that the bytes before the windows are searched. A pointer steps the
        // windows, tested against the last one's start: fewer instructions a window than a count.
        static_assert(std::has_single_bit(Block::WINDOW_ALIGNMENT) &&
                      Block::WINDOW_ALIGNMENT <= SIZE);
        if (n >= SIZE + Block::WINDOW) {
            const typename Block::Mask found = Block::template mask<C>(Block::load(from));
            if (found != 0) return Block::first(found);
            const auto misalignment =
                static_cast<std::uint32_t>(reinterpret_cast<std::uintptr_t>(from)) &
                (Block::WINDOW_ALIGNMENT - 1);
            const char* window = from + (SIZE - misalignment);
            const char* const last_window = from + (n - Block::WINDOW);
            while (window <= last_window && !Block::template window_holds<C>(window))
                window += Block::WINDOW;
            at = static_cast<std::uint32_t>(window - from);
        }
    } else {
        while (n - at >= Block::WINDOW && !Block::template window_holds<C>(from + at))
            at += Block::WINDOW;
    }
    for (;;) {
        const std::uint32_t start = std::min(at, n - SIZE);
        const typename Block::Mask found = Block::template mask<C>(Block::load(from + start));
        if (found != 0) return start + Block::first(found);
        if (start == n - SIZE) return n;
        at += SIZE;
    }
}

// The same by the block's windows, or by the library's search where the block leaves it that.
template <char C, ReadBlock Block>
[[gnu::always_inline]] inline std::uint32_t find_byte_with(const char* from, std::uint32_t n) {
    if constexpr (searches_by_library<Block>()) {
        const void* found = n > 0 ? std::memchr(from, C, n) : nullptr;  // null has no bytes
        return found != nullptr ? static_cast<std::uint32_t>(static_cast<const char*>(found) - from)
                                : n;
    } else {
        return find_byte_by_windows<C, Block>(from, n);
    }
}

// Fast because a CR-LF ends most lines: the first blocks, where the next CR mostly lies, are
// searched inline, and only a longer run, which spreads the call's fixed cost, goes to a search
// of wider steps.
template <ReadBlock Block>
[[gnu::always_inline]] inline std::uint32_t find_cr_with(const char* from, std::uint32_t n) {
    constexpr std::uint32_t INLINE = 128;
    std::uint32_t at = 0;
    if (n >= INLINE) {
#pragma GCC unroll 16  // at every level of optimisation: a few blocks, each with its own exit
        for (; at < INLINE; at += Block::SIZE) {
            const typename Block::Mask crs = Block::template mask<CR>(Block::load(from + at));
            if (crs != 0) return at + Block::first(crs);
        }
    }
    return at + find_byte_with<CR, Block>(from + at, n - at);
}

// The index of the first CR among n bytes whose next byte, also among them, is an LF: the first
// pair. n when there is none.
inline std::uint32_t find_pair_plain(const char* from, std::uint32_t n) {
    for (std::uint32_t i = 0; i + 1 < n; ++i)
        if (from[i] == CR && from[i + 1] == LF) return i;
    return n;
}

// The pairs' CRs among the first n bytes, whose next bytes are the first n + 1: the zeros past
// them are neither a CR nor an LF.
template <StoresPartWithout Block>
typename Block::Mask pairs_among_first(const char* from, std::uint32_t n) {
    return Block::template mask<CR>(Block::load_first(from, n)) &
           Block::template mask<LF>(Block::load_first(from + 1, n));
}

// Fast because until the first pair nothing moves, so a lone CR costs only the test of its next
// byte, and the runs between CRs are searched as find_cr_with searches them.
template <ReadBlock Block>
[[gnu::always_inline]] inline std::uint32_t find_pair_cr_by_cr(const char* from, std::uint32_t n) {
    for (std::uint32_t at = 0; at + 1 < n; ++at) {
        at += find_cr_with<Block>(from + at, n - 1 - at);  // a CR with a byte after it
        if (at + 1 < n && from[at + 1] == LF) return at;
    }
    return n;
}

// Where the block finds its pairs' CRs in the same work whatever they are, it is wide and its
// masks cheap: each block is searched for a pair whole, and a lone CR costs no branch.
template <StoresWithout Block>
[[gnu::always_inline]] inline std::uint32_t find_pair_by_blocks(const char* from, std::uint32_t n) {
    std::uint32_t at = 0;
    for (; at + Block::SIZE < n; at += Block::SIZE) {
        const typename Block::Mask pairs = Block::pairs(from + at, Block::load(from + at));
        if (pairs != 0) return at + Block::first(pairs);
    }
    if constexpr (Block::READ == ReadStep::WITHOUT_PAIRS_TO_END) {
        if (n - at < 2) return n;  // no byte here has its next
        const typename Block::Mask pairs = pairs_among_first<Block>(from + at, n - 1 - at);
        return pairs != 0 ? at + Block::first(pairs) : n;
    } else {
        return at + find_pair_plain(from + at, n - at);
    }
}

// The index of the first pair's CR among n bytes, or n, by the block's own algorithm.
template <ReadBlock Block>
[[gnu::always_inline]] inline std::uint32_t find_pair_with(const char* from, std::uint32_t n) {
    if constexpr (Block::READ == ReadStep::CR_BY_CR)
        return find_pair_cr_by_cr<Block>(from, n);
    else
        return find_pair_by_blocks<Block>(from, n);
}

// Copies n bytes, fewer than the block holds, each read before a store can reach it: as the
// copies do below 32, and in a wider block from 32 on as two overlapping halves of 32.
template <ReadByteBlock Block>
[[gnu::always_inline]] inline void copy_below(char* to, const char* from, std::uint32_t n) {
    if constexpr (Block::SIZE > 32) {
        static_assert(Block::SIZE <= 64, "two halves of 32 cover what a block of 64 leaves");
        if (n >= 32) {
            copy_two<32>(to, from, n);
            return;
        }
    }
    copy_below_block(to, from, n);
}

// Moves n bytes down to `to`, at or before `from`, as memmove would; the plain twin is a byte loop
// going forward.
inline void move_down_plain(char* to, const char* from, std::uint32_t n) {
    for (std::uint32_t i = 0; i < n; ++i)
        to[i] = from[i];
}

// Fast because the run between two CRs is mostly a line, and a line costs a block or two and no
// call. Blocks go forward, each loaded before it is stored, so that a store never reaches bytes
// not yet loaded; the last block, which may overlap the stores before it, is loaded first of all.
template <ReadByteBlock Block>
[[gnu::always_inline]] inline void move_down_with(char* to, const char* from, std::uint32_t n) {
    if (n < Block::SIZE) {
        copy_below<Block>(to, from, n);  // reads each byte before a store can reach it
        return;
    }
    const typename Block::Bytes last = Block::load(from + n - Block::SIZE);
    copy_block<Block>(to, from);
    if (n > 2 * Block::SIZE) {
        for (std::uint32_t at = Block::SIZE; at + Block::SIZE < n; at += Block::SIZE)
            copy_block<Block>(to + at, from + at);
    }
    Block::store(to + n - Block::SIZE, last);
}

// Converts the text in place up to the data's end, the first Ctrl-Z among its n bytes or the
// text's end (Squeezed::data_end): each CR-LF becomes LF, a lone CR stays. It ends before the
// data's last byte, or after it when a pair ends there, and leaves that byte, whose CR may pair
// with the next block, to the caller.
inline Squeezed squeeze_crlf_plain(char* text, std::uint32_t n) {
    std::uint32_t data_end = 0;
    while (data_end < n && text[data_end] != CTRL_Z)
        ++data_end;
    std::uint32_t kept = 0, read = 0;
    while (read + 1 < data_end) {
        const bool pair = text[read] == CR && text[read + 1] == LF;
        text[kept++] = pair ? LF : text[read];
        read += pair ? 2 : 1;
    }
    return {kept, read, data_end};
}

// The bytes have moved down a block or more: every block from `from` up to `end` is stored whole,
// and each pair's CR dropped by storing the block again from its LF on, one byte further down.
// Out of line, so that its few pointers stay in registers.
template <ReadByteBlock Block>
[[gnu::noinline]] void squeeze_far_blocks(char*& to_ref, const char*& from_ref, const char* end) {
    constexpr std::uint32_t SIZE = Block::SIZE;
    char* to = to_ref;
    const char* from = from_ref;
    do {
        const typename Block::Bytes bytes = Block::load(from);
        Block::store(to, bytes);
        typename Block::Mask crs = Block::template mask<CR>(bytes);
        while (crs != 0) {
            const std::size_t at = Block::first(crs);  // as wide as a pointer: no widening
            crs &= crs - 1;
            if (from[at + 1] != LF) continue;  // a lone CR stays
            copy_block<Block>(to + at, from + at + 1);
            --to;
            keep_as_is(to);
        }
        to += SIZE;
        from += SIZE;
        keep_as_is(from);  // else GCC steps a second pointer for the loop's test
    } while (from < end);
    to_ref = to;
    from_ref = from;
}

// Once a pair has been dropped the bytes lie at least one below where they came from, so a block
// stored without its pairs' CRs, from where its bytes go, reaches no byte not yet loaded. A pair's
// CR is a CR whose next byte, the next block's first for the last, is an LF; each block and the
// byte after it lie before the data's last byte, so that byte is never a pair's LF. No branch
// depends on the lines. Counts, not pointers, say how far: no pointer past the data is formed.
template <StoresWithout Block>
void squeeze_blocks_without_pairs(char* text, std::uint32_t& kept, std::uint32_t& read,
                                  std::uint32_t data_end) {
    constexpr std::uint32_t SIZE = Block::SIZE;
    char* to = text + kept;
    const char* from = text + read;
    const std::uint32_t last = data_end - 1;  // the data's last byte: no block reaches it
    if (last > read + SIZE) {
        const char* const end = text + (last - SIZE);  // the blocks begin before it
        do {
            const typename Block::Bytes bytes = Block::load(from);
            to += Block::store_without(to, bytes, Block::pairs(from, bytes));
            from += SIZE;
        } while (from < end);
    }
    // The bytes left but the data's last two, as one part of a block: the first of those two may
    // be a pair's CR whose LF is the last, and the caller's byte loop reads them as a pair.
    if constexpr (Block::READ == ReadStep::WITHOUT_PAIRS_TO_END) {
        const auto at = static_cast<std::uint32_t>(from - text);
        if (last > at + 1) {
            const std::uint32_t part = last - 1 - at;
            to += Block::store_first_without(to, Block::load_first(from, part),
                                             pairs_among_first<Block>(from, part), part);
            from += part;
        }
    }
    kept = static_cast<std::uint32_t>(to - text);
    read = static_cast<std::uint32_t>(from - text);
}

// Once a pair has been dropped every byte moves down, and a line costs a block or two searched and
// moved in the same pass. Each block lies before the data's last byte, so a CR in it has its next
// byte. Every store stays below the bytes not yet read. While the bytes have moved down less than
// a block, a block with no CR is stored whole where its bytes go; in a block with one, the bytes
// before the CR go as the whole block when that cannot reach past the CR, else as a short copy,
// and the CR is settled as a pair or a lone CR. Once they have moved a block or more, no store can
// reach the bytes not yet read, so, as the write does for its CRs, each block is stored whole, and
// each pair's CR is dropped by storing the block again from its LF on, one byte further down: a
// pair then costs a test and a copy, and a lone CR its test alone.
template <ReadByteBlock Block>
void squeeze_blocks_cr_by_cr(char* text, std::uint32_t& kept, std::uint32_t& read,
                             std::uint32_t data_end) {
    constexpr std::uint32_t SIZE = Block::SIZE;
    char* to = text + kept;
    const char* from = text + read;
    // The blocks end before the data's last byte: each begins at the latest a block and a byte
    // before the end, and while the bytes have moved down less than a block, `to` lies less than
    // a block before it.
    if (data_end > SIZE) {
        const char* const last_block = text + (data_end - 1 - SIZE);
        while (from <= last_block && from < to + SIZE) {
            const typename Block::Bytes bytes = Block::load(from);
            const typename Block::Mask crs = Block::template mask<CR>(bytes);
            if (crs == 0) {
                Block::store(to, bytes);
                to += SIZE;
                from += SIZE;
                continue;
            }
            const std::uint32_t at = Block::first(crs);
            if (to + SIZE <= from + at + 1)
                Block::store(to, bytes);
            else
                copy_below<Block>(to, from, at);
            to += at;
            from += at;
            const bool pair = from[1] == LF;
            *to++ = pair ? LF : CR;
            from += pair ? 2 : 1;
        }
    }
    // A pair's block, stored again from its LF, is read up to a block past the block it is in, and
    // a pair whose CR ends a block has its LF read by the next: each block ends two blocks before
    // the data's end, so both reads stay before it and the last byte is never a pair's LF.
    const char* const end = text + data_end;
    if (end - from > static_cast<std::ptrdiff_t>(2 * SIZE))
        squeeze_far_blocks<Block>(to, from, end - 2 * SIZE);
    kept = static_cast<std::uint32_t>(to - text);
    read = static_cast<std::uint32_t>(from - text);
}

// Once a pair has been dropped and every byte moves, by the block's own algorithm.
template <ReadBlock Block>
[[gnu::always_inline]] inline void squeeze_moving(char* text, std::uint32_t& kept,
                                                  std::uint32_t& read, std::uint32_t data_end) {
    if constexpr (Block::READ == ReadStep::CR_BY_CR)
        squeeze_blocks_cr_by_cr<Block>(text, kept, read, data_end);
    else
        squeeze_blocks_without_pairs<Block>(text, kept, read, data_end);
}

// Fast because nothing moves until the first pair, which is looked for alone, and after it a line
// costs a search and a move of blocks, both inline. The data's end is found first. Kept out of
// line: inlined into the one-pass search's caller, its loop compiles to more instructions.
template <ReadBlock Block>
[[gnu::noinline]] Squeezed squeeze_crlf_in_two_passes(char* text, std::uint32_t n) {
    const std::uint32_t data_end = find_byte_with<CTRL_Z, Block>(text, n);
    const std::uint32_t pair = find_pair_with<Block>(text, data_end);
    if (pair == data_end) return nothing_moved(data_end);
    text[pair] = LF;
    std::uint32_t kept = pair + 1, read = pair + 2;
    squeeze_moving<Block>(text, kept, read, data_end);  // from here on every byte moves
    while (read + 1 < data_end) {
        const std::uint32_t run = find_cr_with<Block>(text + read, data_end - 1 - read);
        move_down_with<Block>(text + kept, text + read, run);  // a pair has gone: every byte moves
        kept += run;
        read += run;
        if (read + 1 == data_end) break;
        if (text[read + 1] != LF) {
            text[kept++] = CR;
            read += 1;
            continue;
        }
        text[kept++] = LF;
        read += 2;
        squeeze_moving<Block>(text, kept, read, data_end);  // from here on every byte moves
    }
    return {kept, read, data_end};
}

// Where the block looks for a CR and a Ctrl-Z at once, text with no CR before its end, most of
// all text with LF line ends, is read once: the search for the first of either finds the end,
// and nothing before it changes. Once a CR is met the rest goes as above, each CR being found
// near the one before.
template <ReadBlock Block>
Squeezed squeeze_crlf_with(char* text, std::uint32_t n) {
    if constexpr (Block::SEARCH == ReadSearch::CR_OR_CTRL_Z) {
        const std::uint32_t at = find_cr_or_ctrl_z_with<Block>(text, n);
        if (at == n || text[at] == CTRL_Z) return nothing_moved(at);
        const Squeezed rest = squeeze_crlf_in_two_passes<Block>(text + at, n - at);
        return {at + rest.kept, at + rest.read, at + rest.data_end};
    } else {
        return squeeze_crlf_in_two_passes<Block>(text, n);
    }
}

}  // namespace MIRZET_SCAN_VARIANT
}  // namespace mirzet::scan
