# What every toolchain file beside this one shares: Debian's cross compiler for the triplet
# MIRZET_CROSS_TRIPLET, the target's libraries and headers found only under /usr/TRIPLET, and the
# emulator MIRZET_CROSS_EMULATOR (empty where this machine runs the programs itself), which CMake
# and CTest start the built tests under.
set(CMAKE_SYSTEM_NAME Linux)
set(CMAKE_C_COMPILER ${MIRZET_CROSS_TRIPLET}-gcc)
set(CMAKE_CXX_COMPILER ${MIRZET_CROSS_TRIPLET}-g++)
set(CMAKE_FIND_ROOT_PATH /usr/${MIRZET_CROSS_TRIPLET})
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_PACKAGE ONLY)
# The emulator finds the target's loader under /usr/TRIPLET; the library path keeps the loader
# there too, rather than in /lib/TRIPLET, where a C library of that architecture installed for
# cross-building packages may be of another version than the cross compiler's.
if(MIRZET_CROSS_EMULATOR)
  set(CMAKE_CROSSCOMPILING_EMULATOR ${MIRZET_CROSS_EMULATOR} -L /usr/${MIRZET_CROSS_TRIPLET}
      -E LD_LIBRARY_PATH=/usr/${MIRZET_CROSS_TRIPLET}/lib)
endif()
