// The byte loops of the copy's hot paths, each in a fast form and the plain loop it must match.
//
// A source-like line is about 44 characters. Searching it with memchr and then copying it with
// memcpy pays two library calls' fixed cost per line, more than the bytes themselves cost; the
// fast forms search and copy in one pass over blocks of 32 bytes (two SSE2 or NEON registers) or
// 8 (a 64-bit word, portable C++), inline, and leave only long runs to the library. Only the block
// types below know the width; the loops are written once over them. Where the processor has
// AVX2, the write's loop and the read's run a build of these loops for it, made in
// textio/scan_avx2.cpp, with one register per 32-byte block. The plain forms are the
// reference: tests/scan_test.cpp holds every block width, and the AVX2 build, to them.
#pragma once

// Which builds of these loops exist is the build's decision, passed down as definitions:
// MIRZET_SCAN_AVX2 says whether textio/scan_avx2.cpp is built, MIRZET_SCAN_PORTABLE forces the
// portable block that processors without a block of their own run.
#if !defined(MIRZET_SCAN_AVX2) || !defined(MIRZET_SCAN_PORTABLE)
#error "the build defines MIRZET_SCAN_AVX2 and MIRZET_SCAN_PORTABLE, each 0 or 1"
#endif
#if MIRZET_SCAN_AVX2 && MIRZET_SCAN_PORTABLE
#error "the portable build has no AVX2 build beside it"
#endif

// The AVX2 build includes this header inside a region compiled for AVX2, where a standard
// header's templates would be built for AVX2 too and could stand in for every caller's: that
// build includes them before the region, and this header includes none of its own there.
#ifndef MIRZET_SCAN_FOR_AVX2
#include <algorithm>
#include <bit>
#include <concepts>
#include <cstdint>
#include <cstring>

#include "textio/handles.h"
#endif

// Whether the block for NEON is built: on AArch64, where every processor has NEON, in the
// little-endian order the mask's fold was written and tested for; unless the build forces the
// portable block.
#if !MIRZET_SCAN_PORTABLE && defined(__aarch64__) && defined(__ARM_NEON) && !defined(__AARCH64EB__)
#define MIRZET_SCAN_NEON 1
#else
#define MIRZET_SCAN_NEON 0
#endif

#if !MIRZET_SCAN_PORTABLE && defined(__SSE2__)
#include <emmintrin.h>
#endif
#if MIRZET_SCAN_AVX2 || defined(__AVX2__)
#include <immintrin.h>
#endif
#if MIRZET_SCAN_NEON
#include <arm_neon.h>
#endif

// Whether these loops hand over to the AVX2 build when the processor has AVX2: in the baseline
// build of a program that has one, and not when the whole program is built for AVX2.
#if MIRZET_SCAN_AVX2 && !defined(MIRZET_SCAN_FOR_AVX2) && !defined(__AVX2__)
#define MIRZET_SCAN_DISPATCH 1
#else
#define MIRZET_SCAN_DISPATCH 0
#endif

// This header is also compiled for AVX2 (textio/scan_avx2.cpp), into a namespace of its own, so
// that neither build's functions can stand in for the other's.
#ifndef MIRZET_SCAN_VARIANT
#define MIRZET_SCAN_VARIANT baseline
#endif

