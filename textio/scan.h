// The byte loops of the copy's hot paths, each in a fast form and the plain loop it must match.
//
// A source-like line is about 44 characters. Searching it with memchr and then copying it with
// memcpy pays two library calls' fixed cost per line, more than the bytes themselves cost; the
// fast forms search and copy in one pass over blocks of 32 bytes (two SSE2 or NEON registers, or
// one AVX2 register; the AVX-512 read takes 64) or 8 (a 64-bit word, portable C++), inline, and
// leave only long runs to the library. Only the blocks know the width, each kind in a file of its
// own under textio/scan/; the loops are written once over them, in copy.h, write.h and read.h
// there, and each block states which of their algorithms it takes (the table below).
//
// The write's loop and the read's, the kernels, are called through one table of them a path: the
// baseline's, and where the processor has AVX2 or AVX-512 (with VBMI2), a build of the loops for
// it, made in textio/scan/avx2.cpp or avx512.cpp. The program's start-up chooses the path once
// (use_path). The plain forms are the reference: tests/scan_test.cpp holds every block, and every
// build, to them.
#pragma once

#include "textio/scan/avx2.h"
#include "textio/scan/avx512.h"
#include "textio/scan/block.h"
#include "textio/scan/copy.h"
#include "textio/scan/neon.h"
#include "textio/scan/read.h"
#include "textio/scan/sse2.h"
#include "textio/scan/word.h"
#include "textio/scan/write.h"

