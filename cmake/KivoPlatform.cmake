# Per-OS choices in one place: which realisation of each platform service is
# compiled, and which system libraries the programs link.
if(WIN32)
  set(KIVO_PLATFORM_DIR win)
  set(KIVO_SYSTEM_LIBS ws2_32)
else()
  set(KIVO_PLATFORM_DIR posix)
  find_package(Threads REQUIRED)
  set(KIVO_SYSTEM_LIBS Threads::Threads)
endif()
