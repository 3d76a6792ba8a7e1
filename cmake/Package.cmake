# Debian packages by CPack: the install components of cmake/Install.cmake
# become one package each (`cpack` in the build folder; scripts/package.sh
# runs it per target):
#   plugin -> tarn-inverter-plugin   tools -> tarn-inverter-tools
# Version: the project's, VERSION+debN in a sysroot build (N: the major number
# of the sysroot's etc/debian_version). Depends come from the binaries
# (dpkg-shlibdeps, for the target's architecture). The files CPack does not
# make (stripping, man pages gzipped, copyright, changelog) are done in the
# staging folder by cmake/PackageStage.cmake; cmake/PackageCheck.cmake checks
# the packages made.
# CPack scripts: PackageEnvironment.cmake (start), PackageStage.cmake (before
# the packages are made), PackageCheck.cmake (after).
if(CMAKE_VERSION VERSION_LESS 3.20)
  # Pre- and post-build scripts (3.19), shlibdeps search folders (3.20).
  message(STATUS "Debian packages (cpack): need CMake 3.20, this is ${CMAKE_VERSION}")
  return()
endif()

set(TARN_PACKAGE_SOURCE tarn-inverter)
set(TARN_PACKAGE_VERSION "${PROJECT_VERSION}")
# A sysroot build is for one Debian release; its packages name it.
set(TARN_PACKAGE_RELEASE "")
set(TARN_PACKAGE_DISTRIBUTION unstable)
if(CMAKE_SYSROOT)
  set(TARN_PACKAGE_RELEASE "${TARN_DEBIAN_RELEASE}")  # cmake/Install.cmake
  if(TARN_PACKAGE_RELEASE)
    string(APPEND TARN_PACKAGE_VERSION "+deb${TARN_PACKAGE_RELEASE}")
  endif()
  if(EXISTS "${CMAKE_SYSROOT}/etc/os-release")
    file(STRINGS "${CMAKE_SYSROOT}/etc/os-release" _tarn_codename
      REGEX "^VERSION_CODENAME=." LIMIT_COUNT 1)
    if(_tarn_codename MATCHES "^VERSION_CODENAME=\"?([^\"]+)")
      set(TARN_PACKAGE_DISTRIBUTION "${CMAKE_MATCH_1}")
    endif()
  endif()
endif()

# The Debian architecture of the target, from its multiarch triplet.
set(_tarn_deb_arch "")
find_program(TARN_DPKG_ARCHITECTURE dpkg-architecture)
mark_as_advanced(TARN_DPKG_ARCHITECTURE)
if(TARN_DPKG_ARCHITECTURE AND CMAKE_LIBRARY_ARCHITECTURE)
  execute_process(COMMAND "${TARN_DPKG_ARCHITECTURE}" -t${CMAKE_LIBRARY_ARCHITECTURE}
      -qDEB_HOST_ARCH
    OUTPUT_VARIABLE _tarn_deb_arch OUTPUT_STRIP_TRAILING_WHITESPACE ERROR_QUIET)
endif()
if(NOT _tarn_deb_arch)
  message(STATUS "Debian packages (cpack): no Debian architecture for "
    "'${CMAKE_LIBRARY_ARCHITECTURE}' (dpkg-architecture): no packages")
  return()
endif()

set(CPACK_GENERATOR DEB)
set(CPACK_PACKAGE_NAME "${TARN_PACKAGE_SOURCE}")
set(CPACK_PACKAGE_VERSION "${TARN_PACKAGE_VERSION}")
set(CPACK_PACKAGE_CONTACT "Plug-in Dev <dev@example.invalid>")  # TARN_MAINTAINER overrides
# Installed as `cmake --install` with DESTDIR does: an absolute
# TARN_PLUGIN_DIR lands where it says.
set(CPACK_SET_DESTDIR ON)
set(CPACK_INSTALL_PREFIX "${CMAKE_INSTALL_PREFIX}")
set(CPACK_STRIP_FILES OFF)  # stripped as Debian strips: PackageStage.cmake
set(CPACK_DEB_COMPONENT_INSTALL ON)
set(CPACK_COMPONENTS_ALL plugin tools)
set(CPACK_DEBIAN_FILE_NAME DEB-DEFAULT)  # NAME_VERSION_ARCH.deb
set(CPACK_DEBIAN_PACKAGE_ARCHITECTURE "${_tarn_deb_arch}")
set(CPACK_DEBIAN_PACKAGE_SOURCE "${TARN_PACKAGE_SOURCE}")
set(CPACK_DEBIAN_PACKAGE_SECTION net)
set(CPACK_DEBIAN_PACKAGE_PRIORITY optional)
set(CPACK_DEBIAN_COMPRESSION_TYPE xz)
set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS ON)

set(CPACK_DEBIAN_PLUGIN_PACKAGE_NAME tarn-inverter-plugin)
set(CPACK_DEBIAN_PLUGIN_DESCRIPTION "UPS inverter plug-in for the monitoring host
Device-driver plug-in that watches UPS inverters over SNMP. The
monitoring host loads the shared object from its plug-in folder and
obtains its provider through the exported get_providers; each device
walks one inverter's readings every round, publishes a 75-byte record
and reports six alarms.")
# Plug-ins of several architectures install side by side only in a
# multiarch folder. CPack has no variable for the Multi-Arch field; it
# writes each field as "Name: value" lines, so the field follows the
# Source value on a line of its own (PackageCheck.cmake checks it).
if("${TARN_PLUGIN_PATH}/" MATCHES "/${CMAKE_LIBRARY_ARCHITECTURE}/")
  set(CPACK_DEBIAN_PLUGIN_PACKAGE_SOURCE "${TARN_PACKAGE_SOURCE}\nMulti-Arch: same")
  set(TARN_PACKAGE_MULTIARCH tarn-inverter-plugin)
else()
  set(TARN_PACKAGE_MULTIARCH "")
endif()

set(CPACK_DEBIAN_TOOLS_PACKAGE_NAME tarn-inverter-tools)
set(CPACK_DEBIAN_TOOLS_DESCRIPTION "host program and simulated inverter for the UPS inverter plug-in
tarn_host loads a device plug-in as the monitoring host does, runs its
devices for a number of rounds and writes every call they make into
the host to an events file. inverter_sim is a simulated UPS inverter:
an SNMP agent serving a JSON profile with a timeline.")

# Read by the CPack scripts (CPack keeps the CPACK_ variables only).
set(CPACK_TARN_RELEASE "${TARN_PACKAGE_RELEASE}")
set(CPACK_TARN_DISTRIBUTION "${TARN_PACKAGE_DISTRIBUTION}")
set(CPACK_TARN_SYSROOT "${CMAKE_SYSROOT}")
set(CPACK_TARN_MULTIARCH_PACKAGES "${TARN_PACKAGE_MULTIARCH}")
set(CPACK_TARN_STRIP "${CMAKE_STRIP}")
set(CPACK_TARN_COPYRIGHT "${PROJECT_SOURCE_DIR}/packaging/copyright")
set(CPACK_TARN_UPSTREAM_VERSION "${PROJECT_VERSION}")
set(CPACK_PROJECT_CONFIG_FILE "${CMAKE_CURRENT_LIST_DIR}/PackageEnvironment.cmake")
set(CPACK_PRE_BUILD_SCRIPTS "${CMAKE_CURRENT_LIST_DIR}/PackageStage.cmake")
set(CPACK_POST_BUILD_SCRIPTS "${CMAKE_CURRENT_LIST_DIR}/PackageCheck.cmake")
include(CPack)
