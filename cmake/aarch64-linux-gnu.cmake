# Cross-compiling for Linux on aarch64 with Debian's g++-aarch64-linux-gnu:
#   cmake -DCMAKE_TOOLCHAIN_FILE=cmake/aarch64-linux-gnu.cmake ...
# The results run under qemu-aarch64 -cpu neoverse-n1 -L /usr/aarch64-linux-gnu.
set(CMAKE_SYSTEM_NAME Linux)
set(CMAKE_SYSTEM_PROCESSOR aarch64)
set(CMAKE_C_COMPILER aarch64-linux-gnu-gcc)
set(CMAKE_CXX_COMPILER aarch64-linux-gnu-g++)
# Target libraries and headers from the cross toolchain, plus whatever folders
# the caller names in CMAKE_FIND_ROOT_PATH (an unpacked arm64 GoogleTest or
# Python); programs from the build machine.
list(APPEND CMAKE_FIND_ROOT_PATH /usr/aarch64-linux-gnu)
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_PACKAGE ONLY)
# A Neoverse N1, as scripts/aarch64-env.sh explains.
set(CMAKE_CROSSCOMPILING_EMULATOR qemu-aarch64 -cpu neoverse-n1 -L /usr/aarch64-linux-gnu)
