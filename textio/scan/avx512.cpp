// The loops of the write and the read built for AVX-512 (with BW, VL and VBMI2) and BMI2, run only
// where the processor has them. Built as textio/scan/avx2.cpp is, for the same reasons: every
// standard header first, then the loops inside a region compiled for the processor.
#include <emmintrin.h>
#include <immintrin.h>
#include <algorithm>
#include <bit>
#include <concepts>
#include <cstdint>
#include <cstring>

#if !MIRZET_SCAN_AVX512
#error "built only where the build says the AVX-512 loops exist"
#endif

#if defined(__clang__)
#pragma clang attribute push(                                                              \
    __attribute__((target("avx2,bmi,bmi2,popcnt,avx512f,avx512bw,avx512vl,avx512vbmi2"))), \
    apply_to = function)
#else
#pragma GCC push_options
#pragma GCC target("avx2,bmi,bmi2,popcnt,avx512f,avx512bw,avx512vl,avx512vbmi2")
#endif
#define MIRZET_SCAN_VARIANT avx512
#define MIRZET_SCAN_FOR_AVX2 1
#define MIRZET_SCAN_FOR_AVX512 1
#include "textio/scan.h"

namespace mirzet::scan {
namespace {

// Named for the path, so that a profile shows which build ran.
Expanded expand_lf_avx512(char* out, std::uint32_t limit, const char* text, std::uint32_t n) {
    return expand_lf_with<Avx512Block>(out, limit, text, n);
}

std::uint32_t expand_lf_all_avx512(char* out, const char* text, std::uint32_t n) {
    return expand_lf_all_with<Avx512Block>(out, text, n);
}

std::uint32_t expand_lf_padded_avx512(char* out, const char* text, std::uint32_t n) {
    return expand_lf_padded_with<Avx512Block>(out, text, n);
}

Squeezed squeeze_crlf_avx512(char* text, std::uint32_t n) {
    return squeeze_crlf_with<Avx512ReadBlock>(text, n);
}

const char* find_last_lf_avx512(const char* from, std::size_t n) {
    return find_last_lf_with<Avx512Block>(from, n);
}

}  // namespace

extern const Kernels AVX512_KERNELS = {expand_lf_avx512, expand_lf_all_avx512,
                                       expand_lf_padded_avx512, squeeze_crlf_avx512,
                                       find_last_lf_avx512};

}  // namespace mirzet::scan

#if defined(__clang__)
#pragma clang attribute pop
#else
#pragma GCC pop_options
#endif
