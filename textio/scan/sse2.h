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

    // Four blocks a window, their compares or-ed into one register before its one mask: the test
    // and its branch are paid once for 128 bytes. The window starts on a register's boundary, so
    // that each compare takes its bytes straight from memory, with no load of its own. SSE2 has no
    // byte shuffle to find a CR and a Ctrl-Z in one compare, so the read looks for each in a
    // search of its own.
    static constexpr std::uint32_t WINDOW = 128;
    static constexpr std::uint32_t WINDOW_ALIGNMENT = 16;
    template <char C>
    static bool window_holds(const char* from) {
        const __m128i c = _mm_set1_epi8(C);
        const auto equal = [from, c](std::uint32_t at) {
            return _mm_cmpeq_epi8(_mm_load_si128(reinterpret_cast<const __m128i*>(from + at)), c);
        };
        const __m128i either = _mm_or_si128(
            _mm_or_si128(_mm_or_si128(equal(0), equal(16)), _mm_or_si128(equal(32), equal(48))),
            _mm_or_si128(_mm_or_si128(equal(64), equal(80)), _mm_or_si128(equal(96), equal(112))));
        return _mm_movemask_epi8(either) != 0;
    }
    // glibc's searches are chosen for the processor as the program loads, and search registers
    // twice as wide or more: beside them the block's own windows cost more than the call.
    static constexpr bool LIBRARY_SEARCHES_WIDER = LIBRARY_SEARCHES_FOR_PROCESSOR;
};
static_assert(ByteBlock<Sse2Block>);

}  // namespace MIRZET_SCAN_VARIANT
}  // namespace mirzet::scan
#endif
