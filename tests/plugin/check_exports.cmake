# Checks the plug-in's dynamic symbol table: what the host may look up and
# what it must provide.
#   cmake -DNM=<nm> -DPLUGIN=<shared object> -P check_exports.cmake
#
# Defined: get_providers is the only plain (unmangled) function, the type
# information of the provider classes is there, no host operation is.
# Undefined: the host operations, bound from the host process at load time.

cmake_minimum_required(VERSION 3.25)

function(nm_lines out)
  execute_process(COMMAND "${NM}" -D ${ARGN} "${PLUGIN}"
    OUTPUT_VARIABLE text ERROR_VARIABLE err RESULT_VARIABLE rc)
  if(NOT rc EQUAL 0)
    message(FATAL_ERROR "${NM} ${ARGN} ${PLUGIN} failed: ${err}")
  endif()
  string(REPLACE ";" "\\;" text "${text}")
  string(REPLACE "\n" ";" text "${text}")
  set(${out} "${text}" PARENT_SCOPE)
endfunction()

set(problems "")

nm_lines(defined --defined-only)
set(plain_functions "")
set(names "")
foreach(line IN LISTS defined)
  if(line MATCHES "^[0-9a-fA-F]* *([A-Za-z]) ([^ ]+)$")
    set(kind "${CMAKE_MATCH_1}")
    set(name "${CMAKE_MATCH_2}")
    list(APPEND names "${name}")
    if(kind MATCHES "^[TtWi]$" AND NOT name MATCHES "^_Z"
       AND NOT name MATCHES "^_(init|fini)$")
      list(APPEND plain_functions "${name}")
    endif()
  endif()
endforeach()
if(NOT plain_functions STREQUAL "get_providers")
  string(APPEND problems
    "\n  plain functions defined: '${plain_functions}', want 'get_providers'")
endif()
foreach(typeinfo _ZTI8Provider _ZTI24TarnSocketDeviceProvider
                 _ZTI27SNMP_KEHUA_INVERTERProvider)
  if(NOT typeinfo IN_LIST names)
    string(APPEND problems "\n  ${typeinfo} is not exported")
  endif()
endforeach()

nm_lines(defined_demangled --defined-only -C)
foreach(line IN LISTS defined_demangled)
  if(line MATCHES "TarnVDevice::|TarnSocketDevice::|get_ttime")
    string(APPEND problems "\n  host operation defined: ${line}")
  endif()
endforeach()

nm_lines(undefined --undefined-only -C)
foreach(operation
    "get_ttime\\(" "TarnVDevice::SendSP\\(" "TarnVDevice::Reset\\("
    "TarnVDevice::CheckThresholdBool\\(" "TarnVDevice::DoBatchCheckThreshold\\("
    "TarnVDevice::SaveDeviceHistory\\(" "TarnVDevice::InitSetting\\("
    "TarnSocketDevice::TarnSocketDevice\\(" "TarnSocketDevice::~TarnSocketDevice\\("
    "TarnSocketDevice::Init\\(")
  set(found FALSE)
  foreach(line IN LISTS undefined)
    if(line MATCHES " U ${operation}")
      set(found TRUE)
      break()
    endif()
  endforeach()
  if(NOT found)
    string(APPEND problems "\n  host operation not undefined: ${operation}")
  endif()
endforeach()

if(problems)
  message(FATAL_ERROR "${PLUGIN}:${problems}")
endif()
message(STATUS "${PLUGIN}: exports get_providers and the provider type "
  "information; host operations are bound at load time")
