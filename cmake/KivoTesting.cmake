# Helpers for registering tests with CTest.
#
# kivo_add_gtest(<name> SOURCES <files>... [LIBS <libs>...] [LABEL <label>])
#   A GoogleTest program, one CTest test per test case. (One label: a list
#   would not survive the way discovered tests get their properties.)
# kivo_add_octave_test(<name> SCRIPT <file.m> [PORT <base>] [TIMEOUT <s>] [LABELS ...] [RESOURCE_LOCK ...])
#   Runs an Octave script against the built plug-in. The script sees
#   VELTO_DIR (folder of velto.mex), KIVOSIM (the simulator), KIVO_TOOLS_DIR,
#   KIVO_TEST_PORT (the first of ten UDP ports reserved for it),
#   KIVO_TEST_TMP (a fresh folder of its own) and KIVO_VERSION (the project's).
#   It passes when Octave exits with status 0.
include(GoogleTest)

set(KIVO_OCTAVE_TEST_LIB ${CMAKE_CURRENT_LIST_DIR}/../tests/octave/lib)

function(kivo_add_gtest name)
  cmake_parse_arguments(T "" "LABEL" "SOURCES;LIBS;LABELS" ${ARGN})
  if(NOT T_LABEL AND T_LABELS)
    list(GET T_LABELS 0 T_LABEL)
  endif()
  add_executable(${name} ${T_SOURCES})
  target_link_libraries(${name} PRIVATE GTest::gtest_main ${T_LIBS} kivo_warnings)
  target_include_directories(${name} PRIVATE ${PROJECT_SOURCE_DIR}/tests/common)
  gtest_discover_tests(${name} DISCOVERY_MODE PRE_TEST PROPERTIES LABELS "${T_LABEL}" TIMEOUT 300)
endfunction()

function(kivo_add_octave_test name)
  cmake_parse_arguments(T "" "SCRIPT;PORT;TIMEOUT" "LABELS;RESOURCE_LOCK" ${ARGN})
  if(NOT OCTAVE_EXECUTABLE OR NOT TARGET velto)
    return()
  endif()
  if(NOT T_PORT)
    set(T_PORT 0)
  endif()
  if(NOT T_TIMEOUT)
    set(T_TIMEOUT 300)
  endif()
  get_filename_component(script_dir ${T_SCRIPT} DIRECTORY)
  get_filename_component(script_name ${T_SCRIPT} NAME_WE)
  set(tmp ${CMAKE_BINARY_DIR}/test-tmp/${name})
  add_test(NAME ${name}
    COMMAND ${CMAKE_COMMAND} -E env
      VELTO_DIR=${CMAKE_BINARY_DIR}
      KIVOSIM=$<TARGET_FILE:kivosim>
      KIVO_TOOLS_DIR=$<TARGET_FILE_DIR:kivosim>
      KIVO_TEST_PORT=${T_PORT}
      KIVO_TEST_TMP=${tmp}
      KIVO_VERSION=${PROJECT_VERSION}
      ${OCTAVE_EXECUTABLE} --no-gui --norc --no-history --quiet
      --path ${KIVO_OCTAVE_TEST_LIB} --path ${script_dir}
      --eval "kivo_run_test('${script_name}')")
  # kivo_run_test ends Octave with status 1 when a check failed.
  set_tests_properties(${name} PROPERTIES LABELS "octave;${T_LABELS}" TIMEOUT ${T_TIMEOUT})
  if(T_RESOURCE_LOCK)
    set_tests_properties(${name} PROPERTIES RESOURCE_LOCK "${T_RESOURCE_LOCK}")
  endif()
endfunction()
