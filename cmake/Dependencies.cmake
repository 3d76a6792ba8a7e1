# Third-party libraries, all from Debian packages.
# NETSNMP_ROOT may point at an unpacked libsnmp-dev tree (the multiarch
# cross build); a sysroot build finds everything in its sysroot.
find_package(Threads REQUIRED)
if(POLICY CMP0167)
  cmake_policy(SET CMP0167 NEW)  # Boost's own CMake package
endif()
# Boost.Asio's buffers and Boost.Date_Time, both header-only (Date_Time since
# 1.73: its compiled library is an empty stub the plug-in must not need).
find_package(Boost 1.74 REQUIRED)

find_path(JSONCPP_INCLUDE_DIR json/json.h PATH_SUFFIXES jsoncpp REQUIRED)
find_library(JSONCPP_LIBRARY NAMES jsoncpp REQUIRED)
if(NOT TARGET JsonCpp::JsonCpp)
  add_library(JsonCpp::JsonCpp UNKNOWN IMPORTED)
  set_target_properties(JsonCpp::JsonCpp PROPERTIES
    IMPORTED_LOCATION "${JSONCPP_LIBRARY}"
    INTERFACE_INCLUDE_DIRECTORIES "${JSONCPP_INCLUDE_DIR}")
endif()

set(NETSNMP_ROOT "" CACHE PATH "Root of an unpacked Net-SNMP development tree")
if(CMAKE_CROSSCOMPILING AND NOT CMAKE_SYSROOT)
  # /usr/include/net-snmp belongs to the build machine (its SIZEOF_LONG and
  # type sizes): a multiarch cross build takes the headers from NETSNMP_ROOT.
  if(NOT NETSNMP_ROOT)
    message(FATAL_ERROR "Cross build without a sysroot: set NETSNMP_ROOT to the unpacked "
      "libsnmp-dev of the target (scripts/bootstrap-armhf.sh makes one)")
  endif()
  set(_netsnmp_search NO_DEFAULT_PATH)
endif()
find_path(NETSNMP_INCLUDE_DIR net-snmp/net-snmp-config.h
  HINTS "${NETSNMP_ROOT}/usr/include" ${_netsnmp_search} REQUIRED)
find_library(NETSNMP_LIBRARY NAMES netsnmp libnetsnmp.so.40 REQUIRED)
add_library(NetSNMP::netsnmp UNKNOWN IMPORTED)
set_target_properties(NetSNMP::netsnmp PROPERTIES
  IMPORTED_LOCATION "${NETSNMP_LIBRARY}"
  INTERFACE_INCLUDE_DIRECTORIES "${NETSNMP_INCLUDE_DIR}")

find_library(NETSNMP_AGENT_LIBRARY NAMES netsnmpagent libnetsnmpagent.so.40)
if(NETSNMP_AGENT_LIBRARY)
  add_library(NetSNMP::agent UNKNOWN IMPORTED)
  set_target_properties(NetSNMP::agent PROPERTIES
    IMPORTED_LOCATION "${NETSNMP_AGENT_LIBRARY}"
    INTERFACE_LINK_LIBRARIES NetSNMP::netsnmp)
endif()
