# Per-OS choices in one place: which realisation of each platform service is
# compiled, and which system libraries the programs link.
if(WIN32)
  set(KIVO_PLATFORM_DIR win)
  set(KIVO_SYSTEM_LIBS ws2_32)
else()
  set(KIVO_PLATFORM_DIR posix)
  # The POSIX realisations use Linux's own facilities on Linux and portable
  # POSIX calls elsewhere (macOS). KIVO_PORTABLE_POSIX=ON builds the portable
  # ones on Linux too, so that the code macOS gets runs in the tests here.
  option(KIVO_PORTABLE_POSIX "Build the portable POSIX code (macOS's) on Linux as well" OFF)
  if(CMAKE_SYSTEM_NAME STREQUAL "Linux" AND NOT KIVO_PORTABLE_POSIX)
    set(KIVO_POSIX_VARIANT linux)
  else()
    set(KIVO_POSIX_VARIANT portable)
  endif()
  message(STATUS "POSIX realisations: ${KIVO_POSIX_VARIANT}")
  set(KIVO_SYSTEM_LIBS Threads::Threads)
endif()
