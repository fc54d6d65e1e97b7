# Cross-builds with zig's C and C++ compiler, which brings the headers and
# libraries of its targets (macOS's SDK headers, glibc versions, libc++):
#
#   export KIVO_ZIG=$(scripts/zig.sh)
#   cmake --preset macos-arm64        (or macos-x86_64, glnxa64)
#
# KIVO_ZIG: the zig program. KIVO_ZIG_TARGET: x86_64-macos, aarch64-macos, or
# x86_64-linux-gnu.2.28 (a Linux build that needs no glibc newer than 2.28 and
# carries zig's libc++ inside, for MATLAB's own older C++ library).
# scripts/build-macos.sh and scripts/package.sh use it. zig's cache goes to
# KIVO_ZIG_CACHE (beside zig).
if(NOT KIVO_ZIG OR NOT EXISTS "${KIVO_ZIG}")
  message(FATAL_ERROR "No zig at KIVO_ZIG='${KIVO_ZIG}': scripts/zig.sh installs zig and prints its path; "
                      "export KIVO_ZIG=$(scripts/zig.sh) before configuring (scripts/build-macos.sh does)")
endif()
if(NOT KIVO_ZIG_TARGET)
  message(FATAL_ERROR "KIVO_ZIG_TARGET is not set (see cmake/toolchains/zig.cmake)")
endif()
list(APPEND CMAKE_TRY_COMPILE_PLATFORM_VARIABLES KIVO_ZIG KIVO_ZIG_TARGET KIVO_ZIG_CACHE)
if(NOT KIVO_ZIG_CACHE)
  get_filename_component(zig_dir ${KIVO_ZIG} DIRECTORY)
  set(KIVO_ZIG_CACHE ${zig_dir}/../../../cache)
endif()
get_filename_component(KIVO_ZIG_CACHE ${KIVO_ZIG_CACHE} ABSOLUTE)

if(KIVO_ZIG_TARGET MATCHES "macos")
  set(CMAKE_SYSTEM_NAME Darwin)
  set(CMAKE_OSX_SYSROOT "" CACHE PATH "zig brings the SDK headers")
  set(CMAKE_OSX_DEPLOYMENT_TARGET "" CACHE STRING "set through zig's target instead")
  # The oldest macOS the binaries run on, the oldest zig 0.11 knows: 11.0.
  set(KIVO_MACOS_MINIMUM 11.0)
  if(NOT KIVO_ZIG_TARGET MATCHES "macos\\.")
    set(KIVO_ZIG_TARGET ${KIVO_ZIG_TARGET}.${KIVO_MACOS_MINIMUM})
  endif()
  # velto's bundle is relinked by ld64.lld (LLVM's Mach-O linker, Debian's
  # lld), which takes an exported-symbols list; zig's does not.
  find_program(KIVO_LD64_LLD NAMES ld64.lld ld64.lld-14 ld64.lld-15 ld64.lld-16 REQUIRED)
  get_filename_component(zig_home ${KIVO_ZIG} DIRECTORY)
  set(KIVO_ZIG_LIBSYSTEM ${zig_home}/lib/libc/darwin/libSystem.11.tbd)
  string(REGEX REPLACE "-.*" "" zig_arch ${KIVO_ZIG_TARGET})
  string(REPLACE "aarch64" "arm64" zig_arch ${zig_arch})
  set(KIVO_ZIG_BUNDLE_LINK "${CMAKE_CURRENT_LIST_DIR}/zig-macos-bundle.sh ${KIVO_LD64_LLD} ${zig_arch} ${KIVO_MACOS_MINIMUM}")
else()
  set(CMAKE_SYSTEM_NAME Linux)
endif()
if(KIVO_ZIG_TARGET MATCHES "^aarch64")
  set(CMAKE_SYSTEM_PROCESSOR arm64)
else()
  set(CMAKE_SYSTEM_PROCESSOR x86_64)
endif()

# One-line wrappers, since a compiler for CMake is one program: zig with its
# command and target, and its caches outside the source tree.
set(wrappers ${KIVO_ZIG_CACHE}/wrappers/${KIVO_ZIG_TARGET})
foreach(tool cc c++ ar ranlib)
  if(tool MATCHES "^c")
    set(target_flag "-target ${KIVO_ZIG_TARGET}")
  else()
    set(target_flag "")
  endif()
  file(WRITE ${wrappers}/${tool}.tmp
    "#!/bin/sh\nexport ZIG_GLOBAL_CACHE_DIR='${KIVO_ZIG_CACHE}' ZIG_LOCAL_CACHE_DIR='${KIVO_ZIG_CACHE}'\n"
    "exec '${KIVO_ZIG}' ${tool} ${target_flag} \"$@\"\n")
  file(COPY_FILE ${wrappers}/${tool}.tmp ${wrappers}/zig-${tool} ONLY_IF_DIFFERENT)
  file(CHMOD ${wrappers}/zig-${tool} PERMISSIONS OWNER_READ OWNER_WRITE OWNER_EXECUTE GROUP_READ GROUP_EXECUTE
                                                 WORLD_READ WORLD_EXECUTE)
endforeach()
set(CMAKE_C_COMPILER ${wrappers}/zig-cc)
set(CMAKE_CXX_COMPILER ${wrappers}/zig-c++)
set(CMAKE_AR ${wrappers}/zig-ar CACHE FILEPATH "zig's archiver")
set(CMAKE_RANLIB ${wrappers}/zig-ranlib CACHE FILEPATH "zig's ranlib")

# Headers and libraries come from zig only; programs from the build machine.
set(CMAKE_FIND_ROOT_PATH ${KIVO_ZIG_CACHE}/no-sysroot)
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_PACKAGE ONLY)
set(nlohmann_json_DIR ${CMAKE_CURRENT_LIST_DIR}/nlohmann_json CACHE PATH "nlohmann_json for cross-builds")
