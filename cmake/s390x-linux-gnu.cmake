# Big-endian 64-bit s390x with Debian's g++-s390x-linux-gnu; runs under qemu-s390x:
#   cmake -S . -B build-s390x -DCMAKE_TOOLCHAIN_FILE=cmake/s390x-linux-gnu.cmake
set(CROSS_TRIPLE s390x-linux-gnu)
set(CROSS_PROCESSOR s390x)
set(CROSS_EMULATOR qemu-s390x)
set(CROSS_DEB_ARCHITECTURE s390x)
set(CROSS_FLAGS "")
include(${CMAKE_CURRENT_LIST_DIR}/cross-linux.cmake)
