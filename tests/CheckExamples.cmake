cmake_minimum_required(VERSION 3.25)
# Installs the build in BUILD_DIR to a fresh prefix, builds the example
# programs in SOURCE_DIR (c/ and cpp/) against it, and runs each without a
# board: with no address it prints its usage, with REFUSED_ADDRESS (where
# nothing listens) it reports the failed connect with its code; both times
# it exits with a failure status. EXE_SUFFIX is the programs' file name
# suffix (.exe for Windows).
file(REMOVE_RECURSE ${WORK_DIR})
set(prefix ${WORK_DIR}/prefix)

include(${CMAKE_CURRENT_LIST_DIR}/CheckSupport.cmake)

# Runs a program that must fail and print text matching `pattern`.
function(expect_failure pattern)
  execute_process(COMMAND ${ARGN} RESULT_VARIABLE rc OUTPUT_VARIABLE out ERROR_VARIABLE err TIMEOUT 60)
  message(STATUS "${ARGN} -> ${rc}\n${out}${err}")
  if(rc EQUAL 0 OR NOT rc MATCHES "^[0-9]+$")
    message(FATAL_ERROR "Expected a failure status from ${ARGN}, got ${rc}")
  endif()
  if(NOT "${out}${err}" MATCHES "${pattern}")
    message(FATAL_ERROR "Expected '${pattern}' from ${ARGN}:\n${out}\n${err}")
  endif()
endfunction()

run(${CMAKE_COMMAND} --install ${BUILD_DIR} --prefix ${prefix})

foreach(example c cpp)
  set(build ${WORK_DIR}/build-${example})
  set(args -S ${SOURCE_DIR}/${example} -B ${build} -DCMAKE_PREFIX_PATH=${prefix} -DCMAKE_BUILD_TYPE=Debug)
  if(TOOLCHAIN)
    # A cross toolchain searches only the target's roots; the install prefix
    # becomes one of them.
    list(APPEND args -DCMAKE_TOOLCHAIN_FILE=${TOOLCHAIN} -DCMAKE_FIND_ROOT_PATH=${prefix})
  endif()
  if(SANITIZE)
    list(APPEND args "-DCMAKE_C_FLAGS=-fsanitize=${SANITIZE}" "-DCMAKE_CXX_FLAGS=-fsanitize=${SANITIZE}")
  endif()
  run(${CMAKE_COMMAND} ${args})
  run(${CMAKE_COMMAND} --build ${build})
  # A Windows program finds the installed DLLs next to itself.
  file(GLOB dlls ${prefix}/bin/*.dll)
  if(dlls)
    file(COPY ${dlls} DESTINATION ${build})
  endif()
  set(program ${build}/varnel_${example}_example${EXE_SUFFIX})
  expect_failure("usage: " ${EMULATOR} ${program})
  # The code and the library's text of the failed connect.
  expect_failure("error 1[^\n]*: start: " ${EMULATOR} ${program} ${REFUSED_ADDRESS})
endforeach()
