# 64-bit Windows build with Debian's MinGW-w64 GCC, posix thread model
# (g++-mingw-w64-x86-64-posix), which std::thread needs.
#
# Every program and DLL links libstdc++, libgcc and winpthread statically
# (-static), so that it imports only Windows system DLLs. On x86-64 an
# exception unwinds through the system's table-based unwinder, so it crosses
# from a DLL into a program (and back) although each has its own copy of
# the runtime.
set(CMAKE_SYSTEM_NAME Windows)
set(CMAKE_SYSTEM_PROCESSOR AMD64)
set(VARNEL_MINGW_TRIPLET x86_64-w64-mingw32)
set(CMAKE_C_COMPILER ${VARNEL_MINGW_TRIPLET}-gcc-posix)
set(CMAKE_CXX_COMPILER ${VARNEL_MINGW_TRIPLET}-g++-posix)
set(CMAKE_RC_COMPILER ${VARNEL_MINGW_TRIPLET}-windres)
list(APPEND CMAKE_FIND_ROOT_PATH /usr/${VARNEL_MINGW_TRIPLET})
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE ONLY)
# Packages also outside the MinGW root: an application finds an installed
# Windows Varnel through CMAKE_PREFIX_PATH (its package refuses other
# platforms).
set(CMAKE_FIND_ROOT_PATH_MODE_PACKAGE BOTH)
set(CMAKE_EXE_LINKER_FLAGS_INIT "-static")
set(CMAKE_SHARED_LINKER_FLAGS_INIT "-static")
# Windows programs of this build run under Wine, in a 64-bit prefix.
set(CMAKE_CROSSCOMPILING_EMULATOR ${CMAKE_CURRENT_LIST_DIR}/../scripts/wine-run win64)
