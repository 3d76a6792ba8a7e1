# CPack pre-build script of the Debian packages (cmake/Package.cmake): in each
# component's staging folder, the files Debian's tools would make or change
# and CPack does not: binaries stripped as Debian strips them, man pages
# gzipped, the copyright and a changelog in /usr/share/doc/PACKAGE.
file(GLOB _tarn_stages LIST_DIRECTORIES true "${CPACK_TEMPORARY_INSTALL_DIRECTORY}/*")
string(TIMESTAMP _tarn_date "%a, %d %b %Y %H:%M:%S +0000" UTC)  # SOURCE_DATE_EPOCH
set(_tarn_maintainer "${CPACK_DEBIAN_PACKAGE_MAINTAINER}")
if(NOT _tarn_maintainer)
  set(_tarn_maintainer "${CPACK_PACKAGE_CONTACT}")
endif()

function(tarn_run)
  execute_process(COMMAND ${ARGN} RESULT_VARIABLE rc ERROR_VARIABLE err)
  if(NOT rc EQUAL 0)
    message(FATAL_ERROR "package: ${ARGV0} failed: ${err}")
  endif()
endfunction()

foreach(_tarn_stage IN LISTS _tarn_stages)
  if(NOT IS_DIRECTORY "${_tarn_stage}")
    continue()
  endif()
  get_filename_component(_tarn_component "${_tarn_stage}" NAME)
  string(TOUPPER "${_tarn_component}" _tarn_upper)
  set(_tarn_package "${CPACK_DEBIAN_${_tarn_upper}_PACKAGE_NAME}")
  if(NOT _tarn_package)
    message(FATAL_ERROR "package: no package name for the component '${_tarn_component}'")
  endif()

  # Shared objects lose the symbols no relocation needs and are not
  # executable; programs keep none.
  file(GLOB_RECURSE _tarn_files "${_tarn_stage}/usr/bin/*" "${_tarn_stage}/usr/lib/*")
  foreach(_tarn_file IN LISTS _tarn_files)
    if(_tarn_file MATCHES "\\.so(\\.[^/]*)?$")
      tarn_run("${CPACK_TARN_STRIP}" --remove-section=.comment --remove-section=.note
        --strip-unneeded "${_tarn_file}")
      file(CHMOD "${_tarn_file}" PERMISSIONS OWNER_READ OWNER_WRITE GROUP_READ WORLD_READ)
    else()
      tarn_run("${CPACK_TARN_STRIP}" --remove-section=.comment --remove-section=.note
        "${_tarn_file}")
    endif()
  endforeach()

  file(GLOB_RECURSE _tarn_man "${_tarn_stage}/usr/share/man/*.[0-9]")
  if(_tarn_man)
    tarn_run(gzip -9n ${_tarn_man})
  endif()

  set(_tarn_doc "${_tarn_stage}/usr/share/doc/${_tarn_package}")
  file(COPY "${CPACK_TARN_COPYRIGHT}" DESTINATION "${_tarn_doc}"
    FILE_PERMISSIONS OWNER_READ OWNER_WRITE GROUP_READ WORLD_READ)
  set(_tarn_for "")
  if(CPACK_TARN_RELEASE)
    set(_tarn_for " for Debian ${CPACK_TARN_RELEASE}")
  endif()
  file(WRITE "${_tarn_doc}/changelog"
"${CPACK_DEBIAN_PACKAGE_SOURCE} (${CPACK_PACKAGE_VERSION}) ${CPACK_TARN_DISTRIBUTION}; urgency=medium

  * Release ${CPACK_TARN_UPSTREAM_VERSION}${_tarn_for}: see the project's history.

 -- ${_tarn_maintainer}  ${_tarn_date}
")
  tarn_run(gzip -9n "${_tarn_doc}/changelog")
endforeach()
