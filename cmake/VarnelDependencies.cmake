# Boost (Asio, System, Date_Time) is header-only in 1.74; fmt is used in
# header-only mode, so the shared library depends on Boost headers alone at
# build time and on nothing beyond the C++ runtime when installed.

find_path(VARNEL_BOOST_INCLUDE_DIR boost/asio.hpp REQUIRED)
find_path(VARNEL_FMT_INCLUDE_DIR fmt/format.h REQUIRED)

add_library(varnel_boost INTERFACE)
target_include_directories(varnel_boost SYSTEM INTERFACE ${VARNEL_BOOST_INCLUDE_DIR})
target_link_libraries(varnel_boost INTERFACE Threads::Threads)

add_library(varnel_fmt INTERFACE)
target_include_directories(varnel_fmt SYSTEM INTERFACE ${VARNEL_FMT_INCLUDE_DIR})
target_compile_definitions(varnel_fmt INTERFACE FMT_HEADER_ONLY=1)
