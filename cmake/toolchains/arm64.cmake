# arm64, run under qemu-user.
set(CMAKE_SYSTEM_PROCESSOR aarch64)
set(MIRZET_CROSS_TRIPLET aarch64-linux-gnu)
set(MIRZET_CROSS_EMULATOR qemu-aarch64)
include(${CMAKE_CURRENT_LIST_DIR}/debian-cross.cmake)
