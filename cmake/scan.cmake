# Which builds of the byte loops (textio/scan.h, textio/scan/) a program has, decided once, here,
# for the program, the tests and the fuzz targets alike. Every processor has the baseline build: a
# vector block where the compiler targets one (SSE2 on x86-64, NEON on arm64), else the portable
# 8-byte block. x86-64 has a second build for AVX2 (textio/scan/avx2.cpp), chosen at run time where
# the processor has it. MIRZET_PORTABLE_SCAN forces the portable block alone, as the other
# processors run it.
option(MIRZET_PORTABLE_SCAN "Build the byte loops on the portable 8-byte block alone" OFF)

if(NOT MIRZET_PORTABLE_SCAN AND CMAKE_SYSTEM_PROCESSOR MATCHES "^(x86_64|AMD64|amd64)$"
   AND CMAKE_CXX_COMPILER_ID MATCHES "GNU|Clang")
  set(MIRZET_SCAN_AVX2 1)
else()
  set(MIRZET_SCAN_AVX2 0)
endif()
if(MIRZET_PORTABLE_SCAN)
  set(MIRZET_SCAN_PORTABLE 1)
else()
  set(MIRZET_SCAN_PORTABLE 0)
endif()

# mirzet_scan_builds(TARGET SCOPE ROOT): gives TARGET the loops' sources beyond the baseline and
# the definitions that say which exist, for it and (SCOPE PUBLIC) for whatever links it.
function(mirzet_scan_builds target scope root)
  target_compile_definitions(${target} ${scope} MIRZET_SCAN_AVX2=${MIRZET_SCAN_AVX2}
                                                MIRZET_SCAN_PORTABLE=${MIRZET_SCAN_PORTABLE})
  if(MIRZET_SCAN_AVX2)
    target_sources(${target} PRIVATE ${root}/textio/scan/avx2.cpp)
  endif()
endfunction()
