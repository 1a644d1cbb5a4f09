// The byte loops of the copy's hot paths, each in a fast form and the plain loop it must match.
//
// A source-like line is about 44 characters. Searching it with memchr and then copying it with
// memcpy pays two library calls' fixed cost per line, more than the bytes themselves cost; the
// fast forms search and copy in one pass over blocks of 32 bytes (two SSE2 or NEON registers, or
// one AVX2 register) or 8 (a 64-bit word, portable C++), inline, and leave only long runs to the
// library. Only the blocks know the width, each kind in a file of its own under textio/scan/; the
// loops are written once over them, in copy.h, write.h and read.h there. This header chooses the
// block for the processor once: where it has AVX2, the write's loop and the read's run a build of
// the loops for it, made in textio/scan/avx2.cpp. The plain forms are the reference:
// tests/scan_test.cpp holds every block, and the AVX2 build, to them.
#pragma once

#include "textio/scan/avx2.h"
#include "textio/scan/block.h"
#include "textio/scan/copy.h"
#include "textio/scan/neon.h"
#include "textio/scan/read.h"
#include "textio/scan/sse2.h"
#include "textio/scan/word.h"
#include "textio/scan/write.h"

// Whether these loops hand over to the AVX2 build when the processor has AVX2: in the baseline
// build of a program that has one, and not when the whole program is built for AVX2.
#if MIRZET_SCAN_AVX2 && !defined(MIRZET_SCAN_FOR_AVX2) && !defined(__AVX2__)
#define MIRZET_SCAN_DISPATCH 1
#else
#define MIRZET_SCAN_DISPATCH 0
#endif

namespace mirzet::scan {

#if MIRZET_SCAN_AVX2
// The loops of the write and the read built for AVX2, and BMI1's bit instructions, which every
// processor with AVX2 has beside it, and whether this processor may run them.
Expanded expand_lf_avx2(char* out, std::uint32_t limit, const char* text, std::uint32_t n);
Squeezed squeeze_crlf_avx2(char* text, std::uint32_t n);
inline const bool has_avx2 =
    (__builtin_cpu_init(), __builtin_cpu_supports("avx2") && __builtin_cpu_supports("bmi"));
#endif

inline namespace MIRZET_SCAN_VARIANT {

// The block of this processor's baseline build: AVX2 where the whole program targets it (or in
// the AVX2 build), SSE2 on any other x86-64, NEON on AArch64, and the portable word elsewhere.
#if !MIRZET_SCAN_PORTABLE && (defined(__AVX2__) || defined(MIRZET_SCAN_FOR_AVX2))
using NativeBlock = Avx2Block;
#elif !MIRZET_SCAN_PORTABLE && defined(__SSE2__)
using NativeBlock = Sse2Block;
#elif MIRZET_SCAN_NEON
using NativeBlock = NeonBlock;
#else
using NativeBlock = WordBlock;
#endif

// Inlined: it runs once a line piece, where a call adds its fixed cost to every line.
[[gnu::always_inline]] inline std::uint32_t copy_through_lf(char* to, const char* from,
                                                            std::uint32_t n) {
    return copy_through_lf_with<NativeBlock>(to, from, n);
}

inline Expanded expand_lf(char* out, std::uint32_t limit, const char* text, std::uint32_t n) {
#if MIRZET_SCAN_DISPATCH
    if (has_avx2) return expand_lf_avx2(out, limit, text, n);
#endif
    return expand_lf_with<NativeBlock>(out, limit, text, n);
}

inline Squeezed squeeze_crlf(char* text, std::uint32_t n) {
#if MIRZET_SCAN_DISPATCH
    if (has_avx2) return squeeze_crlf_avx2(text, n);
#endif
    return squeeze_crlf_with<NativeBlock>(text, n);
}

}  // namespace MIRZET_SCAN_VARIANT
}  // namespace mirzet::scan
