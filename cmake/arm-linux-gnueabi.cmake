# 32-bit ARM for Debian's armel package (ARMv5TE, soft float: older NAS boxes and boards), with
# Debian's g++-arm-linux-gnueabi; runs under qemu-arm, on arm926 and every later 32-bit ARM:
#   cmake -S . -B build-armel -DCMAKE_TOOLCHAIN_FILE=cmake/arm-linux-gnueabi.cmake
set(CROSS_TRIPLE arm-linux-gnueabi)
set(CROSS_PROCESSOR arm)
set(CROSS_EMULATOR qemu-arm)
set(CROSS_DEB_ARCHITECTURE armel)
set(CROSS_FLAGS "")
include(${CMAKE_CURRENT_LIST_DIR}/cross-linux.cmake)
