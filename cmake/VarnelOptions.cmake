# Settings shared by every target of the project, applied per target.

# The name of the shared library follows the build: 64-bit debug Varnel_x64d,
# 64-bit release Varnel_x64, 32-bit debug Varneld, 32-bit release Varnel.
if(CMAKE_SIZEOF_VOID_P EQUAL 8)
  set(VARNEL_ARCH_SUFFIX "_x64")
else()
  set(VARNEL_ARCH_SUFFIX "")
endif()
if(CMAKE_BUILD_TYPE STREQUAL "Debug")
  set(VARNEL_LIBRARY_NAME "Varnel${VARNEL_ARCH_SUFFIX}d")
else()
  set(VARNEL_LIBRARY_NAME "Varnel${VARNEL_ARCH_SUFFIX}")
endif()

function(varnel_target_defaults target)
  target_compile_features(${target} PRIVATE cxx_std_20)
  set_target_properties(${target} PROPERTIES CXX_EXTENSIONS OFF)
  target_compile_options(${target} PRIVATE
    $<$<COMPILE_LANG_AND_ID:CXX,GNU,Clang>:-Wall -Wextra -Wpedantic>
    $<$<COMPILE_LANG_AND_ID:C,GNU,Clang>:-Wall -Wextra -Wpedantic>)
endfunction()
