# IBM Z Linux (s390x), a big-endian 64-bit CPU, with Debian's cross compiler
# (g++-s390x-linux-gnu). The target's C library, loader and C++ runtime live
# under /usr/s390x-linux-gnu; programs of this build run here under
# qemu-s390x (Debian qemu-user), which takes them from there.
set(CMAKE_SYSTEM_NAME Linux)
set(CMAKE_SYSTEM_PROCESSOR s390x)
set(VARNEL_CROSS_TRIPLET s390x-linux-gnu)
include(${CMAKE_CURRENT_LIST_DIR}/toolchain-debian-cross.cmake)
