# CPack post-build script of the Debian packages (cmake/Package.cmake): each
# package has Depends (its binaries link the C and C++ runtimes at least) and
# the plug-in in a multiarch folder says Multi-Arch: same.
foreach(_tarn_deb IN LISTS CPACK_PACKAGE_FILES)
  execute_process(COMMAND dpkg-deb --field "${_tarn_deb}" Package
    OUTPUT_VARIABLE _tarn_package OUTPUT_STRIP_TRAILING_WHITESPACE)
  execute_process(COMMAND dpkg-deb --field "${_tarn_deb}" Depends
    OUTPUT_VARIABLE _tarn_depends OUTPUT_STRIP_TRAILING_WHITESPACE)
  execute_process(COMMAND dpkg-deb --field "${_tarn_deb}" Multi-Arch
    OUTPUT_VARIABLE _tarn_multiarch OUTPUT_STRIP_TRAILING_WHITESPACE)
  if(NOT _tarn_depends)
    message(FATAL_ERROR "package: no dependencies found for ${_tarn_package} (${_tarn_deb})")
  endif()
  list(FIND CPACK_TARN_MULTIARCH_PACKAGES "${_tarn_package}" _tarn_index)
  if(_tarn_index GREATER -1 AND NOT _tarn_multiarch STREQUAL "same")
    message(FATAL_ERROR "package: ${_tarn_deb} has no 'Multi-Arch: same'")
  endif()
endforeach()
