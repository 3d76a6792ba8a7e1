# The readers of target facts in cmake/TargetAbi.cmake against made-up target
# roots: the C library in any of its folders, and a fact that cannot be read
# failing with its one line rather than coming out empty.
#   cmake -DTARGET_ABI=<cmake/TargetAbi.cmake> -DWORK=<folder> -P target_facts_test.cmake

cmake_minimum_required(VERSION 3.18)

set(banner "GNU C Library (made up) stable release version 2.36.\n")
set(problems "")
# expect(NAME ARGS FAILS OUTPUT_REGEX): runs TargetAbi.cmake as a script;
# FAILS is 1 where it must fail.
function(expect name args wanted_rc regex)
  execute_process(COMMAND ${CMAKE_COMMAND} ${args} -P ${TARGET_ABI}
    OUTPUT_VARIABLE out ERROR_VARIABLE err RESULT_VARIABLE rc)
  # CMake wraps its error lines: compared with single spaces.
  string(REGEX REPLACE "[ \n]+" " " all "${out}${err}")
  if(rc EQUAL 0)
    set(failed 0)
  else()
    set(failed 1)
  endif()
  if(NOT failed EQUAL wanted_rc OR NOT all MATCHES "${regex}")
    string(APPEND problems "\n  ${name}: exit ${rc}, want '${regex}' in: ${all}")
    set(problems "${problems}" PARENT_SCOPE)
  endif()
endfunction()

file(REMOVE_RECURSE "${WORK}")
foreach(layout flat/usr/lib flat-lib/lib debian/usr/lib/arm-linux-gnueabihf)
  file(WRITE "${WORK}/${layout}/libc.so.6" "ELF\n${banner}")
  string(REGEX REPLACE "/.*" "" root "${layout}")
  expect("libc.so.6 in ${layout}" "-DROOT=${WORK}/${root};-DTRIPLET=arm-linux-gnueabihf"
    0 "glibc 2\\.36")
endforeach()
file(WRITE "${WORK}/no-banner/lib/libc.so.6" "ELF\nstripped\n")
expect("no version banner" "-DROOT=${WORK}/no-banner;-DTRIPLET=arm-linux-gnueabihf"
  1 "glibc: cannot read the C library's version from [^ ]*no-banner/lib/libc\\.so\\.6")
file(MAKE_DIRECTORY "${WORK}/no-libc/lib")
expect("no libc.so.6" "-DROOT=${WORK}/no-libc;-DTRIPLET=arm-linux-gnueabihf"
  1 "no-libc has no libc\\.so\\.6 in lib")

# Net-SNMP's time_t: its imports of glibc's time functions, plain or *64.
file(WRITE "${WORK}/snmp32" "\ngettimeofday\nselect\n")
expect("32-bit time" "-DNETSNMP_LIBRARY=${WORK}/snmp32" 0 "time_t 32-bit")
file(WRITE "${WORK}/snmp64" "\n__gettimeofday64\n__select64\n")
expect("64-bit time" "-DNETSNMP_LIBRARY=${WORK}/snmp64" 0 "time_t 64-bit")
file(WRITE "${WORK}/snmp-none" "\nsnmp_sess_open\n")
expect("no time imports" "-DNETSNMP_LIBRARY=${WORK}/snmp-none"
  1 "time_t: cannot tell the width [^ ]*snmp-none uses")

if(problems)
  message(FATAL_ERROR "target facts:${problems}")
endif()
