// The x86-64 block of the processors with AVX2: one register of 32 bytes, the one-pass search for
// a CR or a Ctrl-Z, and a block stored with a CR before each LF, or without the CRs of its pairs,
// in the same work whatever its line ends. Built where the whole program targets AVX2, or into the
// AVX2 build of the loops (textio/scan/avx2.cpp) that a baseline program chooses at run time.
#pragma once

#include "textio/scan/block.h"

#if !MIRZET_SCAN_PORTABLE && (defined(__AVX2__) || defined(MIRZET_SCAN_FOR_AVX2))
#ifndef MIRZET_SCAN_FOR_AVX2
#include <immintrin.h>
#endif

namespace mirzet::scan {
inline namespace MIRZET_SCAN_VARIANT {

// Thirty-two bytes in one AVX2 register: half the loads, compares and masks of two SSE2 ones.
// What the AVX2 block and the AVX-512 build's write block share.
struct Avx2Register : BitPerByte {
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
    // The masks of two blocks cut to their first n bytes together, n below 64, by one shift of a
    // word: cut one at a time, each against the block's size, n costs a branch for each, and the
    // last step of a padded text gives it where the text ends, as hard to guess as the loop's end.
    static void first_bytes_of_two(Mask& first, Mask& second, std::uint32_t n) {
        const std::uint64_t kept = (std::uint64_t{1} << n) - 1;
        first &= static_cast<Mask>(kept);
        second &= static_cast<Mask>(kept >> SIZE);
    }
};

struct Avx2Block : Avx2Register {
    static constexpr WriteStep WRITE = WriteStep::WITH_CRS_OR_FEW;
    static constexpr ReadStep READ = ReadStep::WITHOUT_PAIRS;
    static constexpr ReadSearch SEARCH = ReadSearch::CR_OR_CTRL_Z;

    // The CRs of the block's pairs: the next bytes are loaded one byte on, the last of them the
    // next block's first, so that no shift carries a bit across the mask.
    static Mask pairs(const char* from, Bytes bytes) {
        return static_cast<Mask>(_mm256_movemask_epi8(
            _mm256_and_si256(_mm256_cmpeq_epi8(bytes, _mm256_set1_epi8(CR)),
                             _mm256_cmpeq_epi8(load(from + 1), _mm256_set1_epi8(LF)))));
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
    // Four registers a window: the test and its branch are paid once for 128 bytes.
    static constexpr std::uint32_t WINDOW = 128;
    template <char C>
    static bool window_holds(const char* from) {
        const __m256i c = _mm256_set1_epi8(C);
        const __m256i either =
            _mm256_or_si256(_mm256_or_si256(_mm256_cmpeq_epi8(load(from), c),
                                            _mm256_cmpeq_epi8(load(from + 32), c)),
                            _mm256_or_si256(_mm256_cmpeq_epi8(load(from + 64), c),
                                            _mm256_cmpeq_epi8(load(from + 96), c)));
        return !_mm256_testz_si256(either, either);
    }
    static bool window_holds_cr_or_ctrl_z(const char* from) {
        const __m256i either = _mm256_or_si256(
            _mm256_or_si256(cr_or_ctrl_z_bytes(load(from)), cr_or_ctrl_z_bytes(load(from + 32))),
            _mm256_or_si256(cr_or_ctrl_z_bytes(load(from + 64)),
                            cr_or_ctrl_z_bytes(load(from + 96))));
        return !_mm256_testz_si256(either, either);
    }

    // The block with a CR before each LF, stored from `to`: each eight bytes, beside eight CRs,
    // shuffled by their LFs into sixteen, and stored where the eight before them end. No branch
    // depends on the text, so lines of any lengths cost the same. The last sixteen bytes are
    // stored from up to 24 + 24 bytes on, so the stores end at most 64 bytes on; returns the bytes
    // that count.
    static constexpr std::uint32_t WITH_CRS_OVERRUN = 64;
    static std::uint32_t store_with_crs(char* to, Bytes bytes, Mask lfs) {
        const __m256i crs = _mm256_set1_epi8(CR);
        const __m256i even = _mm256_unpacklo_epi64(bytes, crs);  // bytes 0-7 and 16-23, then CRs
        const __m256i odd = _mm256_unpackhi_epi64(bytes, crs);   // bytes 8-15 and 24-31
        const auto order = [](std::uint32_t eight_lfs) {
            return _mm_load_si128(
                reinterpret_cast<const __m128i*>(WITH_CRS.by_lfs[eight_lfs].order));
        };
        const __m256i even_out =
            _mm256_shuffle_epi8(even, _mm256_set_m128i(order(lfs >> 16 & 0xFF), order(lfs & 0xFF)));
        const __m256i odd_out =
            _mm256_shuffle_epi8(odd, _mm256_set_m128i(order(lfs >> 24), order(lfs >> 8 & 0xFF)));
        // Each eight bytes go where those before them end: the bytes before, and their LFs' CRs.
        // Counted in 64 bits, so that the counts need no widening to step a pointer.
        const std::uint64_t all = lfs;
        const auto crs_before = [all](std::uint64_t bytes_before) {
            return static_cast<std::size_t>(_mm_popcnt_u64(all & ((1ull << bytes_before) - 1)));
        };
        _mm_storeu_si128(reinterpret_cast<__m128i*>(to), _mm256_castsi256_si128(even_out));
        _mm_storeu_si128(reinterpret_cast<__m128i*>(to + 8 + crs_before(8)),
                         _mm256_castsi256_si128(odd_out));
        _mm_storeu_si128(reinterpret_cast<__m128i*>(to + 16 + crs_before(16)),
                         _mm256_extracti128_si256(even_out, 1));
        _mm_storeu_si128(reinterpret_cast<__m128i*>(to + 24 + crs_before(24)),
                         _mm256_extracti128_si256(odd_out, 1));
        return SIZE + count(lfs);
    }

    // A step of two blocks with at most this many LFs is stored with no table (write.h,
    // store_step_with_few_crs): the blocks stored whole and, for each LF the step may hold, a CR
    // and 32 bytes stored again cost less than the tables' lookups and the counts that place
    // them, for up to three LFs; a fourth costs more than it saves.
    static constexpr std::uint32_t FEW_LFS_A_STEP = 3;

    // The high eight bytes of a register, to any address.
    static void store_high(char* to, __m128i bytes) {
        const auto high = static_cast<std::uint64_t>(_mm_extract_epi64(bytes, 1));
        std::memcpy(to, &high, sizeof high);
    }

    // The block without the bytes of `drops`, stored from `to`: each eight bytes shuffled by
    // their drops to the front of their eight places, and stored where the eight before them end.
    // Stores at most SIZE bytes; returns the bytes kept.
    static std::uint32_t store_without(char* to, Bytes bytes, Mask drops) {
        // Each 16-byte half of the shuffle picks from its own half of the register: the orders of
        // its first eight bytes, then of its second, from the table whose indices start at 8.
        const auto half_order = [](std::uint32_t sixteen_drops) {
            const std::uint64_t first = WITHOUT.by_drops[0][sixteen_drops & 0xFF];
            const std::uint64_t second = WITHOUT.by_drops[1][sixteen_drops >> 8 & 0xFF];
            return _mm_insert_epi64(_mm_cvtsi64_si128(static_cast<long long>(first)),
                                    static_cast<long long>(second), 1);
        };
        const __m256i packed = _mm256_shuffle_epi8(
            bytes, _mm256_set_m128i(half_order(drops >> 16), half_order(drops & 0xFFFF)));
        const __m128i low = _mm256_castsi256_si128(packed);
        const __m128i high = _mm256_extracti128_si256(packed, 1);
        const std::uint64_t all = drops;
        const auto dropped_before = [all](std::uint64_t bytes_before) {
            return static_cast<std::size_t>(_mm_popcnt_u64(all & ((1ull << bytes_before) - 1)));
        };
        _mm_storel_epi64(reinterpret_cast<__m128i*>(to), low);
        store_high(to + 8 - dropped_before(8), low);
        _mm_storel_epi64(reinterpret_cast<__m128i*>(to + 16 - dropped_before(16)), high);
        store_high(to + 24 - dropped_before(24), high);
        return SIZE - count(drops);
    }
};

}  // namespace MIRZET_SCAN_VARIANT
}  // namespace mirzet::scan
#endif
