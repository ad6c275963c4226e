# 32-bit Windows build with Debian's MinGW-w64 GCC, posix thread model
# (g++-mingw-w64-i686-posix), which std::thread needs.
#
# libstdc++ is linked statically. libgcc is not: this GCC unwinds i386
# exceptions with DWARF tables that each copy of libgcc's unwinder keeps in
# a registry of its own, so an exception thrown in one module (the DLL) and
# caught in another (the program, or the other way round for a throwing
# callback) reaches std::terminate unless both use the one unwinder of
# libgcc_s_dw2-1.dll (which imports libwinpthread-1.dll). Both DLLs are
# copied next to the build's programs and installed with the library.
set(CMAKE_SYSTEM_PROCESSOR x86)
set(VARNEL_WINE_PREFIX win32)
set(VARNEL_MINGW_TRIPLET i686-w64-mingw32)
set(CMAKE_EXE_LINKER_FLAGS_INIT "-static-libstdc++")
set(CMAKE_SHARED_LINKER_FLAGS_INIT "-static-libstdc++")
include(${CMAKE_CURRENT_LIST_DIR}/toolchain-mingw.cmake)
