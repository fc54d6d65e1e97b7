# The packages and outside programs that parts of the build share, each looked
# up once here; the directories below see the results.

# The POSIX realisations run their threads on the system's threads library.
if(NOT WIN32)
  find_package(Threads REQUIRED)
endif()

# The metadata files beside the sample files are JSON (kivo_stream, kivoinspect,
# the tests that read them back).
find_package(nlohmann_json 3 REQUIRED)

# GoogleTest for the target: the Windows cross-builds have it only once
# scripts/build-windows.sh has built it, and zig's builds run no tests but the
# symbol checks, which need none. Without it KIVO_TESTS (whether tests/ is
# built) is off, with a warning, so that every preset configures by itself.
set(KIVO_TESTS ${KIVO_BUILD_TESTS})
if(KIVO_BUILD_TESTS AND (WIN32 OR NOT CMAKE_CROSSCOMPILING))
  find_package(GTest QUIET)
  if(NOT GTest_FOUND)
    if(WIN32 AND CMAKE_CROSSCOMPILING)
      set(gtest_hint "scripts/build-windows.sh builds it into ${CMAKE_BINARY_DIR}/googletest")
    else()
      set(gtest_hint "Debian: libgtest-dev, or set GTest_DIR")
    endif()
    message(WARNING "GoogleTest for ${CMAKE_SYSTEM_NAME} ${CMAKE_SYSTEM_PROCESSOR} not found "
                    "(${gtest_hint}): the tests are not built")
    set(KIVO_TESTS OFF)
  endif()
endif()

# Octave runs the plug-in's tests and the filter benchmark's comparison.
find_program(OCTAVE_EXECUTABLE octave-cli octave)

# python3 drives the Python tests and the symbol checks (KIVO_PYTHON3); the
# readers' and the reliability tests need numpy too (KIVO_NUMPY_PYTHON3, empty
# without one). Debian's python3 comes before another one first on the PATH.
set(KIVO_PYTHON3 "")
set(KIVO_NUMPY_PYTHON3 "")
foreach(candidate /usr/bin/python3 python3)
  find_program(python_candidate_${candidate} NAMES ${candidate} NO_CACHE)
  set(python ${python_candidate_${candidate}})
  if(python AND NOT KIVO_NUMPY_PYTHON3)
    if(NOT KIVO_PYTHON3)
      set(KIVO_PYTHON3 ${python})
    endif()
    execute_process(COMMAND ${python} -c "import numpy" RESULT_VARIABLE no_numpy OUTPUT_QUIET ERROR_QUIET)
    if(no_numpy EQUAL 0)
      set(KIVO_NUMPY_PYTHON3 ${python})
    endif()
  endif()
endforeach()
unset(python)

# The Python package kivo is built with pybind11 for a Python that has numpy.
if(KIVO_BUILD_PYTHON AND NOT CMAKE_CROSSCOMPILING)
  if(NOT Python3_EXECUTABLE AND KIVO_NUMPY_PYTHON3)
    set(Python3_EXECUTABLE ${KIVO_NUMPY_PYTHON3})
  endif()
  find_package(Python3 COMPONENTS Interpreter Development.Module)
  find_package(pybind11 CONFIG QUIET)
endif()
