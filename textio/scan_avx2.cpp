// The loops of the copy, the write and the read built for AVX2, run only where the processor has
// it. Everything this file includes besides textio/scan.h comes first, built as for any x86-64; the
// loops of scan.h are then built for AVX2 into a namespace of their own.
#include <emmintrin.h>
#include <immintrin.h>
#include <bit>
#include <cstdint>
#include <cstring>

#include "textio/handles.h"

#if defined(__clang__)
#pragma clang attribute push(__attribute__((target("avx2"))), apply_to = function)
#else
#pragma GCC push_options
#pragma GCC target("avx2")
#endif
#define MIRZET_SCAN_VARIANT avx2
#define MIRZET_SCAN_FOR_AVX2 1
#include "textio/scan.h"

namespace mirzet::scan {

void copy_pieces_avx2(Pieces& run, std::int32_t room) {
    copy_pieces_with<Avx2Block>(run, room);
}

Expanded expand_lf_avx2(char* out, std::uint32_t limit, const char* text, std::uint32_t n) {
    return expand_lf_with<Avx2Block>(out, limit, text, n);
}

Squeezed squeeze_crlf_avx2(char* text, std::uint32_t n) {
    return squeeze_crlf_with<Avx2Block>(text, n);
}

}  // namespace mirzet::scan

#if defined(__clang__)
#pragma clang attribute pop
#else
#pragma GCC pop_options
#endif
