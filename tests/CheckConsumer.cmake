cmake_minimum_required(VERSION 3.25)
# Installs the build in BUILD_DIR to a fresh prefix, builds the consumer
# project in SOURCE_DIR against it and runs both of its programs.
file(REMOVE_RECURSE ${WORK_DIR})
set(prefix ${WORK_DIR}/prefix)

function(run)
  execute_process(COMMAND ${ARGN} RESULT_VARIABLE rc OUTPUT_VARIABLE out ERROR_VARIABLE err)
  if(NOT rc EQUAL 0)
    message(FATAL_ERROR "Failed (${rc}): ${ARGN}\n${out}\n${err}")
  endif()
  message(STATUS "${out}")
endfunction()

run(${CMAKE_COMMAND} --install ${BUILD_DIR} --prefix ${prefix})

set(args -S ${SOURCE_DIR} -B ${WORK_DIR}/build -DCMAKE_PREFIX_PATH=${prefix} -DCMAKE_BUILD_TYPE=Debug)
if(TOOLCHAIN)
  # A cross toolchain searches only the target's roots; the install prefix
  # becomes one of them.
  list(APPEND args -DCMAKE_TOOLCHAIN_FILE=${TOOLCHAIN} -DCMAKE_FIND_ROOT_PATH=${prefix})
endif()
if(SANITIZE)
  list(APPEND args "-DCMAKE_CXX_FLAGS=-fsanitize=${SANITIZE}")
endif()
set(ENV{PKG_CONFIG_PATH} ${prefix}/lib/pkgconfig)
run(${CMAKE_COMMAND} ${args})
run(${CMAKE_COMMAND} --build ${WORK_DIR}/build)
run(${EMULATOR} ${WORK_DIR}/build/consumer_cmake)
run(${EMULATOR} ${WORK_DIR}/build/consumer_pkgconfig)
