# Checks the libraries a shared object needs (its DT_NEEDED list): Net-SNMP,
# JsonCpp and the C and C++ runtime only, Net-SNMP and JsonCpp among them.
#   cmake -DREADELF=<readelf> -DOBJECT=<file> [-DSANITIZED=ON] -P check_needed.cmake
# SANITIZED: a sanitizer build, whose objects need the sanitizers' runtimes.

cmake_minimum_required(VERSION 3.18)

execute_process(COMMAND "${READELF}" -d -W "${OBJECT}"
  OUTPUT_VARIABLE out ERROR_VARIABLE err RESULT_VARIABLE rc)
if(NOT rc EQUAL 0)
  message(FATAL_ERROR "${READELF} -d ${OBJECT} failed: ${err}")
endif()
string(REGEX MATCHALL "Shared library: \\[[^]]+\\]" entries "${out}")
set(needed "")
set(unexpected "")
foreach(entry IN LISTS entries)
  string(REGEX REPLACE ".*\\[(.*)\\]" "\\1" lib "${entry}")
  list(APPEND needed "${lib}")
  if(NOT lib MATCHES "^(libnetsnmp\\.so\\.[0-9]+|libjsoncpp\\.so\\.[0-9]+|libstdc\\+\\+\\.so\\.6|libgcc_s\\.so\\.1|libc\\.so\\.6|libm\\.so\\.6|libpthread\\.so\\.0|libdl\\.so\\.2|ld-linux[-.a-z0-9_]*\\.so\\.[0-9]+)$")
    if(NOT (SANITIZED AND lib MATCHES "^lib(a|ub|t)san\\.so\\.[0-9]+$"))
      list(APPEND unexpected "${lib}")
    endif()
  endif()
endforeach()
if(unexpected)
  message(FATAL_ERROR "${OBJECT} needs ${unexpected}, which a plug-in must not need "
    "(NEEDED: ${needed})")
endif()
foreach(lib libnetsnmp libjsoncpp)
  if(NOT needed MATCHES "(^|;)${lib}\\.so")
    message(FATAL_ERROR "${OBJECT} does not need ${lib} (NEEDED: ${needed})")
  endif()
endforeach()
message(STATUS "${OBJECT} needs ${needed}")
