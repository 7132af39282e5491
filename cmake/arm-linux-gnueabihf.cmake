# 32-bit ARM, hard float, with Debian's g++-arm-linux-gnueabihf; runs under qemu-arm:
#   cmake -S . -B build-arm -DCMAKE_TOOLCHAIN_FILE=cmake/arm-linux-gnueabihf.cmake
set(CROSS_TRIPLE arm-linux-gnueabihf)
set(CROSS_PROCESSOR arm)
set(CROSS_EMULATOR qemu-arm)
include(${CMAKE_CURRENT_LIST_DIR}/cross-linux.cmake)
