# Cross build for 32-bit ARM, hard-float ABI (Debian armhf). Two routes:
#
# Sysroot (-DCMAKE_SYSROOT=DIR): everything is built against DIR only, the
#   target's userland (scripts/make-sysroot.sh makes one, or an SDK's):
#   headers, libraries, the C library, libstdc++ and GCC's start files.
#   The compiler is clang with --target=arm-linux-gnueabihf, which takes all
#   of these from the sysroot (Debian's own cross GCC searches its own glibc
#   and libstdc++ first). An SDK's cross compiler is given as CC/CXX or as
#   CMAKE_C_COMPILER/CMAKE_CXX_COMPILER and must honour --sysroot the same
#   way; configure checks that the C library and libstdc++ it links are the
#   sysroot's. Tests run under qemu-arm -L DIR.
#
# Multiarch (no sysroot): Debian 12's cross compiler
#   (crossbuild-essential-armhf) and the armhf libraries installed beside the
#   native ones (pkg:armhf); tests run under qemu-arm -L /.
#
# scripts/test-armhf.sh drives both; scripts/bootstrap-armhf.sh installs the
# multiarch route.
set(CMAKE_SYSTEM_NAME Linux)
set(CMAKE_SYSTEM_PROCESSOR arm)

set(TARN_TARGET_TRIPLET arm-linux-gnueabihf)
set(CMAKE_LIBRARY_ARCHITECTURE ${TARN_TARGET_TRIPLET})
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_PACKAGE ONLY)

if(CMAKE_SYSROOT)
  # The integrator's compiler when given, else clang for the target.
  if(NOT CMAKE_C_COMPILER AND NOT DEFINED ENV{CC})
    set(CMAKE_C_COMPILER clang)
  endif()
  if(NOT CMAKE_CXX_COMPILER AND NOT DEFINED ENV{CXX})
    set(CMAKE_CXX_COMPILER clang++)
  endif()
  # Used by clang only; a GCC built for the target ignores it.
  set(CMAKE_C_COMPILER_TARGET ${TARN_TARGET_TRIPLET})
  set(CMAKE_CXX_COMPILER_TARGET ${TARN_TARGET_TRIPLET})
  # Debian's armhf baseline (a target GCC has it built in; clang does not).
  set(TARN_ARMHF_BASELINE "-march=armv7-a -mfpu=vfpv3-d16 -mfloat-abi=hard -mthumb")
  set(CMAKE_C_FLAGS_INIT "${TARN_ARMHF_BASELINE}")
  set(CMAKE_CXX_FLAGS_INIT "${TARN_ARMHF_BASELINE}")
  # Searches are re-rooted into the sysroot (CMake adds CMAKE_SYSROOT to the
  # find root); the sysroot's CMake packages (Boost, GTest) are found there.
  set(CMAKE_CROSSCOMPILING_EMULATOR /usr/bin/qemu-arm;-L;${CMAKE_SYSROOT})
else()
  set(CMAKE_C_COMPILER ${TARN_TARGET_TRIPLET}-gcc)
  set(CMAKE_CXX_COMPILER ${TARN_TARGET_TRIPLET}-g++)

  # Headers: /usr/include (arch-independent, e.g. /usr/include/jsoncpp) and
  # /usr/include/arm-linux-gnueabihf; libraries: /usr/lib/arm-linux-gnueabihf
  # and the cross C library in /usr/arm-linux-gnueabihf.
  set(CMAKE_FIND_ROOT_PATH /usr/${TARN_TARGET_TRIPLET} /)

  # Never pick up the build machine's own libraries, headers or CMake packages.
  execute_process(COMMAND dpkg-architecture -qDEB_BUILD_MULTIARCH
    OUTPUT_VARIABLE _tarn_build_triplet OUTPUT_STRIP_TRAILING_WHITESPACE
    ERROR_QUIET)
  if(NOT _tarn_build_triplet)
    set(_tarn_build_triplet ${CMAKE_HOST_SYSTEM_PROCESSOR}-linux-gnu)
  endif()
  list(APPEND CMAKE_IGNORE_PATH
    /usr/lib/${_tarn_build_triplet} /lib/${_tarn_build_triplet}
    /usr/include/${_tarn_build_triplet})
  list(REMOVE_DUPLICATES CMAKE_IGNORE_PATH)

  # GCC's notes that the passing of some arguments changed in GCC 7.1 concern
  # only linking with code built by older compilers; everything here is GCC 12.
  set(CMAKE_CXX_FLAGS_INIT -Wno-psabi)

  # -L / : the dynamic loader and every library come from the multiarch armhf
  # packages (libc6:armhf and the others, installed by bootstrap-armhf.sh).
  # The cross toolchain's own copy in /usr/arm-linux-gnueabihf is a different
  # glibc build: its loader with the multiarch libc.so.6 crashes in libnetsnmp.
  set(CMAKE_CROSSCOMPILING_EMULATOR /usr/bin/qemu-arm;-L;/)
endif()

# A test program cannot exec an armhf helper program itself (qemu-user runs
# only the first program; the kernel here has no binfmt handler for ARM): a
# test starting a helper (e.g. the simulated inverter) either puts
# ${CMAKE_CROSSCOMPILING_EMULATOR} in front of it or runs the native build's
# program. TARN_NATIVE_TOOLS_DIR is the native build's tools/ folder (e.g.
# <repo>/build/tools, holding inverter_sim/inverter_sim); empty means such
# tests use the emulator or are left out of cross builds.
set(TARN_NATIVE_TOOLS_DIR "" CACHE PATH
  "tools/ folder of a native build, for tests of a cross build that start helper programs")
