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
# without it), and the package kivo's module is built for it, with Python's
# headers. The python3 first on the PATH (a virtual environment's) is taken
# unless it lacks what Debian's /usr/bin/python3 has of these.
function(kivo_python3_level python out)
  execute_process(COMMAND ${python} -c "import numpy" RESULT_VARIABLE no_numpy OUTPUT_QUIET ERROR_QUIET)
  set(headers "import os, sysconfig; assert os.path.isfile(os.path.join(sysconfig.get_paths()['include'], 'Python.h'))")
  execute_process(COMMAND ${python} -c "${headers}" RESULT_VARIABLE no_headers OUTPUT_QUIET ERROR_QUIET)
  set(needs_headers OFF)
  if(KIVO_BUILD_PYTHON AND NOT CMAKE_CROSSCOMPILING)
    set(needs_headers ON)
  endif()
  if(NOT no_numpy EQUAL 0)
    set(${out} 0 "has no numpy" PARENT_SCOPE)
  elseif(needs_headers AND NOT no_headers EQUAL 0)
    set(${out} 1 "has no Python headers for the module" PARENT_SCOPE)
  else()
    set(${out} 2 "" PARENT_SCOPE)
  endif()
endfunction()

find_program(path_python3 python3 NO_PACKAGE_ROOT_PATH NO_CMAKE_PATH NO_CMAKE_ENVIRONMENT_PATH
             NO_CMAKE_SYSTEM_PATH NO_CACHE)
find_program(debian_python3 /usr/bin/python3 NO_CACHE)
set(KIVO_PYTHON3 "")
set(best_level -1)
foreach(python IN ITEMS ${path_python3} ${debian_python3})
  kivo_python3_level(${python} level_and_lack)
  list(GET level_and_lack 0 level)
  if(level GREATER best_level)
    set(best_level ${level})
    set(KIVO_PYTHON3 ${python})
  endif()
  if(python STREQUAL path_python3)
    list(GET level_and_lack 1 path_python3_lack)
  endif()
endforeach()
set(KIVO_NUMPY_PYTHON3 "")
if(best_level GREATER 0)
  set(KIVO_NUMPY_PYTHON3 ${KIVO_PYTHON3})
endif()
if(NOT KIVO_PYTHON3)
  message(STATUS "Python: no python3 found")
elseif(KIVO_PYTHON3 STREQUAL path_python3)
  message(STATUS "Python: ${KIVO_PYTHON3}, the first python3 on the PATH")
elseif(path_python3)
  message(STATUS "Python: ${KIVO_PYTHON3}, Debian's: ${path_python3}, first on the PATH, ${path_python3_lack}")
else()
  message(STATUS "Python: ${KIVO_PYTHON3}, Debian's: there is no python3 on the PATH")
endif()

# The Python package kivo is built with pybind11 for a Python that has numpy.
if(KIVO_BUILD_PYTHON AND NOT CMAKE_CROSSCOMPILING)
  if(NOT Python3_EXECUTABLE AND KIVO_NUMPY_PYTHON3)
    set(Python3_EXECUTABLE ${KIVO_NUMPY_PYTHON3})
  endif()
  find_package(Python3 COMPONENTS Interpreter Development.Module)
  find_package(pybind11 CONFIG QUIET)
endif()