namespace mirzet::scan {

struct Expanded {
    std::uint32_t length;  // bytes stored
    std::uint32_t taken;   // bytes of the text they came from
};

// Where a run of line pieces copied straight from one buffer into another stands.
struct Pieces {
    const char* from;    // the next byte of the source
    std::int32_t left;   // bytes left in it
    char* to;            // where the next piece goes
    std::int32_t space;  // room left there
};

// How far the read side's conversion came: the bytes kept, the bytes of the text they came from,
// and where the data stops: at the first Ctrl-Z, or at the end of the text.
struct Squeezed {
    std::uint32_t kept;
    std::uint32_t read;
    std::uint32_t stop;
};

// The widest block of any build: what the loops may store past their bytes is measured in it.
constexpr std::uint32_t WIDEST_BLOCK = 32;

// What the fast forms of expand_lf may store past the limit: out needs room for limit +
// EXPAND_SLACK bytes, against limit + 1 for the plain loop. Bytes past the length it reports are
// scratch.
constexpr std::uint32_t EXPAND_SLACK = 3 * WIDEST_BLOCK;

#if MIRZET_SCAN_AVX2
// The loops of the write and the read built for AVX2, and BMI1's bit instructions, which every
// processor with AVX2 has beside it, and whether this processor may run them.
Expanded expand_lf_avx2(char* out, std::uint32_t limit, const char* text, std::uint32_t n);
Squeezed squeeze_crlf_avx2(char* text, std::uint32_t n);
inline const bool has_avx2 =
    (__builtin_cpu_init(), __builtin_cpu_supports("avx2") && __builtin_cpu_supports("bmi"));
#endif

inline namespace MIRZET_SCAN_VARIANT {

// What the loops ask of a block: its SIZE in bytes, at most the widest; load and store, which
// move a block through registers; mask<C>, the mask of its bytes equal to C, 0 when there are
// none; and first and count, the index of the first byte in a mask that has one and the number
// of bytes in it. A mask holds one bit for each byte, the first byte's lowest, so the
// mask without its first byte is mask & (mask - 1) whatever the block.
template <class B>
concept ByteBlock = requires(const char* from, char* to, typename B::Bytes bytes,
                             typename B::Mask mask) {
    requires B::SIZE <= WIDEST_BLOCK;
    requires std::unsigned_integral<typename B::Mask>;
    { B::load(from) } -> std::same_as<typename B::Bytes>;
    B::store(to, bytes);
    { B::template mask<LF>(bytes) } -> std::same_as<typename B::Mask>;
    { B::first(mask) } -> std::unsigned_integral;
    { B::count(mask) } -> std::same_as<std::uint32_t>;
};

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

// Eight bytes at a time in a 64-bit integer: portable C++, no intrinsics, either byte order. The
// mask keeps the high bit of each matching byte.
struct WordBlock : SpacedMask<std::uint64_t, 8> {
    static_assert(std::endian::native == std::endian::little ||
                      std::endian::native == std::endian::big,
                  "a word's bytes are in one of the two orders");
    using Bytes = std::uint64_t;
    static constexpr std::uint32_t SIZE = 8;

    static Bytes load(const char* from) {
        Bytes bytes;
        std::memcpy(&bytes, from, SIZE);
        return bytes;
    }
    static void store(char* to, Bytes bytes) { std::memcpy(to, &bytes, SIZE); }
    template <char C>
    static Mask mask(Bytes bytes) {
        // A byte of x is zero exactly when its high bit stays clear after adding 0x7F to its low
        // seven bits and or-ing x back: no carry runs between bytes, so there are no false hits.
        constexpr std::uint64_t LOW7 = 0x7F7F7F7F7F7F7F7Full;
        const std::uint64_t x = bytes ^ (0x0101010101010101ull * static_cast<unsigned char>(C));
        return in_memory_order(~(((x & LOW7) + LOW7) | x | LOW7));
    }

  private:
    // A big-endian word holds its first byte at the high end: the mask is turned round so that
    // the first byte's bit is the lowest on every machine.
    static Mask in_memory_order(Mask mask) {
        if constexpr (std::endian::native == std::endian::big)
            return __builtin_bswap64(mask);
        else
            return mask;
    }
};
static_assert(ByteBlock<WordBlock>);

#if !MIRZET_SCAN_PORTABLE && defined(__SSE2__)
// Thirty-two bytes at a time in two SSE2 registers (every x86-64 has them): a compare and a mask
// per half, one bit per byte. Measured against one register, this halves the blocks a
// source-like line takes and costs fewer instructions per line.
struct Sse2Block : BitPerByte {
#if defined(__x86_64__) && !defined(__BMI__)
    // Without BMI1 the compiler clears a register for its count of trailing zeros and widens the
    // count before indexing with it, three instructions for each LF; BSF, defined for a mask that
    // has a bit, writes the index already widened.
    static std::size_t first(Mask mask) {
        std::uint64_t index;
        asm("bsfl %1, %k0" : "=r"(index) : "r"(mask));
        return index;
    }
#endif
    struct Bytes {
        __m128i low, high;
    };
    static constexpr std::uint32_t SIZE = 32;

    static Bytes load(const char* from) {
        return {_mm_loadu_si128(reinterpret_cast<const __m128i*>(from)),
                _mm_loadu_si128(reinterpret_cast<const __m128i*>(from + 16))};
    }
    static void store(char* to, Bytes bytes) {
        _mm_storeu_si128(reinterpret_cast<__m128i*>(to), bytes.low);
        _mm_storeu_si128(reinterpret_cast<__m128i*>(to + 16), bytes.high);
    }
    template <char C>
    static Mask mask(Bytes bytes) {
        const __m128i c = _mm_set1_epi8(C);
        const auto low = static_cast<Mask>(_mm_movemask_epi8(_mm_cmpeq_epi8(bytes.low, c)));
        const auto high = static_cast<Mask>(_mm_movemask_epi8(_mm_cmpeq_epi8(bytes.high, c)));
        return low | high << 16;
    }
};
static_assert(ByteBlock<Sse2Block>);
#if defined(__AVX2__) || defined(MIRZET_SCAN_FOR_AVX2)
// Thirty-two bytes in one AVX2 register: half the loads, compares and masks of two SSE2 ones.
struct Avx2Block : BitPerByte {
    using Bytes = __m256i;
    static constexpr std::uint32_t SIZE = 32;

    static Bytes load(const char* from) {
        return _mm256_loadu_si256(reinterpret_cast<const __m256i*>(from));
    }
    static void store(char* to, Bytes bytes) {
        _mm256_storeu_si256(reinterpret_cast<__m256i*>(to), bytes);
    }
    template <char C>
    static Mask mask(Bytes bytes) {
        return static_cast<Mask>(
            _mm256_movemask_epi8(_mm256_cmpeq_epi8(bytes, _mm256_set1_epi8(C))));
    }

    // A byte from 0x80 up shuffles to 0, which it does not equal.
    static Bytes cr_or_ctrl_z_bytes(Bytes bytes) {
        const __m256i table = _mm256_broadcastsi128_si256(
            _mm_loadu_si128(reinterpret_cast<const __m128i*>(CR_OR_CTRL_Z_BY_LOW_BITS.entries)));
        return _mm256_cmpeq_epi8(_mm256_shuffle_epi8(table, bytes), bytes);
    }
    static Mask cr_or_ctrl_z(Bytes bytes) {
        return static_cast<Mask>(_mm256_movemask_epi8(cr_or_ctrl_z_bytes(bytes)));
    }
    // Four registers a turn: the test and its branch are paid once for 128 bytes.
    static constexpr std::uint32_t WINDOW = 128;
    static bool window_holds_cr_or_ctrl_z(const char* from) {
        const __m256i either = _mm256_or_si256(
            _mm256_or_si256(cr_or_ctrl_z_bytes(load(from)), cr_or_ctrl_z_bytes(load(from + 32))),
            _mm256_or_si256(cr_or_ctrl_z_bytes(load(from + 64)),
                            cr_or_ctrl_z_bytes(load(from + 96))));
        return !_mm256_testz_si256(either, either);
    }
};
static_assert(ByteBlock<Avx2Block>);
using NativeBlock = Avx2Block;
#else
using NativeBlock = Sse2Block;
#endif
#elif MIRZET_SCAN_NEON
// Thirty-two bytes at a time in two NEON registers. NEON has no instruction that gathers a bit
// per byte, and narrowing a compare to four bits per byte (SHRN) would need 128 bits for 32
// bytes: each matching byte keeps one bit of its own instead, two apart, and two pairwise adds
// fold the 32 bytes into 64 bits, byte i at bit 2i. Measured under qemu, this costs fewer
// instructions per MB than 16 bytes with four bits each.
struct NeonBlock : SpacedMask<std::uint64_t, 2> {
    struct Bytes {
        uint8x16_t low, high;
    };
    static constexpr std::uint32_t SIZE = 32;

    static Bytes load(const char* from) {
        const auto* bytes = reinterpret_cast<const std::uint8_t*>(from);
        return {vld1q_u8(bytes), vld1q_u8(bytes + 16)};
    }
    static void store(char* to, Bytes bytes) {
        auto* out = reinterpret_cast<std::uint8_t*>(to);
        vst1q_u8(out, bytes.low);
        vst1q_u8(out + 16, bytes.high);
    }
    template <char C>
    static Mask mask(Bytes bytes) {
        const uint8x16_t c = vdupq_n_u8(static_cast<std::uint8_t>(C));
        return fold({vceqq_u8(bytes.low, c), vceqq_u8(bytes.high, c)});
    }

    // The lookup takes the whole byte as the index, so the low four bits are picked first.
    static uint8x16_t cr_or_ctrl_z_bytes(uint8x16_t bytes) {
        const uint8x16_t table = vld1q_u8(CR_OR_CTRL_Z_BY_LOW_BITS.entries);
        return vceqq_u8(vqtbl1q_u8(table, vandq_u8(bytes, vdupq_n_u8(0xF))), bytes);
    }
    static Mask cr_or_ctrl_z(Bytes bytes) {
        return fold({cr_or_ctrl_z_bytes(bytes.low), cr_or_ctrl_z_bytes(bytes.high)});
    }
    // Eight registers a turn: the test and its branch are paid once for 128 bytes.
    static constexpr std::uint32_t WINDOW = 128;
    static bool window_holds_cr_or_ctrl_z(const char* from) {
        const auto* at = reinterpret_cast<const std::uint8_t*>(from);
        const uint8x16x4_t a = vld1q_u8_x4(at), b = vld1q_u8_x4(at + 64);
        const uint8x16_t either = vorrq_u8(
            vorrq_u8(vorrq_u8(cr_or_ctrl_z_bytes(a.val[0]), cr_or_ctrl_z_bytes(a.val[1])),
                     vorrq_u8(cr_or_ctrl_z_bytes(a.val[2]), cr_or_ctrl_z_bytes(a.val[3]))),
            vorrq_u8(vorrq_u8(cr_or_ctrl_z_bytes(b.val[0]), cr_or_ctrl_z_bytes(b.val[1])),
                     vorrq_u8(cr_or_ctrl_z_bytes(b.val[2]), cr_or_ctrl_z_bytes(b.val[3]))));
        return vmaxvq_u32(vreinterpretq_u32_u8(either)) != 0;
    }

  private:
    // The mask of a block's matches, given as 0xFF in each matching byte. Byte i keeps bit
    // 2 * (i % 4): the adds then never carry, each sum having distinct bits.
    static Mask fold(Bytes matches) {
        const uint8x16_t bits = vreinterpretq_u8_u32(vdupq_n_u32(0x40100401));
        const uint8x16_t pairs = vpaddq_u8(vandq_u8(matches.low, bits),
                                           vandq_u8(matches.high, bits));  // byte i: 2i and 2i + 1
        const uint8x16_t quads = vpaddq_u8(pairs, pairs);  // byte i < 8: bytes 4i to 4i + 3
        return vgetq_lane_u64(vreinterpretq_u64_u8(quads), 0);
    }
};
static_assert(ByteBlock<NeonBlock>);
using NativeBlock = NeonBlock;
#else
using NativeBlock = WordBlock;
#endif

// Hides a value's history from the optimiser, which would otherwise work out a pointer stepped
// once a bit of a mask anew from the mask's count, a popcount and more for every block, where the
// pointer it already holds is what it needs.
template <class T>
[[gnu::always_inline]] inline void keep_as_is(T& value) {
    asm("" : "+r"(value));
}

template <ByteBlock Block>
void copy_block(char* to, const char* from) {
    Block::store(to, Block::load(from));
}

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

inline void copy_short(char* to, const char* from, std::uint32_t n) {
    copy_short_with<NativeBlock>(to, from, n);
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

// Inlined: it runs once a line piece, where a call adds its fixed cost to every line.
[[gnu::always_inline]] inline std::uint32_t copy_through_lf(char* to, const char* from,
                                                            std::uint32_t n) {
    return copy_through_lf_with<NativeBlock>(to, from, n);
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

// Inside the stretch that both the source and the space hold, the pieces lie back to back and
// where one ends changes no byte, so only the stretch's last piece end is looked for, from the
// end: every LF ends a piece, and after the last one in the stretch the pieces are room bytes
// long. Everything before that end is one copy, and no pass counts lines.
inline void copy_pieces(Pieces& run, std::int32_t room) {
    const std::int32_t stretch = std::min(run.left, run.space);
    if (room <= 0 || stretch <= 0) return;
    const auto* lf =
        static_cast<const char*>(memrchr(run.from, LF, static_cast<std::size_t>(stretch)));
    const std::int32_t lines = lf != nullptr ? static_cast<std::int32_t>(lf - run.from) + 1 : 0;
    const std::int32_t whole = lines + (stretch - lines) / room * room;
    std::memcpy(run.to, run.from, static_cast<std::size_t>(whole));
    run = {run.from + whole, run.left - whole, run.to + whole, run.space - whole};
}

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

// Fast because an LF-free block costs one copy and one test, and an LF a CR and one more copy:
// the block is stored whole, then each LF in it gets its CR and the block is stored again from
// that LF on, one byte further along. Those stores reach up to 3 * SIZE - 1 bytes past the start
// of a block, which begins before the limit, and the loads 2 * SIZE - 1 past the text's, which
// this loop keeps inside it, watching the text's end and the limit only where each may come first.
// The loop keeps one pointer into out and nothing of a block once it is done: the block that
// reaches the limit is looked at again, once a chunk, and cut back to it. Which ends the block loop
// watches: the limit, the text's or both.
enum class Watch { LIMIT, TEXT, BOTH };

template <ByteBlock Block, Watch WATCH>
Expanded expand_lf_blocks_until(char* out, std::uint32_t limit, const char* text, std::uint32_t n) {
    constexpr std::uint32_t SIZE = Block::SIZE;
    static_assert(3 * SIZE <= EXPAND_SLACK);
    char* to = out;
    const char* from = text;
    char* const to_end = out + limit;
    const char* const from_last = text + (n - 2 * SIZE);
    do {
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
        from += SIZE;
    } while ((WATCH == Watch::TEXT || to < to_end) && (WATCH == Watch::LIMIT || from <= from_last));
    if (to < to_end)
        return {static_cast<std::uint32_t>(to - out), static_cast<std::uint32_t>(from - text)};
    from -= SIZE;
    const typename Block::Mask block_lfs = Block::template mask<LF>(Block::load(from));
    to -= SIZE + Block::count(block_lfs);
    const Expanded cut = stop_in_block<Block>(block_lfs, static_cast<std::uint32_t>(to_end - to));
    return {static_cast<std::uint32_t>(to - out) + cut.length,
            static_cast<std::uint32_t>(from - text) + cut.taken};
}

// Out grows at least as fast as the text is taken, and at most twice as fast: with limit + 2 *
// SIZE bytes of text or more the limit comes first, and the loop need not watch the text's end;
// with so little text that its blocks cannot reach the limit, it need not watch the limit.
template <ByteBlock Block>
Expanded expand_lf_blocks(char* out, std::uint32_t limit, const char* text, std::uint32_t n) {
    constexpr std::uint32_t SIZE = Block::SIZE;
    if (n < 2 * SIZE) return {0, 0};
    if (n - 2 * SIZE >= limit)
        return expand_lf_blocks_until<Block, Watch::LIMIT>(out, limit, text, n);
    if (2 * (n - SIZE) < limit)
        return expand_lf_blocks_until<Block, Watch::TEXT>(out, limit, text, n);
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

inline Expanded expand_lf(char* out, std::uint32_t limit, const char* text, std::uint32_t n) {
#if MIRZET_SCAN_DISPATCH
    if (has_avx2) return expand_lf_avx2(out, limit, text, n);
#endif
    return expand_lf_with<NativeBlock>(out, limit, text, n);
}

// ---- the read side ----

// Whether a block looks for a CR and a Ctrl-Z in one pass: cr_or_ctrl_z, the mask of its bytes
// that are either, and window_holds_cr_or_ctrl_z, whether the WINDOW bytes at `from`, a whole
// number of blocks, hold one. Other blocks leave the Ctrl-Z to the library's search and then look
// for CRs: their own search for both would cost more than the library's two.
template <class B>
concept FindsCrOrCtrlZ = ByteBlock<B> && requires(const char* from, typename B::Bytes bytes) {
    { B::cr_or_ctrl_z(bytes) } -> std::same_as<typename B::Mask>;
    { B::window_holds_cr_or_ctrl_z(from) } -> std::same_as<bool>;
    requires B::WINDOW % B::SIZE == 0;
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
std::uint32_t find_cr_or_ctrl_z_with(const char* from, std::uint32_t n) {
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

// The index of the first CR among n bytes, or n when there is none.
inline std::uint32_t find_cr_plain(const char* from, std::uint32_t n) {
    for (std::uint32_t i = 0; i < n; ++i)
        if (from[i] == CR) return i;
    return n;
}

// Fast because a CR-LF ends most lines: the first blocks, where the next CR mostly lies, are
// searched inline, and only a longer run, which spreads the call's fixed cost, goes to the
// library's search.
template <ByteBlock Block>
std::uint32_t find_cr_with(const char* from, std::uint32_t n) {
    constexpr std::uint32_t INLINE = 128;
    std::uint32_t at = 0;
    if (n >= INLINE) {
        for (; at < INLINE; at += Block::SIZE) {
            const typename Block::Mask crs = Block::template mask<CR>(Block::load(from + at));
            if (crs != 0) return at + Block::first(crs);
        }
    }
    const void* cr = std::memchr(from + at, CR, n - at);
    return cr != nullptr ? static_cast<std::uint32_t>(static_cast<const char*>(cr) - from) : n;
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
template <ByteBlock Block>
void move_down_with(char* to, const char* from, std::uint32_t n) {
    if (n < Block::SIZE) {
        copy_below_block(to, from, n);  // reads each byte before a store can reach it
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

// Converts the text in place up to the first Ctrl-Z among its n bytes, or the end, the stop: each
// CR-LF becomes LF, a lone CR stays. It stops before the last byte before the stop, or after it
// when a pair ends there, and leaves that byte, whose CR may pair with the next block, to the
// caller.
inline Squeezed squeeze_crlf_plain(char* text, std::uint32_t n) {
    std::uint32_t stop = 0;
    while (stop < n && text[stop] != CTRL_Z)
        ++stop;
    std::uint32_t kept = 0, read = 0;
    while (read + 1 < stop) {
        const bool pair = text[read] == CR && text[read + 1] == LF;
        text[kept++] = pair ? LF : text[read];
        read += pair ? 2 : 1;
    }
    return {kept, read, stop};
}

// The bytes have moved down a block or more: every block from `from` up to `end` is stored whole,
// and each pair's CR dropped by storing the block again from its LF on, one byte further down.
// Out of line, so that its few pointers stay in registers.
template <ByteBlock Block>
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
        keep_as_is(from);
    } while (from < end);
    to_ref = to;
    from_ref = from;
}

// Once a pair has been dropped every byte moves down, and a line costs a block or two searched and
// moved in the same pass. Each block lies before the stop's last byte, so a CR in it has its next
// byte. Every store stays below the bytes not yet read. While the bytes have moved down less than
// a block, a block with no CR is stored whole where its bytes go; in a block with one, the bytes
// before the CR go as the whole block when that cannot reach past the CR, else as a short copy,
// and the CR is settled as a pair or a lone CR. Once they have moved a block or more, no store can
// reach the bytes not yet read, so, as the write does for its CRs, each block is stored whole, and
// each pair's CR is dropped by storing the block again from its LF on, one byte further down: a
// pair then costs a test and a copy, and a lone CR its test alone.
template <ByteBlock Block>
void squeeze_moving_blocks(char* text, std::uint32_t& kept, std::uint32_t& read,
                           std::uint32_t stop) {
    constexpr std::uint32_t SIZE = Block::SIZE;
    char* to = text + kept;
    const char* from = text + read;
    const char* const last = text + stop - 1;  // the stop's last byte: no block reaches it
    while (from + SIZE <= last && from < to + SIZE) {
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
            copy_below_block(to, from, at);
        to += at;
        from += at;
        const bool pair = from[1] == LF;
        *to++ = pair ? LF : CR;
        from += pair ? 2 : 1;
    }
    // A pair whose CR ends a block has its LF read by the next: the last byte must not be it.
    if (last - from > static_cast<std::ptrdiff_t>(SIZE))
        squeeze_far_blocks<Block>(to, from, last - SIZE);
    kept = static_cast<std::uint32_t>(to - text);
    read = static_cast<std::uint32_t>(from - text);
}

// Fast because a line costs a search and a move of blocks, both inline, and nothing moves until
// the first pair has been dropped. The stop is found first, by the library's search. Kept out of
// line: inlined after the one-pass search, its loop was compiled into more instructions.
template <ByteBlock Block>
[[gnu::noinline]] Squeezed squeeze_crlf_in_two_passes(char* text, std::uint32_t n) {
    const void* z = n > 0 ? std::memchr(text, CTRL_Z, n) : nullptr;  // no text may have no address
    const std::uint32_t stop =
        z != nullptr ? static_cast<std::uint32_t>(static_cast<const char*>(z) - text) : n;
    std::uint32_t kept = 0, read = 0;
    while (read + 1 < stop) {
        const std::uint32_t run = find_cr_with<Block>(text + read, stop - 1 - read);
        if (kept != read) move_down_with<Block>(text + kept, text + read, run);
        kept += run;
        read += run;
        if (read + 1 == stop) break;
        if (text[read + 1] != LF) {
            text[kept++] = CR;
            read += 1;
            continue;
        }
        text[kept++] = LF;
        read += 2;
        squeeze_moving_blocks<Block>(text, kept, read, stop);  // from here on every byte moves
    }
    return {kept, read, stop};
}

// Where the block looks for a CR and a Ctrl-Z at once, text with no CR before its stop, most of
// all text with LF line ends, is read once: the search for the first of either finds the stop,
// and nothing before it changes. Once a CR is met the rest goes as above, each CR being found
// near the one before.
template <ByteBlock Block>
Squeezed squeeze_crlf_with(char* text, std::uint32_t n) {
    if constexpr (FindsCrOrCtrlZ<Block>) {
        const std::uint32_t at = find_cr_or_ctrl_z_with<Block>(text, n);
        if (at == n || text[at] == CTRL_Z) {
            const std::uint32_t before_last = at > 0 ? at - 1 : 0;  // the last is the caller's
            return {before_last, before_last, at};
        }
        const Squeezed rest = squeeze_crlf_in_two_passes<Block>(text + at, n - at);
        return {at + rest.kept, at + rest.read, at + rest.stop};
    } else {
        return squeeze_crlf_in_two_passes<Block>(text, n);
    }
}

inline Squeezed squeeze_crlf(char* text, std::uint32_t n) {
#if MIRZET_SCAN_DISPATCH
    if (has_avx2) return squeeze_crlf_avx2(text, n);
#endif
    return squeeze_crlf_with<NativeBlock>(text, n);
}

}  // namespace MIRZET_SCAN_VARIANT
}  // namespace mirzet::scan
