cmake_minimum_required(VERSION 3.25)
# Installs the build in BUILD_DIR to a fresh prefix, builds the consumer
# project in SOURCE_DIR against it and runs its programs. With BOARD (the
# build's varnel-board) and ADDRESS, the C++ and the C program each also
# receive packages from a board started at the same time (one
# execute_process runs both; the board ends after its one client).
# A Windows consumer gets the installed DLLs next to its programs; EXE_SUFFIX
# is the programs' file name suffix (.exe there).
file(REMOVE_RECURSE ${WORK_DIR})
set(prefix ${WORK_DIR}/prefix)

include(${CMAKE_CURRENT_LIST_DIR}/CheckSupport.cmake)

run(${CMAKE_COMMAND} --install ${BUILD_DIR} --prefix ${prefix})

set(args -S ${SOURCE_DIR} -B ${WORK_DIR}/build -DCMAKE_PREFIX_PATH=${prefix} -DCMAKE_BUILD_TYPE=Debug)
if(TOOLCHAIN)
  # A cross toolchain searches only the target's roots; the install prefix
  # becomes one of them.
  list(APPEND args -DCMAKE_TOOLCHAIN_FILE=${TOOLCHAIN} -DCMAKE_FIND_ROOT_PATH=${prefix})
endif()
if(SANITIZE)
  list(APPEND args "-DCMAKE_CXX_FLAGS=-fsanitize=${SANITIZE}" "-DCMAKE_C_FLAGS=-fsanitize=${SANITIZE}")
endif()
set(ENV{PKG_CONFIG_PATH} ${prefix}/lib/pkgconfig)
run(${CMAKE_COMMAND} ${args})
run(${CMAKE_COMMAND} --build ${WORK_DIR}/build)
file(GLOB dlls ${prefix}/bin/*.dll)
if(dlls)
  file(COPY ${dlls} DESTINATION ${WORK_DIR}/build)
endif()
run(${EMULATOR} ${WORK_DIR}/build/consumer_cmake${EXE_SUFFIX})
run(${EMULATOR} ${WORK_DIR}/build/consumer_pkgconfig${EXE_SUFFIX})
run(${EMULATOR} ${WORK_DIR}/build/consumer_c${EXE_SUFFIX})
if(BOARD)
  foreach(program consumer_cmake consumer_c)
    execute_process(COMMAND ${EMULATOR} ${BOARD} --bind ${ADDRESS} --fast --clients 1 --duration 60 --quiet
                    COMMAND ${EMULATOR} ${WORK_DIR}/build/${program}${EXE_SUFFIX} ${ADDRESS}
                    RESULTS_VARIABLE results OUTPUT_VARIABLE out ERROR_VARIABLE err TIMEOUT 90)
    message(STATUS "${program} ${ADDRESS}: ${results}\n${out}${err}")
    if(NOT results STREQUAL "0;0")
      message(FATAL_ERROR "${program} against the board failed (${results}):\n${out}\n${err}")
    endif()
  endforeach()
endif()
