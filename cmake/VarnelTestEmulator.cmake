# Some kernels cannot run 32-bit x86 programs at all (exec fails with "Exec
# format error"; seen in virtual machines that leave out the 32-bit system
# call layer). In a 32-bit build on such a machine the tests, and the
# programs they start, run under qemu-i386 (Debian qemu-user) instead.
#
# A cross build (toolchain-aarch64.cmake, toolchain-s390x.cmake) names its
# emulator, qemu-user with the target's library root, in the toolchain file.
#
# varnel_detect_test_emulator() sets VARNEL_TEST_EMULATOR in the caller's
# scope: empty where the build's programs run natively, else the emulator's
# command line as a list (program, then arguments). It also sets
# CMAKE_CROSSCOMPILING_EMULATOR, so that executable targets made after the
# call carry it (add_test and gtest_discover_tests prefix their commands
# with it).
function(varnel_detect_test_emulator)
  set(VARNEL_TEST_EMULATOR "" PARENT_SCOPE)
  if(CMAKE_CROSSCOMPILING)
    if(NOT CMAKE_CROSSCOMPILING_EMULATOR)
      message(FATAL_ERROR
        "The tests of this ${CMAKE_SYSTEM_NAME} ${CMAKE_SYSTEM_PROCESSOR} build need an emulator (qemu-user "
        "or Wine), which was not found: run scripts/setup, or configure with "
        "-DVARNEL_BUILD_TESTS=OFF.")
    endif()
    list(JOIN CMAKE_CROSSCOMPILING_EMULATOR " " emulator)
    message(STATUS "Cross build for ${CMAKE_SYSTEM_PROCESSOR}; the tests run under ${emulator}")
    set(VARNEL_TEST_EMULATOR "${CMAKE_CROSSCOMPILING_EMULATOR}" PARENT_SCOPE)
    return()
  endif()
  if(NOT CMAKE_SIZEOF_VOID_P EQUAL 4)
    return()
  endif()
  set(source ${CMAKE_BINARY_DIR}/CMakeFiles/VarnelRunCheck/check.c)
  file(WRITE ${source} "int main(void) { return 0; }\n")
  try_run(VARNEL_NATIVE_RUN VARNEL_NATIVE_COMPILE ${CMAKE_BINARY_DIR}/CMakeFiles/VarnelRunCheck ${source})
  if(NOT VARNEL_NATIVE_COMPILE)
    message(FATAL_ERROR "Cannot build a 32-bit test program; is g++-12-multilib installed?")
  endif()
  if("${VARNEL_NATIVE_RUN}" STREQUAL "0")
    return()
  endif()
  find_program(VARNEL_QEMU_I386 qemu-i386)
  if(NOT VARNEL_QEMU_I386)
    message(FATAL_ERROR
      "This machine cannot run 32-bit x86 programs (${VARNEL_NATIVE_RUN}), so the tests of this "
      "build need qemu-i386: install Debian's qemu-user (scripts/setup does), or configure with "
      "-DVARNEL_BUILD_TESTS=OFF.")
  endif()
  message(STATUS "32-bit programs do not run natively here; the tests run them under ${VARNEL_QEMU_I386}")
  set(VARNEL_TEST_EMULATOR ${VARNEL_QEMU_I386} PARENT_SCOPE)
  set(CMAKE_CROSSCOMPILING_EMULATOR ${VARNEL_QEMU_I386} PARENT_SCOPE)
endfunction()
