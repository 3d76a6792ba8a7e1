# Checks of what a cross build for armhf produced (included at the end of the
# top-level CMakeLists.txt, once every target exists).
#
# The host loads the plug-in into a hard-float process: a plug-in passing
# float/double arguments in core registers (soft-float calling convention)
# would link and load and then read garbage. readelf -A shows the calling
# convention the object was built for.
#
# The plug-in and the programs must load on the target: every library they
# need is in the target's root, and each symbol version they need (GLIBC_,
# GLIBCXX_, ...) is defined by that library there, not only by a newer one
# on the build machine.
#
# This file is also each check itself when run as
#   cmake -DREADELF=<readelf> -DOBJECTS=<file;...> -P ArmhfChecks.cmake
#   cmake -DREADELF=<readelf> -DOBJECTS=<file;...> -DROOT=<target root>
#         -DTRIPLET=<multiarch> -P ArmhfChecks.cmake

if(CMAKE_SCRIPT_MODE_FILE AND ROOT)
  set(dirs "${ROOT}/lib/${TRIPLET}" "${ROOT}/usr/lib/${TRIPLET}" "${ROOT}/lib" "${ROOT}/usr/lib")
  foreach(object IN LISTS OBJECTS)
    execute_process(COMMAND "${READELF}" -d -V -W "${object}"
      OUTPUT_VARIABLE out RESULT_VARIABLE rc)
    if(NOT rc EQUAL 0)
      message(FATAL_ERROR "${READELF} failed on ${object}")
    endif()
    string(REGEX MATCHALL "Shared library: \\[[^]]+\\]" needed "${out}")
    set(highest 0)
    foreach(entry IN LISTS needed)
      string(REGEX REPLACE ".*\\[(.*)\\]" "\\1" lib "${entry}")
      unset(found)
      foreach(dir IN LISTS dirs)
        if(NOT found AND EXISTS "${dir}/${lib}")
          set(found "${dir}/${lib}")
        endif()
      endforeach()
      if(NOT found)
        message(FATAL_ERROR "${object} needs ${lib}, which ${ROOT} does not have")
      endif()
      # The versions needed from this library: the lines after its "File:".
      string(REGEX REPLACE "([][+.*()^$?|\\])" "\\\\\\1" lib_re "${lib}")
      string(REGEX MATCH "File: ${lib_re}  Cnt: [0-9]+\n(  0x[0-9a-f]+:   Name: [^\n]*\n)*"
        wanted "${out}")
      string(REGEX MATCHALL "Name: [^ ]+" wanted "${wanted}")
      execute_process(COMMAND "${READELF}" -V -W "${found}" OUTPUT_VARIABLE defined)
      string(FIND "${defined}" "Version definition section" at)
      if(at EQUAL -1)
        set(defined "")
      else()
        string(SUBSTRING "${defined}" ${at} -1 defined)
      endif()
      string(FIND "${defined}" "Version needs section" at)
      if(NOT at EQUAL -1)
        string(SUBSTRING "${defined}" 0 ${at} defined)
      endif()
      foreach(version IN LISTS wanted)
        string(REPLACE "Name: " "" version "${version}")
        string(FIND "${defined}" "Name: ${version}\n" at)
        if(at EQUAL -1)
          string(FIND "${defined}" "Name: ${version} " at)
        endif()
        if(at EQUAL -1)
          message(FATAL_ERROR "${object} needs ${version} of ${lib}; ${found} does not define it")
        endif()
        if(version MATCHES "^GLIBC_([0-9.]+)$" AND CMAKE_MATCH_1 VERSION_GREATER highest)
          set(highest ${CMAKE_MATCH_1})
        endif()
      endforeach()
    endforeach()
    message(STATUS "${object}: every library in ${ROOT}, highest GLIBC_${highest}")
  endforeach()
  return()
endif()

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
  set(_shipped $<TARGET_FILE:SocketSNMP_KEHUA_INVERTER> $<TARGET_FILE:tarn_host>)
  if(TARGET inverter_sim)
    list(APPEND _shipped $<TARGET_FILE:inverter_sim>)
  endif()
  add_test(NAME armhf_target_libraries
    COMMAND ${CMAKE_COMMAND} -DREADELF=${TARN_READELF} "-DOBJECTS=${_shipped}"
            -DROOT=${TARN_TARGET_ROOT} -DTRIPLET=${CMAKE_LIBRARY_ARCHITECTURE}
            -P ${CMAKE_CURRENT_LIST_DIR}/ArmhfChecks.cmake)
  set_tests_properties(armhf_target_libraries PROPERTIES LABELS abi)
  # A build with the other time_t width is refused at configure (only a C
  # library with 64-bit time on 32-bit targets, 2.34 and later, can make one).
  if(CMAKE_SYSROOT AND TARN_TARGET_GLIBC VERSION_GREATER_EQUAL 2.34)
    if(TARN_TARGET_TIME_BITS EQUAL 64)
      set(_other 32)
    else()
      set(_other 64)
    endif()
    set(_dir ${CMAKE_BINARY_DIR}/time_bits_${_other})
    add_test(NAME armhf_other_time_t_refused
      COMMAND ${CMAKE_COMMAND} -E env --unset=CC --unset=CXX
              ${CMAKE_COMMAND} -S ${PROJECT_SOURCE_DIR} -B ${_dir}
              -DCMAKE_TOOLCHAIN_FILE=${CMAKE_TOOLCHAIN_FILE}
              -DCMAKE_SYSROOT=${CMAKE_SYSROOT}
              -DCMAKE_C_COMPILER=${CMAKE_C_COMPILER}
              -DCMAKE_CXX_COMPILER=${CMAKE_CXX_COMPILER}
              -DTARN_TIME_BITS=${_other} -DTARN_BUILD_TESTS=OFF -DTARN_BUILD_TOOLS=OFF
              -DTARN_BUILD_BENCH=OFF)
    set_tests_properties(armhf_other_time_t_refused PROPERTIES LABELS abi
      PASS_REGULAR_EXPRESSION "time_t: this build's time_t is not ${TARN_TARGET_TIME_BITS}-bit")
  elseif(CMAKE_SYSROOT)
    message(STATUS "armhf_other_time_t_refused not added: glibc ${TARN_TARGET_GLIBC} "
      "has no other time_t width for 32-bit targets (2.34 and later)")
  endif()
endif()
