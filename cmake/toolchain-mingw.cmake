# Shared by the two MinGW-w64 toolchain files, which set
# VARNEL_MINGW_TRIPLET, CMAKE_SYSTEM_PROCESSOR and VARNEL_WINE_PREFIX first:
# Debian's MinGW-w64 GCC of the posix thread model (std::thread needs it).
set(CMAKE_SYSTEM_NAME Windows)
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
# Windows programs of this build run under Wine, in the prefix of their
# word size.
set(CMAKE_CROSSCOMPILING_EMULATOR ${CMAKE_CURRENT_LIST_DIR}/../scripts/wine-run ${VARNEL_WINE_PREFIX})
