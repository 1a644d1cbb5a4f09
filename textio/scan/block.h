// What every block kind gives the byte loops, and what they share: the ByteBlock concept, the
// algorithms a block may declare that its loops take, masks of one or more bits a byte, the lookup
// tables of a CR or a Ctrl-Z and of the shuffles that widen and narrow eight bytes, and a block's
// copy. Each kind of block has a file of its own beside this one (word.h, sse2.h, avx2.h,
// avx512.h, neon.h); the loops over any block are in copy.h, write.h and read.h, each beside the
// plain twin it is held to.
#pragma once

// Which builds of these loops exist is the build's decision, passed down as definitions:
// MIRZET_SCAN_AVX2 and MIRZET_SCAN_AVX512 say whether textio/scan/avx2.cpp and avx512.cpp are
// built, MIRZET_SCAN_PORTABLE forces the portable block that processors without a block of their
// own run.
#if !defined(MIRZET_SCAN_AVX2) || !defined(MIRZET_SCAN_AVX512) || !defined(MIRZET_SCAN_PORTABLE)
#error \
    "the build defines MIRZET_SCAN_AVX2, MIRZET_SCAN_AVX512 and MIRZET_SCAN_PORTABLE, each 0 or 1"
#endif
#if MIRZET_SCAN_AVX512 && !MIRZET_SCAN_AVX2
#error "a compiler that builds for AVX-512 builds for AVX2 too, and the paths rely on it"
#endif
#if (MIRZET_SCAN_AVX2 || MIRZET_SCAN_AVX512) && MIRZET_SCAN_PORTABLE
#error "the portable build has no build for a processor beside it"
#endif

// The AVX2 build includes these headers inside a region compiled for AVX2, where a standard
// header's templates would be built for AVX2 too and could stand in for every caller's: that
// build includes them before the region, and these headers include none of their own there.
#ifndef MIRZET_SCAN_FOR_AVX2
#include <algorithm>
#include <bit>
#include <concepts>
#include <cstdint>
#include <cstring>
#endif

#include "textio/scan/bytes.h"

// The loops are also compiled for AVX2 (textio/scan/avx2.cpp), into a namespace of their own, so
// that neither build's functions can stand in for the other's.
#ifndef MIRZET_SCAN_VARIANT
#define MIRZET_SCAN_VARIANT baseline
#endif

