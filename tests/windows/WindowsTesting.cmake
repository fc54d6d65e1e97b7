# Test registration for the Windows builds. kivo_add_gtest registers each
# GoogleTest program as one CTest test: under wine64 every start of a program
# costs a fraction of a second, so the program runs once with all its cases.
# When cross-building, CTest starts the programs through the toolchain's
# emulator (wine64); without one (the 32-bit build here) they are built only.
set(KIVO_WINDOWS_TESTS_RUN ON)
if(CMAKE_CROSSCOMPILING AND NOT CMAKE_CROSSCOMPILING_EMULATOR)
  set(KIVO_WINDOWS_TESTS_RUN OFF)
  message(STATUS "No way to run Windows programs here: the Windows tests are built, not registered")
endif()
# Every wine start of the tests shares one wine prefix in the build folder.
set(KIVO_WINDOWS_TEST_ENVIRONMENT "KIVO_WINEPREFIX=${CMAKE_BINARY_DIR}/wineprefix;WINEDEBUG=-all")

# kivo_add_windows_test(<name> COMMAND <target or program> <args>... [LABEL l] [RESOURCE_LOCK r]
#                       [RUN_SERIAL])
# RUN_SERIAL: the test streams datagrams, which wine's receive must keep up
# with in a socket buffer of the build machine's default size; it runs alone.
function(kivo_add_windows_test name)
  cmake_parse_arguments(T "RUN_SERIAL" "LABEL;RESOURCE_LOCK;TIMEOUT" "COMMAND" ${ARGN})
  if(NOT KIVO_WINDOWS_TESTS_RUN)
    return()
  endif()
  if(NOT T_TIMEOUT)
    set(T_TIMEOUT 300)
  endif()
  add_test(NAME ${name} COMMAND ${T_COMMAND})
  set_tests_properties(${name} PROPERTIES LABELS "windows;${T_LABEL}" TIMEOUT ${T_TIMEOUT}
                                          ENVIRONMENT "${KIVO_WINDOWS_TEST_ENVIRONMENT}")
  if(T_RESOURCE_LOCK)
    set_tests_properties(${name} PROPERTIES RESOURCE_LOCK ${T_RESOURCE_LOCK})
  endif()
  if(T_RUN_SERIAL)
    set_tests_properties(${name} PROPERTIES RUN_SERIAL ON)
  endif()
endfunction()

# Every program gets a main() that holds the socket library while it runs.
set(KIVO_WINDOWS_GTEST_MAIN ${CMAKE_CURRENT_LIST_DIR}/winsock_gtest_main.cpp)

function(kivo_add_gtest name)
  cmake_parse_arguments(T "" "LABEL" "SOURCES;LIBS;LABELS" ${ARGN})
  if(NOT T_LABEL AND T_LABELS)
    list(GET T_LABELS 0 T_LABEL)
  endif()
  add_executable(${name} ${T_SOURCES} ${KIVO_WINDOWS_GTEST_MAIN})
  target_link_libraries(${name} PRIVATE GTest::gtest ${T_LIBS} kivo_stream kivo_warnings)
  target_include_directories(${name} PRIVATE ${PROJECT_SOURCE_DIR}/tests/common)
  kivo_add_windows_test(${name} COMMAND ${name} --gtest_brief=1 LABEL ${T_LABEL})
endfunction()

# Octave does not run the Windows plug-in here.
function(kivo_add_octave_test)
endfunction()
