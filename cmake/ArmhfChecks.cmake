# Checks of what a cross build for armhf produced (included at the end of the
# top-level CMakeLists.txt, once every target exists).
#
# The host loads the plug-in into a hard-float process: a plug-in passing
# float/double arguments in core registers (soft-float calling convention)
# would link and load and then read garbage. readelf -A shows the calling
# convention the object was built for.
#
# This file is also the check itself when run as
#   cmake -DREADELF=<readelf> -DOBJECTS=<file;...> -P ArmhfChecks.cmake

if(CMAKE_SCRIPT_MODE_FILE)
  foreach(object IN LISTS OBJECTS)
    execute_process(COMMAND "${READELF}" -h -A "${object}"
      OUTPUT_VARIABLE out ERROR_VARIABLE err RESULT_VARIABLE rc)
    if(NOT rc EQUAL 0)
      message(FATAL_ERROR "${READELF} failed on ${object}: ${err}")
    endif()
    set(expected_lines "Class:[ \t]+ELF32" "Machine:[ \t]+ARM"
                       "Tag_ABI_VFP_args: VFP registers")
    # The linker marks linked programs and libraries in the ELF header too.
    if(out MATCHES "Type:[ \t]+(DYN|EXEC)")
      list(APPEND expected_lines "Flags:[^\n]*hard-float ABI")
    endif()
    foreach(expected IN LISTS expected_lines)
      if(NOT out MATCHES "${expected}")
        message(FATAL_ERROR "${object}: no '${expected}' in:\n${out}")
      endif()
    endforeach()
    message(STATUS "${object}: ELF32 ARM, hard-float, VFP register arguments")
  endforeach()
  return()
endif()

# tarn_add_armhf_abi_check(NAME <test> OBJECTS <file or generator expr>...)
function(tarn_add_armhf_abi_check)
  cmake_parse_arguments(PARSE_ARGV 0 arg "" "NAME" "OBJECTS")
  add_test(NAME ${arg_NAME}
    COMMAND ${CMAKE_COMMAND} -DREADELF=${TARN_READELF}
            "-DOBJECTS=${arg_OBJECTS}" -P ${CMAKE_CURRENT_FUNCTION_LIST_FILE})
  set_tests_properties(${arg_NAME} PROPERTIES LABELS abi)
endfunction()

if(CMAKE_CROSSCOMPILING AND CMAKE_SYSTEM_PROCESSOR MATCHES "^arm"
   AND TARN_BUILD_TESTS)
  find_program(TARN_READELF NAMES ${CMAKE_LIBRARY_ARCHITECTURE}-readelf
    arm-linux-gnueabihf-readelf readelf REQUIRED)
  if(TARGET SocketSNMP_KEHUA_INVERTER)
    tarn_add_armhf_abi_check(NAME armhf_abi_plugin
      OBJECTS $<TARGET_FILE:SocketSNMP_KEHUA_INVERTER>)
  endif()
endif()
