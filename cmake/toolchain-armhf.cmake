# Cross build for 32-bit ARM, hard-float ABI (Debian armhf). Two routes:
#
# Sysroot (-DCMAKE_SYSROOT=DIR): everything is built against DIR only, the
#   target's userland (scripts/make-sysroot.sh makes one, or an SDK's):
#   headers, libraries, the C library, libstdc++ and GCC's start files.
#   The compiler is clang with --target=TARN_TARGET_TRIPLE, which takes all
#   of these from the sysroot (Debian's own cross GCC searches its own glibc
#   and libstdc++ first). The triple is that of the sysroot's GCC folder
#   (usr/lib/gcc/TRIPLE/N, e.g. arm-buildroot-linux-gnueabihf in an SDK's
#   sysroot), arm-linux-gnueabihf when it has none; -DTARN_TARGET_TRIPLE=
#   overrides. An SDK's cross compiler is given as CC/CXX or as
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

# Debian's multiarch folder name: searched where a sysroot has it, and the
# plug-in folder's default (cmake/Install.cmake).
set(TARN_TARGET_TRIPLET arm-linux-gnueabihf)
set(CMAKE_LIBRARY_ARCHITECTURE ${TARN_TARGET_TRIPLET})
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_PACKAGE ONLY)

if(CMAKE_SYSROOT)
  # Its own loader and C library, or qemu-arm -L would take the build
  # machine's (and the compiler checks fail far from the cause).
  set(_tarn_libc "")
  foreach(_tarn_dir lib/${TARN_TARGET_TRIPLET} usr/lib/${TARN_TARGET_TRIPLET} lib usr/lib)
    if(EXISTS "${CMAKE_SYSROOT}/${_tarn_dir}/libc.so.6")
      set(_tarn_libc 1)
    endif()
  endforeach()
  if(NOT EXISTS "${CMAKE_SYSROOT}/lib/ld-linux-armhf.so.3")
    message(FATAL_ERROR "${CMAKE_SYSROOT} has no lib/ld-linux-armhf.so.3: not an armhf sysroot")
  elseif(NOT _tarn_libc)
    message(FATAL_ERROR "${CMAKE_SYSROOT} has no libc.so.6 in lib, usr/lib or their "
      "${TARN_TARGET_TRIPLET} folders: not an armhf sysroot")
  endif()
  # The integrator's compiler when given, else clang for the target.
  if(NOT CMAKE_C_COMPILER AND NOT DEFINED ENV{CC})
    set(CMAKE_C_COMPILER clang)
  endif()
  if(NOT CMAKE_CXX_COMPILER AND NOT DEFINED ENV{CXX})
    set(CMAKE_CXX_COMPILER clang++)
  endif()
  # The compiler's triple: clang looks for the sysroot's GCC (start files,
  # libgcc, libstdc++'s target headers) under it. try_compile projects read
  # this file again without the cache: the chosen triple is passed on.
  list(APPEND CMAKE_TRY_COMPILE_PLATFORM_VARIABLES TARN_TARGET_TRIPLE)
  if(NOT TARN_TARGET_TRIPLE)
    file(GLOB _tarn_gcc_crt "${CMAKE_SYSROOT}/usr/lib/gcc/arm*/*/crtbegin.o")
    list(SORT _tarn_gcc_crt)
    set(_tarn_triple ${TARN_TARGET_TRIPLET})
    if(_tarn_gcc_crt)
      list(GET _tarn_gcc_crt 0 _tarn_triple)
      string(REGEX REPLACE ".*/usr/lib/gcc/([^/]+)/[^/]+/crtbegin\\.o$" "\\1"
        _tarn_triple "${_tarn_triple}")
    endif()
    set(TARN_TARGET_TRIPLE ${_tarn_triple} CACHE STRING
      "Target triple for the compiler (default: the sysroot's GCC folder)")
  endif()
  # Used by clang only; a GCC built for the target ignores it.
  set(CMAKE_C_COMPILER_TARGET ${TARN_TARGET_TRIPLE})
  set(CMAKE_CXX_COMPILER_TARGET ${TARN_TARGET_TRIPLE})
  # Where lib links to usr/lib, clang finds the GCC folder as lib/gcc and
  # names the C++ headers lib/gcc/T/V/../../../../include/...: right only
  # through the link. The build tools shorten such paths as text, to files
  # that do not exist, and then compile everything on every build. Pointed
  # at usr (--gcc-toolchain), clang names them usr/include/... .
  if(IS_DIRECTORY "${CMAKE_SYSROOT}/usr/lib/gcc/${TARN_TARGET_TRIPLE}")
    set(CMAKE_C_COMPILER_EXTERNAL_TOOLCHAIN "${CMAKE_SYSROOT}/usr")
    set(CMAKE_CXX_COMPILER_EXTERNAL_TOOLCHAIN "${CMAKE_SYSROOT}/usr")
  endif()
  # clang links with TRIPLE-ld, else the build machine's own ld: without an
  # SDK's binutils for a vendor triple, the armhf binutils link instead.
  set(_tarn_cxx "${CMAKE_CXX_COMPILER}")
  if(NOT _tarn_cxx)
    set(_tarn_cxx "$ENV{CXX}")
  endif()
  if(_tarn_cxx MATCHES "clang")
    find_program(_tarn_ld NAMES ${TARN_TARGET_TRIPLE}-ld)
    if(NOT _tarn_ld)
      find_program(_tarn_ld NAMES ${TARN_TARGET_TRIPLET}-ld REQUIRED)
      foreach(_tarn_kind EXE SHARED MODULE)
        set(CMAKE_${_tarn_kind}_LINKER_FLAGS_INIT "--ld-path=${_tarn_ld}")
      endforeach()
    endif()
  endif()
  # Debian's armhf baseline (a target GCC has it built in; clang does not).
  set(TARN_ARMHF_BASELINE "-march=armv7-a -mfpu=vfpv3-d16 -mfloat-abi=hard -mthumb")
  set(CMAKE_C_FLAGS_INIT "${TARN_ARMHF_BASELINE}")
  set(CMAKE_CXX_FLAGS_INIT "${TARN_ARMHF_BASELINE}")
  # Searches are re-rooted into the sysroot (CMake adds CMAKE_SYSROOT to the
  # find root); the sysroot's CMake packages (Boost, GTest) are found there.
  set(CMAKE_CROSSCOMPILING_EMULATOR /usr/bin/qemu-arm;-L;${CMAKE_SYSROOT})
  # A sysroot without multiarch folders (an SDK's) keeps its libraries in
  # /lib and /usr/lib, as a loader built without multiarch searches them. A
  # Debian loader searches the multiarch folders, which qemu-arm -L, finding
  # none in the sysroot, would take from the build machine: it is sent to
  # /lib and /usr/lib first.
  if(NOT IS_DIRECTORY "${CMAKE_SYSROOT}/lib/${TARN_TARGET_TRIPLET}"
     AND NOT IS_DIRECTORY "${CMAKE_SYSROOT}/usr/lib/${TARN_TARGET_TRIPLET}")
    list(APPEND CMAKE_CROSSCOMPILING_EMULATOR -E LD_LIBRARY_PATH=/lib:/usr/lib)
  endif()
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
