// The reach of the blocks that exist only in the builds of the loops for AVX2 or AVX-512, whose
// functions are compiled only inside a region for that processor: measured by this source, built
// as textio/scan/avx2.cpp and avx512.cpp are, once for each (MIRZET_REACH_AVX512 0 or 1), and
// called from the baseline tests only where the processor runs that build.
#include <emmintrin.h>
#include <immintrin.h>
#include <algorithm>
#include <bit>
#include <concepts>
#include <cstdint>
#include <cstring>
#include <random>

// The region's processor, and the loops' namespace for it, as that build has them.
#if MIRZET_REACH_AVX512
#define MIRZET_REACH_TARGETS "avx2,bmi,bmi2,popcnt,avx512f,avx512bw,avx512vl,avx512vbmi2"
#define MIRZET_SCAN_VARIANT avx512
#define MIRZET_SCAN_FOR_AVX512 1
#else
#define MIRZET_REACH_TARGETS "avx2,bmi,popcnt"
#define MIRZET_SCAN_VARIANT avx2
#endif
#define MIRZET_SCAN_FOR_AVX2 1

// Pragmas that name the processor by the macro: its value is put in before the text is quoted.
#define MIRZET_REACH_PRAGMA(text) _Pragma(#text)
#if defined(__clang__)
#define MIRZET_REACH_PUSH(targets) \
    MIRZET_REACH_PRAGMA(clang attribute push(__attribute__((target(targets))), apply_to = function))
#define MIRZET_REACH_POP MIRZET_REACH_PRAGMA(clang attribute pop)
#else
#define MIRZET_REACH_PUSH(targets) \
    MIRZET_REACH_PRAGMA(GCC push_options) MIRZET_REACH_PRAGMA(GCC target(targets))
#define MIRZET_REACH_POP MIRZET_REACH_PRAGMA(GCC pop_options)
#endif

MIRZET_REACH_PUSH(MIRZET_REACH_TARGETS)
#include "block_reach.h"

namespace mirzet::scan {

#if MIRZET_REACH_AVX512
BlockReaches block_reaches_avx512(std::uint32_t seed) {
    return block_reaches<Avx512Block>(seed);
}
BlockReaches block_reaches_avx512_read(std::uint32_t seed) {
    return block_reaches<Avx512ReadBlock>(seed);
}
#else
BlockReaches block_reaches_avx2(std::uint32_t seed) {
    return block_reaches<Avx2Block>(seed);
}
#endif

}  // namespace mirzet::scan

MIRZET_REACH_POP
