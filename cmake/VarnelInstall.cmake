# Install rules: headers, the shared library, a CMake config package
# (Varnel::Varnel), a pkg-config file and the tools, in three components:
# runtime (the library), development (headers, CMake and pkg-config files,
# the link-time name of the library) and tools (varnel-board,
# varnel-monitor). The Debian packages are made of these (VarnelPackaging).
include(GNUInstallDirs)
include(CMakePackageConfigHelpers)

# The library goes to lib/ under a plain prefix, and to the system's
# multiarch directory (lib/x86_64-linux-gnu, lib/i386-linux-gnu) under /usr,
# where the release builds install and package it.
set(VARNEL_INSTALL_LIBDIR ${CMAKE_INSTALL_LIBDIR})
set(VARNEL_INSTALL_CMAKEDIR ${VARNEL_INSTALL_LIBDIR}/cmake/Varnel)

install(TARGETS varnel EXPORT VarnelTargets
  LIBRARY DESTINATION ${VARNEL_INSTALL_LIBDIR} COMPONENT runtime NAMELINK_COMPONENT development
  ARCHIVE DESTINATION ${VARNEL_INSTALL_LIBDIR} COMPONENT development
  RUNTIME DESTINATION ${CMAKE_INSTALL_BINDIR} COMPONENT runtime)
if(WIN32 AND VARNEL_RUNTIME_DLLS)
  # The GCC runtime DLLs that the 32-bit DLL imports, next to it.
  install(FILES ${VARNEL_RUNTIME_DLLS} DESTINATION ${CMAKE_INSTALL_BINDIR} COMPONENT runtime)
endif()
install(DIRECTORY ${PROJECT_SOURCE_DIR}/include/varnel
  DESTINATION ${CMAKE_INSTALL_INCLUDEDIR}
  COMPONENT development
  FILES_MATCHING PATTERN "*.h" PATTERN "*.hpp")

install(EXPORT VarnelTargets
  NAMESPACE Varnel::
  FILE VarnelTargets.cmake
  DESTINATION ${VARNEL_INSTALL_CMAKEDIR}
  COMPONENT development)
# The build tree is a package of its own as well: find_package(Varnel) with
# Varnel_DIR set to the build folder finds VarnelConfig.cmake there, and
# these targets, which name the build's library and the source's headers.
export(EXPORT VarnelTargets NAMESPACE Varnel:: FILE ${PROJECT_BINARY_DIR}/VarnelTargets.cmake)

configure_package_config_file(${PROJECT_SOURCE_DIR}/cmake/VarnelConfig.cmake.in
  ${PROJECT_BINARY_DIR}/VarnelConfig.cmake
  INSTALL_DESTINATION ${VARNEL_INSTALL_CMAKEDIR})
# Not ARCH_INDEPENDENT: a 64-bit consumer must not pick up a 32-bit build.
write_basic_package_version_file(${PROJECT_BINARY_DIR}/VarnelConfigVersion.cmake
  COMPATIBILITY SameMajorVersion)
install(FILES ${PROJECT_BINARY_DIR}/VarnelConfig.cmake ${PROJECT_BINARY_DIR}/VarnelConfigVersion.cmake
  DESTINATION ${VARNEL_INSTALL_CMAKEDIR}
  COMPONENT development)

# The pkg-config file finds the prefix from its own place, so that the
# installed tree can be moved.
file(RELATIVE_PATH VARNEL_PC_PREFIX_FROM_PCFILE /root/${VARNEL_INSTALL_LIBDIR}/pkgconfig /root)
string(REGEX REPLACE "/$" "" VARNEL_PC_PREFIX_FROM_PCFILE "${VARNEL_PC_PREFIX_FROM_PCFILE}")
configure_file(${PROJECT_SOURCE_DIR}/cmake/varnel.pc.in ${PROJECT_BINARY_DIR}/varnel.pc @ONLY)
install(FILES ${PROJECT_BINARY_DIR}/varnel.pc DESTINATION ${VARNEL_INSTALL_LIBDIR}/pkgconfig
  COMPONENT development)

if(TARGET varnel-board AND TARGET varnel-monitor)
  # The installed monitor finds the installed library through a run path
  # relative to its own place, so that an install into any prefix runs as
  # it is (varnel-board links no library of ours). The Debian packages put
  # the library into the system's library directory, which the loader
  # searches anyway, and carry no run path: CPack's installs set
  # VARNEL_PACKAGE_INSTALL (VarnelPackaging), and the run path is removed
  # again. Windows finds the DLL next to the programs.
  if(NOT WIN32)
    file(RELATIVE_PATH varnel_bin_to_lib ${CMAKE_INSTALL_FULL_BINDIR} ${CMAKE_INSTALL_FULL_LIBDIR})
    set_target_properties(varnel-monitor PROPERTIES INSTALL_RPATH "$ORIGIN/${varnel_bin_to_lib}")
  endif()
  install(TARGETS varnel-board varnel-monitor RUNTIME DESTINATION ${CMAKE_INSTALL_BINDIR} COMPONENT tools)
  # varnel-bridge (where libnats is found) links the library as the monitor does.
  set(varnel_linked_tools varnel-monitor)
  if(TARGET varnel-bridge)
    set_target_properties(varnel-bridge PROPERTIES INSTALL_RPATH "$ORIGIN/${varnel_bin_to_lib}")
    install(TARGETS varnel-bridge RUNTIME DESTINATION ${CMAKE_INSTALL_BINDIR} COMPONENT tools)
    list(APPEND varnel_linked_tools varnel-bridge)
  endif()
  if(NOT WIN32)
    foreach(tool IN LISTS varnel_linked_tools)
      install(CODE "
        if(VARNEL_PACKAGE_INSTALL)
          file(RPATH_REMOVE FILE \"\$ENV{DESTDIR}\${CMAKE_INSTALL_PREFIX}/${CMAKE_INSTALL_BINDIR}/${tool}\")
        endif()"
        COMPONENT tools)
    endforeach()
  endif()
endif()

include(VarnelPackaging)
