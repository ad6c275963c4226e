# Boost (Asio, System) is header-only in 1.74; fmt is used in header-only
# mode, so the shared library depends on Boost headers alone at build time
# and on nothing beyond the C++ runtime when installed.
#
# A cross compiler (MinGW-w64, aarch64, s390x) must not see /usr/include,
# which holds the host C library's headers. Since Boost and fmt are
# header-only, such a build gets a folder of its own that holds just two
# links, boost/ and fmt/, to Debian's headers.

if(CMAKE_CROSSCOMPILING)
  find_path(VARNEL_HOST_BOOST_DIR boost/asio.hpp PATHS /usr/include NO_DEFAULT_PATH NO_CMAKE_FIND_ROOT_PATH REQUIRED)
  find_path(VARNEL_HOST_FMT_DIR fmt/format.h PATHS /usr/include NO_DEFAULT_PATH NO_CMAKE_FIND_ROOT_PATH REQUIRED)
  set(VARNEL_CROSS_INCLUDE_DIR ${CMAKE_BINARY_DIR}/cross-include)
  file(MAKE_DIRECTORY ${VARNEL_CROSS_INCLUDE_DIR})
  file(CREATE_LINK ${VARNEL_HOST_BOOST_DIR}/boost ${VARNEL_CROSS_INCLUDE_DIR}/boost SYMBOLIC)
  file(CREATE_LINK ${VARNEL_HOST_FMT_DIR}/fmt ${VARNEL_CROSS_INCLUDE_DIR}/fmt SYMBOLIC)
  set(VARNEL_BOOST_INCLUDE_DIR ${VARNEL_CROSS_INCLUDE_DIR})
  set(VARNEL_FMT_INCLUDE_DIR ${VARNEL_CROSS_INCLUDE_DIR})
else()
  find_path(VARNEL_BOOST_INCLUDE_DIR boost/asio.hpp REQUIRED)
  find_path(VARNEL_FMT_INCLUDE_DIR fmt/format.h REQUIRED)
endif()

add_library(varnel_boost INTERFACE)
target_include_directories(varnel_boost SYSTEM INTERFACE ${VARNEL_BOOST_INCLUDE_DIR})
target_link_libraries(varnel_boost INTERFACE Threads::Threads)

add_library(varnel_fmt INTERFACE)
target_include_directories(varnel_fmt SYSTEM INTERFACE ${VARNEL_FMT_INCLUDE_DIR})
target_compile_definitions(varnel_fmt INTERFACE FMT_HEADER_ONLY=1)
