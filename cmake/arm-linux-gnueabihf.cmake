# 32-bit ARM for Debian's armhf package, run under qemu-arm:
#   cmake -S . -B build-arm -DCMAKE_TOOLCHAIN_FILE=cmake/arm-linux-gnueabihf.cmake
# Debian's own arm-linux-gnueabihf compiler and libraries target ARMv7, which dies with
# "Illegal instruction" on the ARMv6 of a Raspberry Pi Zero or 1 (their 32-bit systems are
# armhf too). So this builds with the ARMv5TE soft-float toolchain (g++-arm-linux-gnueabi), for
# ARMv6 and its unaligned loads: a static binary calls no library, so the float ABI of the
# system does not matter. Runs on arm1176 (ARMv6) and every later 32-bit ARM.
set(CROSS_TRIPLE arm-linux-gnueabi)
set(CROSS_PROCESSOR arm)
set(CROSS_EMULATOR qemu-arm)
set(CROSS_DEB_ARCHITECTURE armhf)
set(CROSS_FLAGS "-march=armv6 -marm")
include(${CMAKE_CURRENT_LIST_DIR}/cross-linux.cmake)
