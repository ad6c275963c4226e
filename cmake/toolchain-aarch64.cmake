# 64-bit ARM Linux (aarch64) with Debian's cross compiler
# (g++-aarch64-linux-gnu). The target's C library, loader and C++ runtime
# live under /usr/aarch64-linux-gnu; programs of this build run here under
# qemu-aarch64 (Debian qemu-user), which takes them from there.
set(CMAKE_SYSTEM_NAME Linux)
set(CMAKE_SYSTEM_PROCESSOR aarch64)
set(VARNEL_CROSS_TRIPLET aarch64-linux-gnu)
include(${CMAKE_CURRENT_LIST_DIR}/toolchain-debian-cross.cmake)
