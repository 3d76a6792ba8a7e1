# Checks that the driver reaches Net-SNMP through its door only: no C++ file
# of DIR outside snmp_library* includes <net-snmp/...> or calls a library
# function. Names file and line of each offence.
#   cmake -DDIR=<driver folder> -P check_library_door.cmake

cmake_minimum_required(VERSION 3.25)

# The library's function names: its prefixes and the unprefixed ones the
# driver has used. A call is the name, then '(' (comments are not read).
set(prefixed "(snmp|snmpv3|netsnmp|usm|sc|asn|se|init_snmp)_[A-Za-z0-9_]+")
set(plain "generate_Ku|free_enginetime|get_enginetime|set_enginetime|find_sec_mod|get_logh_head|create_user_from_session|read_objid|init_snmp|init_snmpv3|shutdown_snmp")
set(call "(^|[^A-Za-z0-9_.>:])(${prefixed}|${plain})[ \t]*\\(")

file(GLOB files RELATIVE "${DIR}" "${DIR}/*.cpp" "${DIR}/*.h")
set(offences 0)
foreach(name IN LISTS files)
  if(name MATCHES "^snmp_library")
    continue()
  endif()
  file(READ "${DIR}/${name}" text)
  # One list element a line: list separators and brackets made harmless.
  string(REPLACE ";" "@semicolon@" text "${text}")
  string(REPLACE "[" "@open@" text "${text}")
  string(REPLACE "]" "@close@" text "${text}")
  string(REPLACE "\n" ";" lines "${text}")
  set(number 0)
  foreach(line IN LISTS lines)
    math(EXPR number "${number} + 1")
    string(REGEX REPLACE "//.*" "" code "${line}")
    if(code MATCHES "#[ \t]*include[ \t]*<net-snmp/" OR code MATCHES "${call}")
      string(STRIP "${line}" shown)
      string(REPLACE "@semicolon@" ";" shown "${shown}")
      string(REPLACE "@open@" "[" shown "${shown}")
      string(REPLACE "@close@" "]" shown "${shown}")
      message("${name}:${number}: Net-SNMP outside the door (snmp_library*): ${shown}")
      math(EXPR offences "${offences} + 1")
    endif()
  endforeach()
endforeach()
if(offences GREATER 0)
  message(FATAL_ERROR "${offences} use(s) of Net-SNMP outside the door")
endif()
