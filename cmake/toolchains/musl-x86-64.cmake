# The static program for x86-64, on musl (see musl.cmake).
set(MIRZET_CROSS_TRIPLET x86_64-linux-gnu)
set(MIRZET_MUSL_TRIPLET x86_64-linux-musl)
include(${CMAKE_CURRENT_LIST_DIR}/musl.cmake)
