// The loops of the write and the read built for AVX2, BMI1 and POPCNT, run only where the processor
// has them. Every standard header the loops use is included here first, built as for any x86-64;
// the loops' headers include none of them when they are built for AVX2, so one left out here fails
// to compile rather than being built for AVX2 and chosen by the linker for every caller.
#include <emmintrin.h>
#include <immintrin.h>
#include <algorithm>
#include <bit>
#include <concepts>
#include <cstdint>
#include <cstring>

#if !MIRZET_SCAN_AVX2
#error "built only where the build says the AVX2 loops exist"
#endif

#if defined(__clang__)
#pragma clang attribute push(__attribute__((target("avx2,bmi,popcnt"))), apply_to = function)
#else
#pragma GCC push_options
#pragma GCC target("avx2,bmi,popcnt")
#endif
#define MIRZET_SCAN_VARIANT avx2
#define MIRZET_SCAN_FOR_AVX2 1
#include "textio/scan.h"

namespace mirzet::scan {
namespace {

// Named for the path, so that a profile shows which build ran.
Expanded expand_lf_avx2(char* out, std::uint32_t limit, const char* text, std::uint32_t n) {
    return expand_lf_with<Avx2Block>(out, limit, text, n);
}

std::uint32_t expand_lf_all_avx2(char* out, const char* text, std::uint32_t n) {
    return expand_lf_all_with<Avx2Block>(out, text, n);
}

std::uint32_t expand_lf_padded_avx2(char* out, const char* text, std::uint32_t n) {
    return expand_lf_padded_with<Avx2Block>(out, text, n);
}

Squeezed squeeze_crlf_avx2(char* text, std::uint32_t n) {
    return squeeze_crlf_with<Avx2Block>(text, n);
}

const char* find_last_lf_avx2(const char* from, std::size_t n) {
    return find_last_lf_with<Avx2Block>(from, n);
}

}  // namespace

extern const Kernels AVX2_KERNELS = {expand_lf_avx2, expand_lf_all_avx2, expand_lf_padded_avx2,
                                     squeeze_crlf_avx2, find_last_lf_avx2};

}  // namespace mirzet::scan

#if defined(__clang__)
#pragma clang attribute pop
#else
#pragma GCC pop_options
#endif
