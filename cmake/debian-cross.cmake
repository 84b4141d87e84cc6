# Shared part of the cross toolchain files: Debian's cross compilers for VORN_CROSS_TRIPLET and
# the board architecture's -dev packages, installed beside the build machine's by multiarch
# (`dpkg --add-architecture`, then NAME:armhf or NAME:arm64). scripts/install-deps cross ARCH
# installs them.
set(CMAKE_SYSTEM_NAME Linux)
set(CMAKE_C_COMPILER ${VORN_CROSS_TRIPLET}-gcc)
set(CMAKE_CXX_COMPILER ${VORN_CROSS_TRIPLET}-g++)
set(CMAKE_LIBRARY_ARCHITECTURE ${VORN_CROSS_TRIPLET})

# The board's libraries live in /usr/lib/<triplet>, the headers in /usr/include: no separate
# root, but pkg-config must not hand out the build machine's library directory (FindOpenSSL
# takes its hints from it).
set(ENV{PKG_CONFIG_LIBDIR} /usr/lib/${VORN_CROSS_TRIPLET}/pkgconfig:/usr/share/pkgconfig)

# ctest runs the test programs (and gtest's discovery) under qemu-user. Without -L: the
# multiarch loader and libc under /lib are the ones the programs were linked against.
find_program(VORN_CROSS_EMULATOR ${VORN_CROSS_QEMU} REQUIRED)
set(CMAKE_CROSSCOMPILING_EMULATOR ${VORN_CROSS_EMULATOR})
