# Language level and warnings shared by every target of the project.
set(CMAKE_CXX_STANDARD 17)
set(CMAKE_CXX_STANDARD_REQUIRED ON)
set(CMAKE_CXX_EXTENSIONS OFF)
set(CMAKE_POSITION_INDEPENDENT_CODE ON)
if(NOT CMAKE_BUILD_TYPE AND NOT CMAKE_CONFIGURATION_TYPES)
  set(CMAKE_BUILD_TYPE RelWithDebInfo CACHE STRING "Build type" FORCE)
endif()

# macOS: everything hidden unless marked, so velto's bundle exports its entry
# point alone (zig's linker takes no exported-symbols list).
if(APPLE)
  set(CMAKE_C_VISIBILITY_PRESET hidden)
  set(CMAKE_CXX_VISIBILITY_PRESET hidden)
  set(CMAKE_VISIBILITY_INLINES_HIDDEN ON)
endif()

add_library(kivo_warnings INTERFACE)
if(MSVC)
  target_compile_options(kivo_warnings INTERFACE /W4)
else()
  target_compile_options(kivo_warnings INTERFACE -Wall -Wextra -Wpedantic)
endif()

# Sanitizer builds: -DKIVO_SANITIZE=thread or -DKIVO_SANITIZE=address,undefined
# (the presets tsan, asan and fuzz). Every target of the project links
# kivo_warnings, which carries kivo_sanitizers, so no part of a sanitized
# program is built without them; outside libraries (GoogleTest) are left alone.
set(KIVO_SANITIZE "" CACHE STRING "Sanitizers to build with (thread | address,undefined)")
add_library(kivo_sanitizers INTERFACE)
if(KIVO_SANITIZE)
  target_compile_options(kivo_sanitizers INTERFACE
    -fsanitize=${KIVO_SANITIZE} -fno-omit-frame-pointer -fno-sanitize-recover=all)
  target_link_options(kivo_sanitizers INTERFACE -fsanitize=${KIVO_SANITIZE})
endif()
target_link_libraries(kivo_warnings INTERFACE kivo_sanitizers)
