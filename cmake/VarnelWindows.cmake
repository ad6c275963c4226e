# Windows builds (MinGW-w64 toolchain files cmake/toolchain-mingw-*.cmake).
#
# Every program and DLL of the build goes to build/<preset>/bin, so that a
# program finds Varnel's DLL next to itself, as Windows looks for it.
set(CMAKE_RUNTIME_OUTPUT_DIRECTORY ${PROJECT_BINARY_DIR}/bin)

# The GCC runtime DLLs that the build's programs and DLL import: none on
# x86-64 (linked statically), libgcc's unwinder and winpthread on i386 (see
# cmake/toolchain-mingw-i686.cmake). They are copied next to the programs
# and installed next to the DLL.
set(VARNEL_RUNTIME_DLLS "")
if(CMAKE_SIZEOF_VOID_P EQUAL 4)
  foreach(dll libgcc_s_dw2-1.dll libwinpthread-1.dll)
    execute_process(COMMAND ${CMAKE_CXX_COMPILER} -print-file-name=${dll}
      OUTPUT_VARIABLE path OUTPUT_STRIP_TRAILING_WHITESPACE)
    if(NOT IS_ABSOLUTE "${path}" OR NOT EXISTS "${path}")
      message(FATAL_ERROR "${CMAKE_CXX_COMPILER} does not know where ${dll} is")
    endif()
    list(APPEND VARNEL_RUNTIME_DLLS ${path})
  endforeach()
  file(COPY ${VARNEL_RUNTIME_DLLS} DESTINATION ${CMAKE_RUNTIME_OUTPUT_DIRECTORY})
endif()

# The system DLLs that Windows has everywhere; the import test allows these
# and VARNEL_RUNTIME_DLLS, nothing else.
set(VARNEL_SYSTEM_DLLS kernel32.dll msvcrt.dll ws2_32.dll mswsock.dll advapi32.dll ntdll.dll ucrtbase.dll)
