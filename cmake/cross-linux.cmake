# Shared by the cross toolchain files: set CROSS_TRIPLE, CROSS_PROCESSOR, CROSS_EMULATOR,
# CROSS_DEB_ARCHITECTURE (the Debian architecture of the package) and CROSS_FLAGS (compiler
# flags, may be empty), then include this. The build is static so that the tool and the tests
# run under qemu-user without a target sysroot, and so that the binary calls no library of the
# system it is installed on.
set(CMAKE_SYSTEM_NAME Linux)
set(CMAKE_SYSTEM_PROCESSOR ${CROSS_PROCESSOR})
set(CMAKE_C_COMPILER ${CROSS_TRIPLE}-gcc)
set(CMAKE_CXX_COMPILER ${CROSS_TRIPLE}-g++)
set(CMAKE_C_FLAGS_INIT "${CROSS_FLAGS}")
set(CMAKE_CXX_FLAGS_INIT "${CROSS_FLAGS}")
set(CMAKE_FIND_ROOT_PATH /usr/${CROSS_TRIPLE})
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_PACKAGE ONLY)
set(CMAKE_CROSSCOMPILING_EMULATOR ${CROSS_EMULATOR})
set(TARNVELL_STATIC ON CACHE BOOL "Link statically" FORCE)
set(TARNVELL_DEB_ARCHITECTURE ${CROSS_DEB_ARCHITECTURE} CACHE STRING
    "Debian architecture of the package" FORCE)
