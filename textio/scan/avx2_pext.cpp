// The read's loop built for AVX2 with BMI2's bit extract, run only where the processor has both;
// chosen by default only where the extract is fast. Built as textio/scan/avx2.cpp is, for the same
// reasons: every standard header first, then the loops inside a region compiled for the processor.
// The write's loop is the AVX2 build's: the extract would not make it cheaper.
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
#pragma clang attribute push(__attribute__((target("avx2,bmi,bmi2,popcnt"))), apply_to = function)
#else
#pragma GCC push_options
#pragma GCC target("avx2,bmi,bmi2,popcnt")
#endif
#define MIRZET_SCAN_VARIANT avx2_pext
#define MIRZET_SCAN_FOR_AVX2 1
#define MIRZET_SCAN_FOR_AVX2_PEXT 1
#include "textio/scan.h"

namespace mirzet::scan {

Squeezed squeeze_crlf_avx2_pext(char* text, std::uint32_t n) {
    return squeeze_crlf_with<Avx2PextBlock>(text, n);
}

}  // namespace mirzet::scan

#if defined(__clang__)
#pragma clang attribute pop
#else
#pragma GCC pop_options
#endif
