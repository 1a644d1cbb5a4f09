# i386, 32-bit x86: an x86-64 Linux kernel runs its programs natively.
set(CMAKE_SYSTEM_PROCESSOR i686)
set(MIRZET_CROSS_TRIPLET i686-linux-gnu)
set(MIRZET_CROSS_EMULATOR "")
include(${CMAKE_CURRENT_LIST_DIR}/debian-cross.cmake)
