# Debian packages of a release build, made with CPack from its build tree:
#   cmake --preset x64-release && cmake --build --preset x64-release
#   (cd build/x64-release && cpack)      # build/x64-release/packages/*.deb
# Three packages, one per install component:
#   libvarnel-x64-1 / libvarnel1  the shared library (named after its soname,
#                                 libVarnel_x64.so.1 or libVarnel.so.1)
#   libvarnel-dev                 headers, CMake package, pkg-config file and
#                                 the link-time name libVarnel_x64.so
#   varnel-tools                  varnel-board and varnel-monitor
# The release presets install under /usr, so the library lands in the
# multiarch directory; amd64 packages come from x64-release, i386 ones from
# x86-release.
if(NOT CMAKE_SYSTEM_NAME STREQUAL "Linux")
  return()
endif()

if(CMAKE_LIBRARY_ARCHITECTURE STREQUAL "x86_64-linux-gnu")
  set(varnel_deb_arch amd64)
elseif(CMAKE_LIBRARY_ARCHITECTURE STREQUAL "i386-linux-gnu")
  set(varnel_deb_arch i386)
elseif(CMAKE_LIBRARY_ARCHITECTURE STREQUAL "aarch64-linux-gnu")
  set(varnel_deb_arch arm64)
elseif(CMAKE_LIBRARY_ARCHITECTURE STREQUAL "s390x-linux-gnu")
  set(varnel_deb_arch s390x)
else()
  return()
endif()

string(TOLOWER "${VARNEL_LIBRARY_NAME}" varnel_soname_base)
string(REPLACE "_" "-" varnel_soname_base "${varnel_soname_base}")
if(varnel_soname_base MATCHES "[0-9]$")
  set(varnel_runtime_package "lib${varnel_soname_base}-${PROJECT_VERSION_MAJOR}")
else()
  set(varnel_runtime_package "lib${varnel_soname_base}${PROJECT_VERSION_MAJOR}")
endif()
# A Debian revision of our own packaging.
set(varnel_deb_version "${PROJECT_VERSION}-1")

set(CPACK_GENERATOR DEB)
set(CPACK_PACKAGE_NAME varnel)
set(CPACK_PACKAGE_VENDOR "Varnel")
set(CPACK_PACKAGE_CONTACT "Varnel developers <varnel@localhost>")
set(CPACK_PACKAGE_DESCRIPTION_SUMMARY "${PROJECT_DESCRIPTION}")
set(CPACK_PACKAGE_VERSION ${PROJECT_VERSION})
set(CPACK_PACKAGING_INSTALL_PREFIX ${CMAKE_INSTALL_PREFIX})
set(CPACK_PACKAGE_DIRECTORY ${PROJECT_BINARY_DIR}/packages)
set(CPACK_STRIP_FILES ON)
# Tells the install rules that they fill a package for the system's
# directories: the tools keep no run path there (VarnelInstall).
set(CPACK_CUSTOM_INSTALL_VARIABLES "VARNEL_PACKAGE_INSTALL=ON")

set(CPACK_DEB_COMPONENT_INSTALL ON)
set(CPACK_COMPONENTS_ALL runtime development tools)
set(CPACK_DEBIAN_FILE_NAME DEB-DEFAULT)
set(CPACK_DEBIAN_PACKAGE_VERSION ${PROJECT_VERSION})
set(CPACK_DEBIAN_PACKAGE_RELEASE 1)
set(CPACK_DEBIAN_PACKAGE_ARCHITECTURE ${varnel_deb_arch})
set(CPACK_DEBIAN_PACKAGE_PRIORITY optional)
set(CPACK_DEBIAN_PACKAGE_HOMEPAGE "https://localhost/varnel")

set(CPACK_DEBIAN_RUNTIME_PACKAGE_NAME ${varnel_runtime_package})
set(CPACK_DEBIAN_RUNTIME_PACKAGE_SECTION libs)
set(CPACK_DEBIAN_RUNTIME_DESCRIPTION
    "${PROJECT_DESCRIPTION}: shared library\nReceives the live data stream of an Ostra6 board \
over TCP: one parser per board, an I/O thread that reads, checks and decodes packages and hands \
batches of them to a callback.")
# What the library's symbol versions need (as dpkg-shlibdeps reports them
# for the amd64 build; the i386 build uses the same symbols). Written out,
# since dpkg-shlibdeps cannot judge the i386 build on a multilib host.
set(varnel_runtime_depends "libc6 (>= 2.34), libgcc-s1 (>= 3.0), libstdc++6 (>= 11)")
set(CPACK_DEBIAN_RUNTIME_PACKAGE_DEPENDS "${varnel_runtime_depends}")
# A shlibs file for packages built against the library; CPack also adds
# the ldconfig calls after installing and removing.
set(CPACK_DEBIAN_PACKAGE_GENERATE_SHLIBS ON)
set(CPACK_DEBIAN_PACKAGE_GENERATE_SHLIBS_POLICY ">=")

set(CPACK_DEBIAN_DEVELOPMENT_PACKAGE_NAME libvarnel-dev)
set(CPACK_DEBIAN_DEVELOPMENT_PACKAGE_SECTION libdevel)
set(CPACK_DEBIAN_DEVELOPMENT_DESCRIPTION
    "${PROJECT_DESCRIPTION}: development files\nHeaders of the class and C interfaces, the CMake \
package Varnel::Varnel and the pkg-config file varnel.")
set(CPACK_DEBIAN_DEVELOPMENT_PACKAGE_DEPENDS "${varnel_runtime_package} (= ${varnel_deb_version})")

set(CPACK_DEBIAN_TOOLS_PACKAGE_NAME varnel-tools)
set(CPACK_DEBIAN_TOOLS_PACKAGE_SECTION science)
set(CPACK_DEBIAN_TOOLS_DESCRIPTION
    "${PROJECT_DESCRIPTION}: tools\nvarnel-board serves a simulated board; varnel-monitor \
watches a board's stream and can record it into an HDF5 file.")
# The tools use more of the C++ runtime than the library does: GCC 12's
# (GLIBCXX_3.4.30).
set(varnel_tools_depends
    "${varnel_runtime_package} (= ${varnel_deb_version}), libc6 (>= 2.34), libgcc-s1 (>= 3.0), libstdc++6 (>= 12)")
if(TARGET varnel-monitor)
  get_property(varnel_recording TARGET varnel-monitor PROPERTY VARNEL_RECORDING)
  if(varnel_recording)
    # Debian 12's HDF5 runtime, which the monitor's recording links.
    string(APPEND varnel_tools_depends ", libhdf5-103-1")
  endif()
endif()
if(TARGET varnel-board)
  get_property(varnel_nats TARGET varnel-board PROPERTY VARNEL_NATS)
  if(varnel_nats)
    # Debian 12's NATS client, which varnel-bridge and the NATS parts of the
    # board and the monitor link.
    string(APPEND varnel_tools_depends ", libnats3.4")
  endif()
endif()
if(TARGET varnel_capture)
  get_property(varnel_replay TARGET varnel_capture PROPERTY VARNEL_REPLAY)
  if(varnel_replay)
    # libpcap, which varnel-board --replay links.
    string(APPEND varnel_tools_depends ", libpcap0.8")
  endif()
endif()
set(CPACK_DEBIAN_TOOLS_PACKAGE_DEPENDS "${varnel_tools_depends}")

include(CPack)
