# 64-bit Windows build with Debian's MinGW-w64 GCC, posix thread model
# (g++-mingw-w64-x86-64-posix), which std::thread needs.
#
# Every program and DLL links libstdc++, libgcc and winpthread statically
# (-static), so that it imports only Windows system DLLs. On x86-64 an
# exception unwinds through the system's table-based unwinder, so it crosses
# from a DLL into a program (and back) although each has its own copy of
# the runtime.
set(CMAKE_SYSTEM_PROCESSOR AMD64)
set(VARNEL_WINE_PREFIX win64)
set(VARNEL_MINGW_TRIPLET x86_64-w64-mingw32)
set(CMAKE_EXE_LINKER_FLAGS_INIT "-static")
set(CMAKE_SHARED_LINKER_FLAGS_INIT "-static")
include(${CMAKE_CURRENT_LIST_DIR}/toolchain-mingw.cmake)
