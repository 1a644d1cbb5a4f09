# What the static programs share: the program built by Debian's GCC (for MIRZET_CROSS_TRIPLET)
# against musl, Debian's packages musl-dev (and musl-tools), into a static position-independent
# program with no interpreter. The toolchain file of each architecture sets the triplets and
# includes this one.
#
# The C++ sources are compiled with libstdc++'s headers over musl's, in the order the compiler
# would search its own: libstdc++'s, then the C library's (musl's, not glibc's), then GCC's own
# (intrinsics, stddef.h's builtins). Nothing of libstdc++'s runtime is linked: the program uses
# only the headers' inline parts (std::span, std::string_view, the type traits), so the link
# names the start files and libraries itself, and any call into libstdc++ fails to link.
set(musl_include /usr/include/${MIRZET_MUSL_TRIPLET})
set(musl_lib /usr/lib/${MIRZET_MUSL_TRIPLET})
if(NOT EXISTS ${musl_lib}/rcrt1.o)
  message(FATAL_ERROR "No musl for ${MIRZET_MUSL_TRIPLET} in ${musl_lib}: install Debian's "
                      "musl-dev for that architecture (and musl-tools).")
endif()
set(CMAKE_C_COMPILER ${MIRZET_CROSS_TRIPLET}-gcc)
set(CMAKE_CXX_COMPILER ${MIRZET_CROSS_TRIPLET}-g++)

# The compiler's own directories: libstdc++'s headers, as it lists them, and GCC's headers.
execute_process(COMMAND ${CMAKE_CXX_COMPILER} -E -x c++ -v /dev/null
                OUTPUT_QUIET ERROR_VARIABLE search RESULT_VARIABLE failed)
if(failed)
  message(FATAL_ERROR "${CMAKE_CXX_COMPILER} is missing: "
                      "install Debian's g++ for ${MIRZET_CROSS_TRIPLET}.")
endif()
string(REGEX MATCHALL "\n [^\n]*/c\\+\\+/[^\n]*" cxx_include "${search}")
list(TRANSFORM cxx_include STRIP)
list(TRANSFORM cxx_include PREPEND "-isystem ")
list(JOIN cxx_include " " cxx_include)
execute_process(COMMAND ${CMAKE_C_COMPILER} -print-file-name=include
                OUTPUT_VARIABLE gcc_include OUTPUT_STRIP_TRAILING_WHITESPACE)
foreach(object crtbeginS.o crtendS.o)
  execute_process(COMMAND ${CMAKE_C_COMPILER} -print-file-name=${object}
                  OUTPUT_VARIABLE ${object} OUTPUT_STRIP_TRAILING_WHITESPACE)
endforeach()

set(c_include "-nostdinc -isystem ${musl_include} -isystem ${gcc_include}")
set(CMAKE_C_FLAGS_INIT "${c_include}")
set(CMAKE_CXX_FLAGS_INIT "-nostdinc ${cxx_include} -isystem ${musl_include} -isystem ${gcc_include}")
# The header glue: libstdc++'s headers were configured for glibc and name two things of glibc's
# that musl has under other names or not at all.
#  - __GLIBC_PREREQ(major, minor), glibc's version test, which its os_defines.h asks in #if
#    lines (for gets, isinf and the thread ID); no glibc, so no version is reached.
#  - __locale_t, glibc's name of the locale handle type, behind libstdc++'s __c_locale; musl
#    calls it locale_t.
string(APPEND CMAKE_CXX_FLAGS_INIT " '-D__GLIBC_PREREQ(major,minor)=0' -D__locale_t=locale_t")

# The link: static and position-independent, started by musl's self-relocating rcrt1.o; musl's C
# library and libgcc (the processor test of __builtin_cpu_supports) and nothing else.
set(CMAKE_EXE_LINKER_FLAGS_INIT
    "-static-pie -nostdlib -L${musl_lib} ${musl_lib}/rcrt1.o ${musl_lib}/crti.o ${crtbeginS.o}")
foreach(language C CXX)
  set(CMAKE_${language}_STANDARD_LIBRARIES
      "-Wl,--start-group -lc -lgcc -Wl,--end-group ${crtendS.o} ${musl_lib}/crtn.o")
endforeach()

