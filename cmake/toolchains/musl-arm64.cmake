# The static program for arm64, on musl (see musl.cmake): Debian's cross compiler, and musl-dev
# of arm64 through multiarch (dpkg --add-architecture arm64; apt-get install musl-dev:arm64).
# The program needs no loader, so qemu-user runs it as it is.
set(CMAKE_SYSTEM_NAME Linux)
set(CMAKE_SYSTEM_PROCESSOR aarch64)
set(MIRZET_CROSS_TRIPLET aarch64-linux-gnu)
set(MIRZET_MUSL_TRIPLET aarch64-linux-musl)
set(CMAKE_CROSSCOMPILING_EMULATOR qemu-aarch64)
include(${CMAKE_CURRENT_LIST_DIR}/musl.cmake)
