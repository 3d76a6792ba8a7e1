# What the plug-in must agree on with the target it is loaded on, checked at
# configure (after cmake/Dependencies.cmake), one line for each fact that
# disagrees:
#   - the width of long in the Net-SNMP headers (val.integer is a long *);
#   - the width of time_t: the host, its Net-SNMP and the plug-in must use
#     the same (Debian 13 armhf and later use 64 bits on 32-bit ARM);
#   - in a sysroot build, every library and header found, and the C
#     library and libstdc++ the compiler links, lie inside the sysroot.
# TARN_TARGET_ROOT (the sysroot, or / ) and TARN_TARGET_GLIBC (the target
# C library's version) are left for the tests that check what ran. A fact
# that cannot be read fails configure with one line naming it.
#
# The readers also run as a script (tests/plugin):
#   cmake -DROOT=<target root> -DTRIPLET=<multiarch> -P TargetAbi.cmake
#   cmake -DNETSNMP_LIBRARY=<libnetsnmp> -P TargetAbi.cmake

# tarn_target_glibc(ROOT TRIPLET OUT): the version of ROOT's libc.so.6, in
# lib, usr/lib or their multiarch folders (an SDK's sysroot has none).
function(tarn_target_glibc root triplet out)
  string(REGEX REPLACE "/$" "" _root "${root}")
  set(_libc "")
  foreach(dir lib/${triplet} usr/lib/${triplet} lib usr/lib)
    if(NOT _libc AND EXISTS "${_root}/${dir}/libc.so.6")
      set(_libc "${_root}/${dir}/libc.so.6")
    endif()
  endforeach()
  if(NOT _libc)
    message(FATAL_ERROR "${root} has no libc.so.6 in lib, usr/lib, lib/${triplet} "
      "or usr/lib/${triplet}: not a target root with its own C library")
  endif()
  file(STRINGS "${_libc}" _banner REGEX "GNU C Library .* version [0-9.]+" LIMIT_COUNT 1)
  if(NOT _banner MATCHES "version ([0-9]+\\.[0-9]+)")
    message(FATAL_ERROR "glibc: cannot read the C library's version from ${_libc} "
      "(no 'GNU C Library ... version N.N' in it)")
  endif()
  set(${out} "${CMAKE_MATCH_1}" PARENT_SCOPE)
endfunction()

# tarn_target_time_bits(LIBNETSNMP OUT): 64 when the 32-bit library imports
# glibc's *64 time entry points, 32 when it imports the plain ones.
function(tarn_target_time_bits library out)
  file(STRINGS "${library}" _time REGEX "^(__)?(gettimeofday|select|time)(64)?$")
  if(_time MATCHES "64")
    set(${out} 64 PARENT_SCOPE)
  elseif(_time)
    set(${out} 32 PARENT_SCOPE)
  else()
    message(FATAL_ERROR "time_t: cannot tell the width ${library} uses "
      "(it imports none of gettimeofday, select, time, nor their *64 forms)")
  endif()
endfunction()

if(CMAKE_SCRIPT_MODE_FILE)
  if(DEFINED ROOT)
    tarn_target_glibc("${ROOT}" "${TRIPLET}" _glibc)
    message(STATUS "glibc ${_glibc}")
  endif()
  if(DEFINED NETSNMP_LIBRARY)
    tarn_target_time_bits("${NETSNMP_LIBRARY}" _bits)
    message(STATUS "time_t ${_bits}-bit")
  endif()
  return()
endif()

# Headers configured for another machine compile fine and then disagree
# with the library on every long (on Linux a long is as wide as a pointer).
file(STRINGS "${NETSNMP_INCLUDE_DIR}/net-snmp/net-snmp-config.h" _netsnmp_long
  REGEX "^#define SIZEOF_LONG [0-9]+$")
string(REGEX REPLACE ".* " "" _netsnmp_long "${_netsnmp_long}")
if(NOT _netsnmp_long)
  message(FATAL_ERROR "${NETSNMP_INCLUDE_DIR}/net-snmp/net-snmp-config.h has no "
    "'#define SIZEOF_LONG N': cannot check its long against the target's")
endif()
if(NOT _netsnmp_long EQUAL CMAKE_SIZEOF_VOID_P)
  message(FATAL_ERROR "${NETSNMP_INCLUDE_DIR}/net-snmp/net-snmp-config.h has "
    "SIZEOF_LONG ${_netsnmp_long}, the target's long has ${CMAKE_SIZEOF_VOID_P} bytes")
endif()

# --- time_t ------------------------------------------------------------------
# A 32-bit libnetsnmp built for 64-bit time imports glibc's *64 entry points.
if(CMAKE_SIZEOF_VOID_P EQUAL 8)
  set(_target_time_bits 64)
else()
  tarn_target_time_bits("${NETSNMP_LIBRARY}" _target_time_bits)
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
set(TARN_TARGET_ROOT /)
if(CMAKE_SYSROOT)
  get_filename_component(TARN_TARGET_ROOT "${CMAKE_SYSROOT}" REALPATH)
endif()
# The target C library's version, as the tests must find it at run time.
tarn_target_glibc("${TARN_TARGET_ROOT}" "${CMAKE_LIBRARY_ARCHITECTURE}" TARN_TARGET_GLIBC)
message(STATUS "Target: ${TARN_TARGET_ROOT}, glibc ${TARN_TARGET_GLIBC}")

if(CMAKE_SYSROOT)
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
      file(GLOB _gcc_dirs "${TARN_TARGET_ROOT}/usr/lib/gcc/*/*/crtbegin.o")
      list(TRANSFORM _gcc_dirs REPLACE "/crtbegin\\.o$" "")
      if(NOT _gcc_dirs)
        set(_gcc_dirs "nowhere (no usr/lib/gcc/TRIPLE/N/crtbegin.o in it)")
      endif()
      if(_target_flag)
        set(_tried "${_target_flag}; the sysroot's GCC lies in ${_gcc_dirs} "
          "(-DTARN_TARGET_TRIPLE= names another triple)")
      else()
        set(_tried "the sysroot's GCC lies in ${_gcc_dirs}; use a compiler "
          "that honours --sysroot (clang, or the SDK's own)")
      endif()
      message(FATAL_ERROR "${CMAKE_CXX_COMPILER} links ${file} from '${_path}', "
        "not from the sysroot ${TARN_TARGET_ROOT}: tried ${_tried}")
    endif()
  endforeach()
endif()
