# s390x, big-endian and 64-bit, run under qemu-user.
set(CMAKE_SYSTEM_PROCESSOR s390x)
set(MIRZET_CROSS_TRIPLET s390x-linux-gnu)
set(MIRZET_CROSS_EMULATOR qemu-s390x)
include(${CMAKE_CURRENT_LIST_DIR}/debian-cross.cmake)
