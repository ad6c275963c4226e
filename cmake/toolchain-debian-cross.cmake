# Shared part of the toolchain files for Debian's Linux cross compilers;
# the including file sets CMAKE_SYSTEM_PROCESSOR and VARNEL_CROSS_TRIPLET.
if(NOT VARNEL_CROSS_TRIPLET)
  message(FATAL_ERROR "Use toolchain-aarch64.cmake or toolchain-s390x.cmake; this file is their shared part")
endif()
set(CMAKE_C_COMPILER ${VARNEL_CROSS_TRIPLET}-gcc)
set(CMAKE_CXX_COMPILER ${VARNEL_CROSS_TRIPLET}-g++)

# Libraries, headers and packages come from the target's roots only;
# programs run during the build (pkg-config, Python) are the host's. A
# project that uses an install of this build elsewhere names the install
# prefix as a further root (-DCMAKE_FIND_ROOT_PATH=PREFIX, besides
# CMAKE_PREFIX_PATH); paths inside a root are searched as they are.
list(APPEND CMAKE_FIND_ROOT_PATH /usr/${VARNEL_CROSS_TRIPLET})
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_PACKAGE ONLY)

# Tests and the programs they start run under qemu-user, with the target's
# loader and libraries taken from the root above. Without qemu-user the
# build still works; only its tests refuse to configure.
find_program(VARNEL_QEMU_${CMAKE_SYSTEM_PROCESSOR} qemu-${CMAKE_SYSTEM_PROCESSOR})
if(VARNEL_QEMU_${CMAKE_SYSTEM_PROCESSOR})
  set(CMAKE_CROSSCOMPILING_EMULATOR ${VARNEL_QEMU_${CMAKE_SYSTEM_PROCESSOR}} -L /usr/${VARNEL_CROSS_TRIPLET})
endif()
