# CPack's project configuration for the Debian packages (cmake/Package.cmake):
# run by cpack before it installs, it sets what the DEB generator and
# dpkg-shlibdeps need from the environment.
if(NOT CPACK_GENERATOR STREQUAL "DEB")
  return()
endif()

if(DEFINED ENV{TARN_MAINTAINER} AND NOT "$ENV{TARN_MAINTAINER}" STREQUAL "")
  set(CPACK_DEBIAN_PACKAGE_MAINTAINER "$ENV{TARN_MAINTAINER}")
endif()

# dpkg-shlibdeps works for the architecture in DEB_HOST_ARCH and the rest of
# dpkg-architecture's variables (by default this machine's).
execute_process(COMMAND dpkg-architecture -a${CPACK_DEBIAN_PACKAGE_ARCHITECTURE} -l
  OUTPUT_VARIABLE _tarn_arch_vars RESULT_VARIABLE _tarn_rc ERROR_QUIET)
if(NOT _tarn_rc EQUAL 0)
  message(FATAL_ERROR "package: dpkg-architecture knows no architecture "
    "'${CPACK_DEBIAN_PACKAGE_ARCHITECTURE}'")
endif()
string(REGEX MATCHALL "[A-Z_]+=[^\n]*" _tarn_arch_vars "${_tarn_arch_vars}")
foreach(_tarn_var IN LISTS _tarn_arch_vars)
  string(REGEX MATCH "^([A-Z_]+)=(.*)$" _tarn_var "${_tarn_var}")
  set(ENV{${CMAKE_MATCH_1}} "${CMAKE_MATCH_2}")
endforeach()

# A sysroot build's Depends are its release's: dpkg-shlibdeps takes the
# libraries from the sysroot (CPACK_DEBIAN_PACKAGE_SHLIBDEPS_PRIVATE_DIRS)
# and their owners, shlibs and symbols from a view of its dpkg database
# (CPACK_TARN_ADMINDIR); scripts/package.sh --sysroot gives both.
if(CPACK_TARN_SYSROOT)
  if(NOT CPACK_TARN_RELEASE)
    message(FATAL_ERROR "package: no release number in ${CPACK_TARN_SYSROOT}/etc/debian_version")
  endif()
  if(NOT CPACK_TARN_ADMINDIR OR NOT IS_DIRECTORY "${CPACK_TARN_ADMINDIR}"
     OR NOT CPACK_DEBIAN_PACKAGE_SHLIBDEPS_PRIVATE_DIRS)
    message(FATAL_ERROR "package: a build against ${CPACK_TARN_SYSROOT} needs its dpkg "
      "database and libraries (cpack -D CPACK_TARN_ADMINDIR=... -D "
      "CPACK_DEBIAN_PACKAGE_SHLIBDEPS_PRIVATE_DIRS=...): use scripts/package.sh --sysroot")
  endif()
  set(ENV{DPKG_ADMINDIR} "${CPACK_TARN_ADMINDIR}")  # as dpkg-shlibdeps --admindir
endif()