namespace mirzet::scan {

// The widest block of the write's loops in any build: what they may read past a text and store
// past their bytes is measured in it.
constexpr std::uint32_t WIDEST_BLOCK = 32;

// The widest block of the read's loops, which store only over bytes they have read, in place, so
// that their width asks no buffer for an overrun.
constexpr std::uint32_t WIDEST_READ_BLOCK = 64;

inline namespace MIRZET_SCAN_VARIANT {

// What the loops ask of a block: its SIZE in bytes; load and store, which move a block through
// registers; mask<C>, the mask of its bytes equal to C, 0 when there are none; and first and
// count, the index of the first byte in a mask that has one and the number of bytes in it. A mask
// holds one bit for each byte, the first byte's lowest, so the mask without its first byte is
// mask & (mask - 1) whatever the block. The read's loops take a block of any width up to theirs
// (read.h); the others store past their bytes, and take one of at most the widest.
template <class B>
concept ReadByteBlock = requires(const char* from, char* to, typename B::Bytes bytes,
                                 typename B::Mask mask) {
    requires B::SIZE <= WIDEST_READ_BLOCK;
    requires std::unsigned_integral<typename B::Mask>;
    { B::load(from) } -> std::same_as<typename B::Bytes>;
    B::store(to, bytes);
    { B::template mask<LF>(bytes) } -> std::same_as<typename B::Mask>;
    { B::first(mask) } -> std::unsigned_integral;
    { B::count(mask) } -> std::same_as<std::uint32_t>;
};
template <class B>
concept ByteBlock = ReadByteBlock<B> && B::SIZE <= WIDEST_BLOCK;

// Each block states which algorithm each of its loops takes, as constants of these types; the
// members an algorithm needs are checked where it is taken. textio/scan.h has the table of them.

// The write's step, a CR before each LF.
enum class WriteStep : std::uint8_t {
    STORE_AGAIN,      // a block a step, stored whole, then again from each LF one byte on
    WITH_CRS,         // two blocks a step, each stored with its CRs by store_with_crs
    WITH_CRS_OR_FEW,  // as WITH_CRS, but a step with few LFs is stored as STORE_AGAIN stores it
};

// The read's step once a pair has been dropped and every byte moves down.
enum class ReadStep : std::uint8_t {
    CR_BY_CR,              // each CR settled in turn, the bytes between moved by whole blocks
    WITHOUT_PAIRS,         // each block stored without its pairs' CRs by store_without
    WITHOUT_PAIRS_TO_END,  // as WITHOUT_PAIRS, and the last bytes as the first part of a block
};

// How the read finds the first CR or Ctrl-Z.
enum class ReadSearch : std::uint8_t {
    CTRL_Z_THEN_CR,  // the Ctrl-Z by one search, then CRs by another
    CR_OR_CTRL_Z,    // both at once, a window of blocks at a time, by cr_or_ctrl_z
};

// Whether the C library's searches (memchr, memrchr) are chosen for the processor as the program
// loads, as glibc's are on x86-64, where they search wider registers than the baseline's. Other C
// libraries, musl among them, search a word or a byte at a time.
#if defined(__GLIBC__) && defined(__x86_64__)
constexpr bool LIBRARY_SEARCHES_FOR_PROCESSOR = true;
#else
constexpr bool LIBRARY_SEARCHES_FOR_PROCESSOR = false;
#endif

// Whether the C library's memrchr, beside the NEON block, finds a long line's last LF with fewer
// mispredicted branches than the block's own search from the end: glibc's on AArch64 does.
#if defined(__GLIBC__) && defined(__aarch64__)
constexpr bool LIBRARY_FINDS_LAST_LF_FOR_PROCESSOR = true;
#else
constexpr bool LIBRARY_FINDS_LAST_LF_FOR_PROCESSOR = false;
#endif

// A block that searches for a byte a window at a time: window_holds<C>, whether the WINDOW bytes
// at `from`, a whole number of blocks, hold a C. A block whose windows must start on a boundary
// says so by WINDOW_ALIGNMENT, a power of two no larger than a block.
template <class B>
concept SearchesByWindows = ReadByteBlock<B> && requires(const char* from) {
    { B::template window_holds<LF>(from) } -> std::same_as<bool>;
    requires B::WINDOW % B::SIZE == 0;
};

// Whether a block leaves its searches for one byte to the C library: where it has no windows, as
// the portable word has none, or where the library's search is wider than its own.
template <class B>
constexpr bool searches_by_library() {
    if constexpr (!SearchesByWindows<B>)
        return true;
    else if constexpr (requires { B::LIBRARY_SEARCHES_WIDER; })
        return B::LIBRARY_SEARCHES_WIDER;
    else
        return false;
}

// first and count over a mask that spans BITS bits for each byte, of which a matching byte
// sets one, the first byte's lowest: an index is a bit's position over BITS.
template <class M, std::uint32_t BITS>
struct SpacedMask {
    using Mask = M;

    static std::uint32_t first(Mask mask) {
        return static_cast<std::uint32_t>(std::countr_zero(mask)) / BITS;
    }
    static std::uint32_t count(Mask mask) {
        return static_cast<std::uint32_t>(std::popcount(mask));
    }
    // The mask's bits of the first n bytes, for any n.
    static Mask first_bytes(Mask mask, std::uint32_t n) {
        return n * BITS >= sizeof(Mask) * 8 ? mask : mask & ((Mask{1} << n * BITS) - 1);
    }
    // The index of the last byte in a mask that has one.
    static std::uint32_t last(Mask mask) {
        return (static_cast<std::uint32_t>(std::bit_width(mask)) - 1) / BITS;
    }
};

// The mask of a 32-byte block, one bit per byte, as both SSE2 and AVX2 give it.
using BitPerByte = SpacedMask<std::uint32_t, 1>;

// The read side looks for a CR and a Ctrl-Z at once. Their low four bits differ, so a byte is one
// of them exactly when it equals this table's entry for its low four bits: those two entries are
// CR and Ctrl-Z, and every other entry differs from its index in its low bits, so no byte equals
// it. A vector block looks its bytes up in it with one shuffle.
constexpr auto CR_OR_CTRL_Z_BY_LOW_BITS = [] {
    struct {
        std::uint8_t entries[16];
    } table{};
    for (int i = 0; i < 16; ++i)
        table.entries[i] = static_cast<std::uint8_t>(i == (CR & 0xF)       ? CR
                                                     : i == (CTRL_Z & 0xF) ? CTRL_Z
                                                                           : i ^ 1);
    return table;
}();

// The shuffles that widen or narrow eight bytes at a time, each chosen by those bytes' mask, for
// AVX2's byte shuffle and NEON's table lookup alike. A shuffle looks bytes up in one register's 16:
// the eight bytes of text, then eight CRs.
struct alignas(16) Shuffle {
    std::uint8_t order[16];
};

// For the eight bytes' LFs: each byte in turn, an LF after a CR (index 8), and CRs after the last
// byte (scratch).
constexpr auto WITH_CRS = [] {
    struct {
        Shuffle by_lfs[256];
    } table{};
    for (std::uint32_t lfs = 0; lfs < 256; ++lfs) {
        std::uint32_t place = 0;
        for (std::uint8_t i = 0; i < 8; ++i) {
            if ((lfs >> i & 1) != 0) table.by_lfs[lfs].order[place++] = 8;
            table.by_lfs[lfs].order[place++] = i;
        }
        while (place < 16)
            table.by_lfs[lfs].order[place++] = 8;
    }
    return table;
}();

// For the eight bytes to drop: the others in turn, packed to the front, then zeros (an index with
// its high bit set, which both instructions turn into 0).
// Eight indices in a word, the first in its lowest byte; the second table's indices start at 8,
// to pick from a register's second eight bytes.
constexpr auto WITHOUT = [] {
    struct {
        std::uint64_t by_drops[2][256];
    } table{};
    for (std::uint64_t second = 0; second < 2; ++second) {
        for (std::uint32_t drops = 0; drops < 256; ++drops) {
            std::uint64_t order = 0;
            std::uint32_t place = 0;
            for (std::uint64_t i = 0; i < 8; ++i)
                if ((drops >> i & 1) == 0) order |= (8 * second + i) << 8 * place++;
            for (; place < 8; ++place)
                order |= std::uint64_t{0x80} << 8 * place;
            table.by_drops[second][drops] = order;
        }
    }
    return table;
}();

// Hides a value's history from the optimiser, which would otherwise work out a pointer stepped
// once a bit of a mask anew from the mask's count, a popcount and more for every block, where the
// pointer it already holds is what it needs.
template <class T>
[[gnu::always_inline]] inline void keep_as_is(T& value) {
    asm("" : "+r"(value));
}

template <ReadByteBlock Block>
void copy_block(char* to, const char* from) {
    Block::store(to, Block::load(from));
}

}  // namespace MIRZET_SCAN_VARIANT
}  // namespace mirzet::scan
