# Cross-builds for Windows with MinGW-w64, posix thread model: the presets
# win64 (KIVO_MINGW_ARCH=x86_64) and win32 (i686), which scripts/build-windows.sh
# configures once it has built GoogleTest for them.
#
# Every program and DLL links libgcc, libstdc++ and winpthread statically, so
# nothing but Windows' own DLLs (and, for the plug-in, MATLAB's libmex and
# libmx) has to sit beside them. 64-bit programs run here under wine64 when
# it is installed: CTest starts them through wine-run.sh.
if(NOT KIVO_MINGW_ARCH)
  set(KIVO_MINGW_ARCH x86_64)
endif()
if(NOT KIVO_MINGW_ARCH MATCHES "^(x86_64|i686)$")
  message(FATAL_ERROR "KIVO_MINGW_ARCH must be x86_64 or i686, not '${KIVO_MINGW_ARCH}'")
endif()
# try_compile projects read this file again and need the same choice.
list(APPEND CMAKE_TRY_COMPILE_PLATFORM_VARIABLES KIVO_MINGW_ARCH)

set(CMAKE_SYSTEM_NAME Windows)
set(CMAKE_SYSTEM_PROCESSOR ${KIVO_MINGW_ARCH})
set(KIVO_MINGW_TRIPLE ${KIVO_MINGW_ARCH}-w64-mingw32)

set(CMAKE_C_COMPILER ${KIVO_MINGW_TRIPLE}-gcc-posix)
set(CMAKE_CXX_COMPILER ${KIVO_MINGW_TRIPLE}-g++-posix)
set(CMAKE_RC_COMPILER ${KIVO_MINGW_TRIPLE}-windres)
set(CMAKE_DLLTOOL ${KIVO_MINGW_TRIPLE}-dlltool)
set(CMAKE_OBJDUMP ${KIVO_MINGW_TRIPLE}-objdump)

# Libraries and headers come from the MinGW-w64 tree only; programs
# (code generators, wine) from the build machine.
set(CMAKE_FIND_ROOT_PATH /usr/${KIVO_MINGW_TRIPLE})
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_PACKAGE ONLY)

set(CMAKE_EXE_LINKER_FLAGS_INIT "-static")
set(CMAKE_SHARED_LINKER_FLAGS_INIT "-static")
set(CMAKE_MODULE_LINKER_FLAGS_INIT "-static")

# The JSON library is header-only: the build machine's headers serve, through
# a package file that does not put the build machine's /usr/include on the
# include path.
set(nlohmann_json_DIR ${CMAKE_CURRENT_LIST_DIR}/nlohmann_json CACHE PATH
    "nlohmann_json for the Windows cross-build")

# wine64 runs the 64-bit programs of the tests. (This wine cannot run 32-bit
# programs: the i686 build is compiled and checked only.)
if(KIVO_MINGW_ARCH STREQUAL "x86_64")
  find_program(KIVO_WINE64 NAMES wine64 PATHS /usr/lib/wine /usr/lib64/wine NO_CACHE)
  if(KIVO_WINE64)
    set(CMAKE_CROSSCOMPILING_EMULATOR ${CMAKE_CURRENT_LIST_DIR}/wine-run.sh)
  endif()
endif()
