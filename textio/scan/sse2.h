// The x86-64 block every processor of the family runs: two SSE2 registers.
#pragma once

#include "textio/scan/block.h"

#if !MIRZET_SCAN_PORTABLE && defined(__SSE2__)
#ifndef MIRZET_SCAN_FOR_AVX2
#include <emmintrin.h>
#endif

namespace mirzet::scan {
inline namespace MIRZET_SCAN_VARIANT {

// Thirty-two bytes at a time in two SSE2 registers (every x86-64 has them): a compare and a mask
// per half, one bit per byte. Against one register, this halves the blocks a source-like line
// takes, and the instructions it costs.
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
    static constexpr WriteStep WRITE = WriteStep::STORE_AGAIN;
    static constexpr ReadStep READ = ReadStep::CR_BY_CR;
    static constexpr ReadSearch SEARCH = ReadSearch::CTRL_Z_THEN_CR;

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

}  // namespace MIRZET_SCAN_VARIANT
}  // namespace mirzet::scan
#endif
