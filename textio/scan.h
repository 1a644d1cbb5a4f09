// The byte loops of the copy's hot paths, each in a fast form and the plain loop it must match.
//
// A source-like line is about 44 characters. Searching it with memchr and then copying it with
// memcpy pays two library calls' fixed cost per line, more than the bytes themselves cost; the
// fast forms search and copy in one pass over blocks of 32 bytes (two SSE2 or NEON registers, or
// one AVX2 register; the AVX-512 read takes 64) or 8 (a 64-bit word, portable C++), inline, and
// leave only long runs to the library. Only the blocks know the width, each kind in a file of its
// own under textio/scan/; the loops are written once over them, in copy.h, write.h and read.h
// there. This header chooses the
// path for the processor once: where it has AVX-512 (with VBMI2) or AVX2, the write's loop and the
// read's run a build of the loops for it, made in textio/scan/avx512.cpp or avx2.cpp; elsewhere
// the baseline build's block runs them. The plain forms are the reference: tests/scan_test.cpp
// holds every block, and every build, to them.
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

inline namespace MIRZET_SCAN_VARIANT {

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

inline void copy_pieces(Pieces& run, std::int32_t room) {
    copy_pieces_with<NativeBlock>(run, room);
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

// The loops of the write and the read built for AVX2, with BMI1's bit instructions and POPCNT,
// which every processor with AVX2 has beside it; and for AVX-512 with VBMI2's expand and
// compress, and BMI2's bit deposit and extract.
#if MIRZET_SCAN_AVX2
Expanded expand_lf_avx2(char* out, std::uint32_t limit, const char* text, std::uint32_t n);
std::uint32_t expand_lf_lending_avx2(char* out, char* text, std::uint32_t n);
Squeezed squeeze_crlf_avx2(char* text, std::uint32_t n);
#endif
#if MIRZET_SCAN_AVX512
Expanded expand_lf_avx512(char* out, std::uint32_t limit, const char* text, std::uint32_t n);
std::uint32_t expand_lf_lending_avx512(char* out, char* text, std::uint32_t n);
Squeezed squeeze_crlf_avx512(char* text, std::uint32_t n);
#endif

// Which build runs the write's loop and the read's: every processor runs the baseline, and where
// the program has a build for AVX2 or AVX-512 and the processor (and its system) runs it, that.
enum class Path : std::uint8_t { BASELINE, AVX2, AVX512 };
constexpr Path EVERY_PATH[] = {Path::BASELINE, Path::AVX2, Path::AVX512};

constexpr const char* path_name(Path path) {
    return path == Path::AVX512 ? "avx512" : path == Path::AVX2 ? "avx2" : "baseline";
}

inline bool processor_runs(Path path) {
    switch (path) {
        case Path::BASELINE:
            return true;
        case Path::AVX2:
#if MIRZET_SCAN_AVX2
            __builtin_cpu_init();
            return __builtin_cpu_supports("avx2") && __builtin_cpu_supports("bmi") &&
                   __builtin_cpu_supports("popcnt");
#else
            return false;
#endif
        case Path::AVX512:
#if MIRZET_SCAN_AVX512
            __builtin_cpu_init();
            return processor_runs(Path::AVX2) && __builtin_cpu_supports("bmi2") &&
                   __builtin_cpu_supports("avx512f") && __builtin_cpu_supports("avx512bw") &&
                   __builtin_cpu_supports("avx512vl") && __builtin_cpu_supports("avx512vbmi2");
#else
            return false;
#endif
    }
    return false;
}

inline Path best_path() {
    return processor_runs(Path::AVX512) ? Path::AVX512
           : processor_runs(Path::AVX2) ? Path::AVX2
                                        : Path::BASELINE;
}

// The path a user asked for by name (the environment's MIRZET_SIMD): that one where this
// processor runs it, else, for any other name or none, the best it runs. Never one it cannot.
inline Path path_named(const char* name) {
    if (name != nullptr)
        for (const Path path : EVERY_PATH)
            if (std::strcmp(name, path_name(path)) == 0 && processor_runs(path)) return path;
    return best_path();
}

// Decided once, at start-up, for the run; until then, and in tests that do not choose, the best.
inline Path chosen_path = best_path();

inline void use_path(Path path) {
    chosen_path = processor_runs(path) ? path : best_path();
}

// The baseline is asked for first: one test a call where it runs, as before there were others.
inline Expanded expand_lf(char* out, std::uint32_t limit, const char* text, std::uint32_t n) {
#if MIRZET_SCAN_AVX2
    if (chosen_path != Path::BASELINE) {
#if MIRZET_SCAN_AVX512
        if (chosen_path == Path::AVX512) return expand_lf_avx512(out, limit, text, n);
#endif
        return expand_lf_avx2(out, limit, text, n);
    }
#endif
    return expand_lf_with<NativeBlock>(out, limit, text, n);
}

inline std::uint32_t expand_lf_lending(char* out, char* text, std::uint32_t n) {
#if MIRZET_SCAN_AVX2
    if (chosen_path != Path::BASELINE) {
#if MIRZET_SCAN_AVX512
        if (chosen_path == Path::AVX512) return expand_lf_lending_avx512(out, text, n);
#endif
        return expand_lf_lending_avx2(out, text, n);
    }
#endif
    return expand_lf_lending_with<NativeBlock>(out, text, n);
}

// All n bytes of text with a CR before each LF, for a buffer that keeps its text converted: out
// needs room for 2 * n + EXPAND_SLACK. A limit the text cannot reach lets the loop watch only the
// text's end. Returns the bytes stored.
inline std::uint32_t expand_lf_all(char* out, const char* text, std::uint32_t n) {
    const std::uint32_t limit = n < UINT32_MAX / 2 - 1 ? 2 * n + 2 : UINT32_MAX - 1;
    return expand_lf(out, limit, text, n).length;
}

inline Squeezed squeeze_crlf(char* text, std::uint32_t n) {
#if MIRZET_SCAN_AVX2
    if (chosen_path != Path::BASELINE) {
#if MIRZET_SCAN_AVX512
        if (chosen_path == Path::AVX512) return squeeze_crlf_avx512(text, n);
#endif
        return squeeze_crlf_avx2(text, n);
    }
#endif
    return squeeze_crlf_with<NativeBlock>(text, n);
}

#endif  // MIRZET_SCAN_FOR_AVX2

}  // namespace mirzet::scan

// Until the kernels' own: PADDING, OVERRUN, expand_lf_padded.
namespace mirzet::scan {
constexpr std::uint32_t PADDING = 64;
constexpr std::uint32_t OVERRUN = EXPAND_SLACK;
#ifndef MIRZET_SCAN_FOR_AVX2
inline std::uint32_t expand_lf_padded(char* out, const char* text, std::uint32_t n) {
    return expand_lf_all(out, text, n);
}
#endif
}  // namespace mirzet::scan
