# armhf, 32-bit ARM with hardware floating point, run under qemu-user.
set(CMAKE_SYSTEM_PROCESSOR arm)
set(MIRZET_CROSS_TRIPLET arm-linux-gnueabihf)
set(MIRZET_CROSS_EMULATOR qemu-arm)
include(${CMAKE_CURRENT_LIST_DIR}/debian-cross.cmake)
