// The x86-64 block of the processors with AVX2: one register of 32 bytes, and the one-pass search
// for a CR or a Ctrl-Z. Built where the whole program targets AVX2, or into the AVX2 build of the
// loops (textio/scan/avx2.cpp) that a baseline program chooses at run time.
#pragma once

#include "textio/scan/block.h"

#if !MIRZET_SCAN_PORTABLE && (defined(__AVX2__) || defined(MIRZET_SCAN_FOR_AVX2))
#ifndef MIRZET_SCAN_FOR_AVX2
#include <immintrin.h>
#endif

namespace mirzet::scan {
inline namespace MIRZET_SCAN_VARIANT {

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

}  // namespace MIRZET_SCAN_VARIANT
}  // namespace mirzet::scan
#endif