namespace mirzet::scan {

// One path's kernels, each described where it is called below.
struct Kernels {
    Expanded (*expand_lf)(char* out, std::uint32_t limit, const char* text, std::uint32_t n);
    std::uint32_t (*expand_lf_all)(char* out, const char* text, std::uint32_t n);
    std::uint32_t (*expand_lf_padded)(char* out, const char* text, std::uint32_t n);
    Squeezed (*squeeze_crlf)(char* text, std::uint32_t n);
    const char* (*find_last_lf)(const char* from, std::size_t n);
};

inline namespace MIRZET_SCAN_VARIANT {

// Which algorithm each block takes, as it declares them (WRITE, READ, SEARCH in block.h's terms):
//
// clang-format off
//   block            bytes  runs in            write step       read step             read search
//   WordBlock            8  other processors   STORE_AGAIN      CR_BY_CR              CTRL_Z_THEN_CR
//   Sse2Block           32  x86-64 baseline    STORE_AGAIN      CR_BY_CR              CTRL_Z_THEN_CR
//   NeonBlock           32  arm64 baseline     WITH_CRS         WITHOUT_PAIRS         CR_OR_CTRL_Z
//   Avx2Block           32  avx2               WITH_CRS_OR_FEW  WITHOUT_PAIRS         CR_OR_CTRL_Z
//   Avx512Block         32  avx512's write     WITH_CRS         -                     -
//   Avx512ReadBlock     64  avx512's read      -                WITHOUT_PAIRS_TO_END  CR_OR_CTRL_Z
// clang-format on
//
// WITH_CRS stores a block with its CRs by NEON's table lookups, AVX2's shuffles or AVX-512's one
// expand; WITHOUT_PAIRS drops the pairs' CRs by lookups, shuffles or one compress. The write's
// last bytes, and the copies of line pieces, take the same block, and the portable word below it.
static_assert(WriteBlock<WordBlock> && ReadBlock<WordBlock>);
#if !MIRZET_SCAN_PORTABLE && defined(__SSE2__)
static_assert(WriteBlock<Sse2Block> && ReadBlock<Sse2Block>);
#endif
#if MIRZET_SCAN_NEON
static_assert(WriteBlock<NeonBlock> && ReadBlock<NeonBlock>);
#endif
#if !MIRZET_SCAN_PORTABLE && (defined(__AVX2__) || defined(MIRZET_SCAN_FOR_AVX2))
static_assert(WriteBlock<Avx2Block> && ReadBlock<Avx2Block>);
#endif
#if !MIRZET_SCAN_PORTABLE && defined(MIRZET_SCAN_FOR_AVX512)
static_assert(WriteBlock<Avx512Block> && ReadBlock<Avx512ReadBlock>);
#endif

// The block of this processor's baseline build: AVX2 where the whole program targets it (or in
// the AVX2 and AVX-512 builds, which have blocks of their own), SSE2 on any other x86-64, NEON on
// AArch64, and the portable word elsewhere.
#if !MIRZET_SCAN_PORTABLE && defined(MIRZET_SCAN_FOR_AVX512)
using NativeBlock = Avx512Block;
#elif !MIRZET_SCAN_PORTABLE && (defined(__AVX2__) || defined(MIRZET_SCAN_FOR_AVX2))
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

// n bytes between buffers that do not overlap, by blocks where the library's copy would branch
// on the size or take a string instruction.
inline void copy_apart(char* to, const char* from, std::uint32_t n) {
    copy_apart_with<NativeBlock>(to, from, n);
}

}  // namespace MIRZET_SCAN_VARIANT

// The builds for a processor beyond the baseline include this header inside a region compiled for
// it: what follows is the baseline's alone, so that nothing of it is built for that processor.
#ifndef MIRZET_SCAN_FOR_AVX2

// Which path runs the write's loop and the read's: every processor runs the baseline, and where
// the program has a build for AVX2 or AVX-512 and the processor (and its system) runs it, that.
enum class Path : std::uint8_t { BASELINE, AVX2, AVX512 };
constexpr Path EVERY_PATH[] = {Path::BASELINE, Path::AVX2, Path::AVX512};

// The baseline's kernels, on the block of the build.
inline constexpr Kernels BASELINE_KERNELS = {
    expand_lf_with<NativeBlock>, expand_lf_all_with<NativeBlock>,
    expand_lf_padded_with<NativeBlock>, squeeze_crlf_with<NativeBlock>,
    find_last_lf_for<NativeBlock>};

// The builds beyond the baseline: the loops built for AVX2, with BMI1's bit instructions and
// POPCNT, which every processor with AVX2 has beside it; and for AVX-512 with VBMI2's expand and
// compress, and BMI2's bit deposit and extract (textio/scan/avx2.cpp, avx512.cpp).
#if MIRZET_SCAN_AVX2
extern const Kernels AVX2_KERNELS;
#endif
#if MIRZET_SCAN_AVX512
extern const Kernels AVX512_KERNELS;
#endif

// One row a path: its name for MIRZET_SIMD, its kernels, and whether this processor runs them.
struct PathRow {
    Path path;
    const char* name;
    const Kernels* kernels;
    bool (*processor_runs)();
};

inline constexpr PathRow PATHS[] = {
    {Path::BASELINE, "baseline", &BASELINE_KERNELS, [] { return true; }},
#if MIRZET_SCAN_AVX2
    {Path::AVX2, "avx2", &AVX2_KERNELS,
     [] {
         __builtin_cpu_init();
         return __builtin_cpu_supports("avx2") && __builtin_cpu_supports("bmi") &&
                __builtin_cpu_supports("popcnt");
     }},
#endif
#if MIRZET_SCAN_AVX512
    {Path::AVX512, "avx512", &AVX512_KERNELS,
     [] {
         __builtin_cpu_init();
         return __builtin_cpu_supports("avx2") && __builtin_cpu_supports("bmi") &&
                __builtin_cpu_supports("popcnt") && __builtin_cpu_supports("bmi2") &&
                __builtin_cpu_supports("avx512f") && __builtin_cpu_supports("avx512bw") &&
                __builtin_cpu_supports("avx512vl") && __builtin_cpu_supports("avx512vbmi2");
     }},
#endif
};

// The path's row, or null where the program has no build for it.
constexpr const PathRow* row_of(Path path) {
    for (const PathRow& row : PATHS)
        if (row.path == path) return &row;
    return nullptr;
}

constexpr const char* path_name(Path path) {
    return path == Path::AVX512 ? "avx512" : path == Path::AVX2 ? "avx2" : "baseline";
}

inline bool processor_runs(Path path) {
    const PathRow* row = row_of(path);
    return row != nullptr && row->processor_runs();
}

// The last row this processor runs: the rows go from the baseline up.
inline Path best_path() {
    Path best = Path::BASELINE;
    for (const PathRow& row : PATHS)
        if (row.processor_runs()) best = row.path;
    return best;
}

// The path a user asked for by name (the environment's MIRZET_SIMD): that one where this
// processor runs it, else, for any other name or none, the best it runs. Never one it cannot.
inline Path path_named(const char* name) {
    if (name != nullptr)
        for (const PathRow& row : PATHS)
            if (std::strcmp(name, row.name) == 0 && row.processor_runs()) return row.path;
    return best_path();
}

// The path the program runs and its kernels: the baseline until start-up chooses, once (no
// processor is asked anything during static initialisation).
inline Path chosen_path = Path::BASELINE;
inline const Kernels* chosen_kernels = &BASELINE_KERNELS;

inline void use_path(Path path) {
    chosen_path = processor_runs(path) ? path : best_path();
    chosen_kernels = row_of(chosen_path)->kernels;
}

// The kernels of the chosen path. Each is called once for a buffer or a chunk, so a call through
// a pointer costs nothing that shows; copy_through_lf, called for each line, stays inline above.

// Copies text into out, a CR before each LF, until out holds at least limit bytes or the n bytes
// of text run out; a pair the limit falls inside is completed. out needs room for limit + OVERRUN.
inline Expanded expand_lf(char* out, std::uint32_t limit, const char* text, std::uint32_t n) {
    return chosen_kernels->expand_lf(out, limit, text, n);
}

// All n bytes of text with a CR before each LF, reading only them: out needs room for
// 2 * n + OVERRUN. Returns the bytes stored.
inline std::uint32_t expand_lf_all(char* out, const char* text, std::uint32_t n) {
    return chosen_kernels->expand_lf_all(out, text, n);
}

// The same, reading up to PADDING bytes past the text, which the caller guarantees readable.
inline std::uint32_t expand_lf_padded(char* out, const char* text, std::uint32_t n) {
    return chosen_kernels->expand_lf_padded(out, text, n);
}

// Each CR-LF read as LF, in place, up to the first Ctrl-Z among the n bytes; the last byte before
// the data's end is left to the caller.
inline Squeezed squeeze_crlf(char* text, std::uint32_t n) {
    return chosen_kernels->squeeze_crlf(text, n);
}

// Where a run of line pieces copied straight from one buffer into another ends (copy.h): the bytes
// of whole pieces at `from` among the span that both buffers hold, each through its LF or room
// bytes long.
inline std::int32_t whole_pieces(const char* from, std::int32_t span, std::int32_t room) {
    if (room <= 0 || span <= 0) return 0;
    const char* lf = chosen_kernels->find_last_lf(from, static_cast<std::size_t>(span));
    return whole_pieces_through(from, lf, span, room);
}

// Copies the whole pieces of the run, and steps it past them.
inline void copy_pieces(Pieces& run, std::int32_t room) {
    const std::int32_t whole = whole_pieces(run.from, std::min(run.left, run.space), room);
    if (whole == 0) return;
    copy_apart(run.to, run.from, static_cast<std::uint32_t>(whole));
    run = {run.from + whole, run.left - whole, run.to + whole, run.space - whole};
}

#endif  // MIRZET_SCAN_FOR_AVX2

}  // namespace mirzet::scan
