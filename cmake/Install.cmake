# Install rules, in two components that CPack turns into the two Debian
# packages of an architecture (cmake/Package.cmake):
#   plugin  the plug-in shared object, in TARN_PLUGIN_DIR
#   tools   the host program and the simulated inverter, with their man pages
# Configure with -DCMAKE_INSTALL_PREFIX=/usr for the Debian layout: then
# CMAKE_INSTALL_LIBDIR is lib/<multiarch> (e.g. lib/arm-linux-gnueabihf), so
# the plug-ins of two architectures can be installed side by side.
# GNUInstallDirs picks lib/<multiarch> in native builds only; a cross build
# for Debian gets the same layout. The target's Debian is the sysroot's in a
# sysroot build, else this machine's (the multiarch route builds for it);
# TARN_DEBIAN_RELEASE is its major number ("11.11" or "13.8" in
# etc/debian_version), empty for a testing release ("trixie/sid").
set(_tarn_debian_version_file "${CMAKE_SYSROOT}/etc/debian_version")  # no sysroot: /etc
set(TARN_DEBIAN_RELEASE "")
if(EXISTS "${_tarn_debian_version_file}")
  file(STRINGS "${_tarn_debian_version_file}" _tarn_debian_version LIMIT_COUNT 1)
  if(_tarn_debian_version MATCHES "^([0-9]+)(\\.|$)")
    set(TARN_DEBIAN_RELEASE "${CMAKE_MATCH_1}")
  endif()
endif()
if(CMAKE_CROSSCOMPILING AND CMAKE_LIBRARY_ARCHITECTURE
   AND CMAKE_INSTALL_PREFIX STREQUAL "/usr" AND EXISTS "${_tarn_debian_version_file}")
  set(CMAKE_INSTALL_LIBDIR "lib/${CMAKE_LIBRARY_ARCHITECTURE}" CACHE PATH
    "Object code libraries (LIBDIR)")
endif()
include(GNUInstallDirs)

set(TARN_PLUGIN_DIR "${CMAKE_INSTALL_LIBDIR}/tarn/plugins" CACHE STRING
  "Folder the plug-in is installed into (relative to the install prefix)")

install(TARGETS SocketSNMP_KEHUA_INVERTER
  LIBRARY DESTINATION "${TARN_PLUGIN_DIR}" COMPONENT plugin)

# What scripts/package.sh, cmake/Package.cmake and the man pages use: the
# plug-in's folder as an absolute path on the target.
if(IS_ABSOLUTE "${TARN_PLUGIN_DIR}")
  set(TARN_PLUGIN_PATH "${TARN_PLUGIN_DIR}")
else()
  set(TARN_PLUGIN_PATH "${CMAKE_INSTALL_PREFIX}/${TARN_PLUGIN_DIR}")
endif()
get_target_property(_tarn_plugin_name SocketSNMP_KEHUA_INVERTER OUTPUT_NAME)
if(NOT _tarn_plugin_name)
  set(_tarn_plugin_name SocketSNMP_KEHUA_INVERTER)
endif()
set(TARN_PLUGIN_FILE "lib${_tarn_plugin_name}${CMAKE_SHARED_LIBRARY_SUFFIX}")

set(_tarn_tools tarn_host)
if(TARGET inverter_sim)
  list(APPEND _tarn_tools inverter_sim)
endif()
install(TARGETS ${_tarn_tools} RUNTIME DESTINATION "${CMAKE_INSTALL_BINDIR}"
  COMPONENT tools)
foreach(tool IN LISTS _tarn_tools)
  configure_file("${PROJECT_SOURCE_DIR}/packaging/man/${tool}.1.in"
    "${PROJECT_BINARY_DIR}/man/${tool}.1" @ONLY)
  install(FILES "${PROJECT_BINARY_DIR}/man/${tool}.1"
    DESTINATION "${CMAKE_INSTALL_MANDIR}/man1" COMPONENT tools)
endforeach()

file(WRITE "${PROJECT_BINARY_DIR}/package.env"
"TARN_VERSION=${PROJECT_VERSION}
TARN_PLUGIN_PATH=${TARN_PLUGIN_PATH}
TARN_PLUGIN_FILE=${TARN_PLUGIN_FILE}
TARN_MULTIARCH=${CMAKE_LIBRARY_ARCHITECTURE}
TARN_STRIP=${CMAKE_STRIP}
TARN_DEBIAN_RELEASE=${TARN_DEBIAN_RELEASE}
")
