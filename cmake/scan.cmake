# Which builds of the byte loops (textio/scan.h, textio/scan/) a program has, decided once, here,
# for the program, the tests and the fuzz targets alike. Every processor has the baseline build: a
# vector block where the compiler targets one (SSE2 on x86-64, NEON on arm64), else the portable
# 8-byte block. Where the compiler targets x86-64 and can build a function for AVX2, or for
# AVX-512, the program also has that build of the write's and the read's loops
# (textio/scan/avx2.cpp, textio/scan/avx512.cpp), chosen at run time where the processor has it.
# The compiler is asked, not the host: a cross compiler, or one building for two processors at
# once, says what it targets. MIRZET_PORTABLE_SCAN forces the portable block alone, as the other
# processors run it.
option(MIRZET_PORTABLE_SCAN "Build the byte loops on the portable 8-byte block alone" OFF)

include(CheckCXXSourceCompiles)
include(CheckSymbolExists)

# mirzet_scan_target_compiles(RESULT TARGETS CODE): whether a function built for TARGETS (a
# target attribute's list), holding CODE, compiles and links for every processor the compiler
# targets, beside a baseline caller that asks the processor first.
function(mirzet_scan_target_compiles result targets code)
  if(MIRZET_PORTABLE_SCAN OR NOT CMAKE_CXX_COMPILER_ID MATCHES "GNU|Clang")
    set(${result} 0 PARENT_SCOPE)
    return()
  endif()
  check_cxx_source_compiles("
#if !defined(__x86_64__)
#error \"the builds beside the baseline are for x86-64\"
#endif
#include <immintrin.h>
__attribute__((target(\"${targets}\"))) int run(const char* p) { ${code} }
int main(int, char** argv) {
    __builtin_cpu_init();
    return __builtin_cpu_supports(\"avx2\") ? run(argv[0]) : 0;
}" ${result}_COMPILES)
  if(${result}_COMPILES)
    set(${result} 1 PARENT_SCOPE)
  else()
    set(${result} 0 PARENT_SCOPE)
  endif()
endfunction()

mirzet_scan_target_compiles(MIRZET_SCAN_AVX2 "avx2,bmi,popcnt" "
    const __m256i b = _mm256_loadu_si256(reinterpret_cast<const __m256i*>(p));
    return static_cast<int>(_blsr_u32(static_cast<unsigned>(_mm256_movemask_epi8(b))));")
mirzet_scan_target_compiles(MIRZET_SCAN_AVX512 "avx2,bmi,bmi2,popcnt,avx512f,avx512bw,avx512vl,avx512vbmi2" "
    const __m256i b = _mm256_loadu_si256(reinterpret_cast<const __m256i*>(p));
    const __mmask32 m = _mm256_cmpeq_epi8_mask(b, _mm256_set1_epi8(10));
    const __m512i e = _mm512_mask_expand_epi8(_mm512_set1_epi8(13),
        _pext_u64(~0ull, _pdep_u64(m, 0x5555555555555555ull)), _mm512_castsi256_si512(b));
    const __m256i c = _mm256_mask_compress_epi8(b, ~m, b);
    return _mm512_reduce_add_epi32(e) + _mm256_movemask_epi8(c);")

if(MIRZET_PORTABLE_SCAN)
  set(MIRZET_SCAN_PORTABLE 1)
else()
  set(MIRZET_SCAN_PORTABLE 0)
endif()

# memrchr is the GNU C library's (and a few others'): where the C library has it, the baseline
# looks for the last LF of a span of line pieces with it, else with its own loop.
set(CMAKE_REQUIRED_DEFINITIONS -D_GNU_SOURCE)
check_symbol_exists(memrchr string.h MIRZET_HAVE_MEMRCHR)
unset(CMAKE_REQUIRED_DEFINITIONS)

# mirzet_scan_builds(TARGET SCOPE ROOT): gives TARGET the loops' sources beyond the baseline and
# the definitions that say which exist, for it and (SCOPE PUBLIC) for whatever links it.
function(mirzet_scan_builds target scope root)
  target_compile_definitions(${target} ${scope} MIRZET_SCAN_AVX2=${MIRZET_SCAN_AVX2}
                                                MIRZET_SCAN_AVX512=${MIRZET_SCAN_AVX512}
                                                MIRZET_SCAN_PORTABLE=${MIRZET_SCAN_PORTABLE}
                                                MIRZET_HAVE_MEMRCHR=$<BOOL:${MIRZET_HAVE_MEMRCHR}>)
  if(MIRZET_SCAN_AVX2)
    target_sources(${target} PRIVATE ${root}/textio/scan/avx2.cpp)
  endif()
  if(MIRZET_SCAN_AVX512)
    target_sources(${target} PRIVATE ${root}/textio/scan/avx512.cpp)
  endif()
endfunction()
