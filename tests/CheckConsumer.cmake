cmake_minimum_required(VERSION 3.25)
# Installs the build in BUILD_DIR to a fresh prefix, builds the consumer
# project in SOURCE_DIR against it and runs its programs; then builds its
# CMake programs against the build tree itself (Varnel_DIR) and runs them.
# With TOOLS (the build has varnel-board and varnel-monitor) and ADDRESS,
# the installed board runs from the prefix, and the C++ and the C program
# and the installed monitor each receive packages from it (one
# execute_process runs both; the board ends after its one client): the
# installed tools find the installed library by themselves.
# A Windows consumer gets the installed DLLs next to its programs; EXE_SUFFIX
# is the programs' file name suffix (.exe there).
file(REMOVE_RECURSE ${WORK_DIR})
set(prefix ${WORK_DIR}/prefix)

include(${CMAKE_CURRENT_LIST_DIR}/CheckSupport.cmake)

run(${CMAKE_COMMAND} --install ${BUILD_DIR} --prefix ${prefix})

set(args -DCMAKE_BUILD_TYPE=Debug)
if(TOOLCHAIN)
  # A cross toolchain searches only the target's roots; the install prefix
  # becomes one of them.
  list(APPEND args -DCMAKE_TOOLCHAIN_FILE=${TOOLCHAIN} -DCMAKE_FIND_ROOT_PATH=${prefix})
endif()
if(SANITIZE)
  list(APPEND args "-DCMAKE_CXX_FLAGS=-fsanitize=${SANITIZE}" "-DCMAKE_C_FLAGS=-fsanitize=${SANITIZE}")
endif()
set(ENV{PKG_CONFIG_PATH} ${prefix}/lib/pkgconfig)
run(${CMAKE_COMMAND} -S ${SOURCE_DIR} -B ${WORK_DIR}/build -DCMAKE_PREFIX_PATH=${prefix} ${args})
run(${CMAKE_COMMAND} --build ${WORK_DIR}/build)
file(GLOB dlls ${prefix}/bin/*.dll)
if(dlls)
  file(COPY ${dlls} DESTINATION ${WORK_DIR}/build)
endif()
run(${EMULATOR} ${WORK_DIR}/build/consumer_cmake${EXE_SUFFIX})
run(${EMULATOR} ${WORK_DIR}/build/consumer_pkgconfig${EXE_SUFFIX})
run(${EMULATOR} ${WORK_DIR}/build/consumer_c${EXE_SUFFIX})

# The build tree as the package: without the pkg-config program, whose file
# describes installed paths only.
run(${CMAKE_COMMAND} -S ${SOURCE_DIR} -B ${WORK_DIR}/build-tree -DVarnel_DIR=${BUILD_DIR} -DCONSUMER_PKGCONFIG=OFF
    ${args})
run(${CMAKE_COMMAND} --build ${WORK_DIR}/build-tree)
if(dlls)
  file(COPY ${dlls} DESTINATION ${WORK_DIR}/build-tree)
endif()
run(${EMULATOR} ${WORK_DIR}/build-tree/consumer_cmake${EXE_SUFFIX})
run(${EMULATOR} ${WORK_DIR}/build-tree/consumer_c${EXE_SUFFIX})

if(TOOLS)
  set(board ${prefix}/bin/varnel-board${EXE_SUFFIX})
  foreach(client consumer_cmake consumer_c varnel-monitor)
    if(client STREQUAL "varnel-monitor")
      set(command ${prefix}/bin/varnel-monitor${EXE_SUFFIX} ${ADDRESS} --retry 10 --count 50 --quiet)
    else()
      set(command ${WORK_DIR}/build/${client}${EXE_SUFFIX} ${ADDRESS})
    endif()
    # Board and client start together; a client that connects once may
    # come before the board listens (seen under Wine): it tries again with a
    # new board, at most three times in all.
    foreach(attempt RANGE 1 3)
      execute_process(COMMAND ${EMULATOR} ${board} --bind ${ADDRESS} --fast --clients 1 --duration 60 --quiet
                      COMMAND ${EMULATOR} ${command}
                      RESULTS_VARIABLE results OUTPUT_VARIABLE out ERROR_VARIABLE err TIMEOUT 90)
      message(STATUS "${client} ${ADDRESS}: ${results}\n${out}${err}")
      if(NOT "${out}${err}" MATCHES "Connection refused")
        break()
      endif()
    endforeach()
    if(NOT results STREQUAL "0;0")
      message(FATAL_ERROR "${client} against the installed board failed (${results}):\n${out}\n${err}")
    endif()
  endforeach()
endif()
