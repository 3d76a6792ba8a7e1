# What the plug-in must agree on with the target it is loaded on, checked at
# configure (after cmake/Dependencies.cmake), one line for each fact that
# disagrees:
#   - the width of long in the Net-SNMP headers (val.integer is a long *);
#   - the width of time_t: the host, its Net-SNMP and the plug-in must use
#     the same (Debian 13 armhf and later use 64 bits on 32-bit ARM);
#   - in a sysroot build, every library and header found, and the C
#     library and libstdc++ the compiler links, lie inside the sysroot.
# TARN_TARGET_ROOT (the sysroot, or / ) and TARN_TARGET_GLIBC (the target
# C library's version) are left for the tests that check what ran.

# Headers configured for another machine compile fine and then disagree
# with the library on every long (on Linux a long is as wide as a pointer).
file(STRINGS "${NETSNMP_INCLUDE_DIR}/net-snmp/net-snmp-config.h" _netsnmp_long
  REGEX "^#define SIZEOF_LONG [0-9]+$")
string(REGEX REPLACE ".* " "" _netsnmp_long "${_netsnmp_long}")
if(_netsnmp_long AND NOT _netsnmp_long EQUAL CMAKE_SIZEOF_VOID_P)
  message(FATAL_ERROR "${NETSNMP_INCLUDE_DIR}/net-snmp/net-snmp-config.h has "
    "SIZEOF_LONG ${_netsnmp_long}, the target's long has ${CMAKE_SIZEOF_VOID_P} bytes")
endif()

# --- time_t ------------------------------------------------------------------
# A 32-bit libnetsnmp built for 64-bit time imports glibc's *64 entry points.
if(CMAKE_SIZEOF_VOID_P EQUAL 8)
  set(_target_time_bits 64)
else()
  file(STRINGS "${NETSNMP_LIBRARY}" _time64 REGEX "^__(gettimeofday|select|time)64$"
    LIMIT_COUNT 1)
  if(_time64)
    set(_target_time_bits 64)
  else()
    set(_target_time_bits 32)
  endif()
endif()
set(TARN_TIME_BITS "" CACHE STRING
  "Width of time_t to build with, 32 or 64 (empty: that of the target's Net-SNMP)")
set(_time_bits "${TARN_TIME_BITS}")
if(NOT _time_bits)
  set(_time_bits ${_target_time_bits})
endif()
if(CMAKE_SIZEOF_VOID_P EQUAL 4 AND _time_bits EQUAL 64)
  # Every target: a time_t or off_t crossing into the host or the library.
  add_compile_definitions(_TIME_BITS=64 _FILE_OFFSET_BITS=64)
  set(_time_defs -D_TIME_BITS=64 -D_FILE_OFFSET_BITS=64)
endif()
set(_probe "${CMAKE_BINARY_DIR}/CMakeFiles/tarn_time_t.cpp")
file(WRITE "${_probe}" "#include <ctime>\nint main() { return sizeof(std::time_t) == ${_target_time_bits} / 8 ? 0 : 1; }\nstatic_assert(sizeof(std::time_t) * 8 == ${_target_time_bits}, \"time_t\");\n")
try_compile(_time_ok "${CMAKE_BINARY_DIR}/CMakeFiles/tarn_time_t" "${_probe}"
  COMPILE_DEFINITIONS ${_time_defs} OUTPUT_VARIABLE _time_out)
if(NOT _time_ok)
  message(FATAL_ERROR "time_t: this build's time_t is not ${_target_time_bits}-bit, "
    "the width ${NETSNMP_LIBRARY} uses (TARN_TIME_BITS='${TARN_TIME_BITS}'); "
    "build with the target's width")
endif()
message(STATUS "time_t: ${_target_time_bits}-bit, as the target's Net-SNMP")
set(TARN_TARGET_TIME_BITS ${_target_time_bits})

# --- sysroot -----------------------------------------------------------------
if(CMAKE_SYSROOT)
  get_filename_component(TARN_TARGET_ROOT "${CMAKE_SYSROOT}" REALPATH)
  set(_found NETSNMP_INCLUDE_DIR NETSNMP_LIBRARY JSONCPP_INCLUDE_DIR JSONCPP_LIBRARY
             Boost_INCLUDE_DIRS)
  if(NETSNMP_AGENT_LIBRARY)
    list(APPEND _found NETSNMP_AGENT_LIBRARY)
  endif()
  foreach(var IN LISTS _found)
    foreach(path IN LISTS ${var})
      get_filename_component(_real "${path}" REALPATH)
      string(FIND "${_real}/" "${TARN_TARGET_ROOT}/" _at)
      if(NOT _at EQUAL 0)
        message(FATAL_ERROR "${var} is ${path}, outside the sysroot ${TARN_TARGET_ROOT}")
      endif()
    endforeach()
  endforeach()
  # The compiler's own choice of C library, C++ library and start files.
  set(_target_flag)
  if(CMAKE_CXX_COMPILER_ID MATCHES "Clang")
    set(_target_flag --target=${CMAKE_CXX_COMPILER_TARGET})
  endif()
  foreach(file libc.so libstdc++.so crt1.o crtbegin.o)
    execute_process(COMMAND ${CMAKE_CXX_COMPILER} ${_target_flag}
      --sysroot=${CMAKE_SYSROOT} -print-file-name=${file}
      OUTPUT_VARIABLE _path OUTPUT_STRIP_TRAILING_WHITESPACE)
    get_filename_component(_real "${_path}" REALPATH)
    string(FIND "${_real}" "${TARN_TARGET_ROOT}/" _at)
    if(NOT _at EQUAL 0)
      message(FATAL_ERROR "${CMAKE_CXX_COMPILER} links ${file} from '${_path}', "
        "not from the sysroot ${TARN_TARGET_ROOT}: use a compiler that honours "
        "--sysroot (clang, or the SDK's own)")
    endif()
  endforeach()
else()
  set(TARN_TARGET_ROOT /)
endif()

# The target C library's version, as the tests must find it at run time.
set(TARN_TARGET_GLIBC "")
if(CMAKE_CROSSCOMPILING)
  file(GLOB _libc "${TARN_TARGET_ROOT}/lib/${CMAKE_LIBRARY_ARCHITECTURE}/libc.so.6"
                  "${TARN_TARGET_ROOT}/usr/lib/${CMAKE_LIBRARY_ARCHITECTURE}/libc.so.6")
  if(_libc)
    list(GET _libc 0 _libc)
    file(STRINGS "${_libc}" _banner REGEX "GNU C Library .* version [0-9.]+" LIMIT_COUNT 1)
    string(REGEX MATCH "version ([0-9]+\\.[0-9]+)" _banner "${_banner}")
    set(TARN_TARGET_GLIBC "${CMAKE_MATCH_1}")
  endif()
  message(STATUS "Target: ${TARN_TARGET_ROOT}, glibc ${TARN_TARGET_GLIBC}")
endif()
