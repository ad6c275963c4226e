# Install rules: headers, the shared library, a CMake config package
# (Varnel::Varnel) and a pkg-config file.
include(GNUInstallDirs)
include(CMakePackageConfigHelpers)

# The library goes to lib/ in every build, as a plain prefix layout.
set(VARNEL_INSTALL_LIBDIR lib)
set(VARNEL_INSTALL_CMAKEDIR ${VARNEL_INSTALL_LIBDIR}/cmake/Varnel)

install(TARGETS varnel EXPORT VarnelTargets
  LIBRARY DESTINATION ${VARNEL_INSTALL_LIBDIR}
  ARCHIVE DESTINATION ${VARNEL_INSTALL_LIBDIR}
  RUNTIME DESTINATION ${CMAKE_INSTALL_BINDIR})
if(WIN32 AND VARNEL_RUNTIME_DLLS)
  # The GCC runtime DLLs that the 32-bit DLL imports, next to it.
  install(FILES ${VARNEL_RUNTIME_DLLS} DESTINATION ${CMAKE_INSTALL_BINDIR})
endif()
install(DIRECTORY ${PROJECT_SOURCE_DIR}/include/varnel
  DESTINATION ${CMAKE_INSTALL_INCLUDEDIR}
  FILES_MATCHING PATTERN "*.h" PATTERN "*.hpp")

install(EXPORT VarnelTargets
  NAMESPACE Varnel::
  FILE VarnelTargets.cmake
  DESTINATION ${VARNEL_INSTALL_CMAKEDIR})

configure_package_config_file(${PROJECT_SOURCE_DIR}/cmake/VarnelConfig.cmake.in
  ${PROJECT_BINARY_DIR}/VarnelConfig.cmake
  INSTALL_DESTINATION ${VARNEL_INSTALL_CMAKEDIR})
# Not ARCH_INDEPENDENT: a 64-bit consumer must not pick up a 32-bit build.
write_basic_package_version_file(${PROJECT_BINARY_DIR}/VarnelConfigVersion.cmake
  COMPATIBILITY SameMajorVersion)
install(FILES ${PROJECT_BINARY_DIR}/VarnelConfig.cmake ${PROJECT_BINARY_DIR}/VarnelConfigVersion.cmake
  DESTINATION ${VARNEL_INSTALL_CMAKEDIR})

configure_file(${PROJECT_SOURCE_DIR}/cmake/varnel.pc.in ${PROJECT_BINARY_DIR}/varnel.pc @ONLY)
install(FILES ${PROJECT_BINARY_DIR}/varnel.pc DESTINATION ${VARNEL_INSTALL_LIBDIR}/pkgconfig)
