# velto for MATLAB without MATLAB at hand (target velto_matlab_mex): the
# gateway compiled against matlab_link/mex.h, which binds MATLAB's NAME_730
# symbols, into velto.mexa64 (Linux), velto.mexw64 / velto.mexw32 (Windows,
# MinGW-w64) or velto.mexmaci64 / velto.mexmaca64 (macOS). Each exports
# mexFunction alone. On Windows it imports from MATLAB's libmex.dll and
# libmx.dll through import libraries made from win/*.def, on macOS from
# @rpath/libmx.dylib and @rpath/libmex.dylib through stub libraries made from
# matlab_exports.txt (as a mex build links MATLAB's); on Linux the mx and mex
# functions stay undefined until MATLAB loads the file.
set(velto_gateway_dir ${CMAKE_CURRENT_LIST_DIR}/..)
if(WIN32)
  if(NOT MINGW)
    message(STATUS "velto for Windows: build it with MATLAB's mex command or FindMatlab (MinGW builds it here)")
    return()
  endif()
  if(CMAKE_SIZEOF_VOID_P EQUAL 8)
    set(VELTO_MEXEXT mexw64)
  else()
    set(VELTO_MEXEXT mexw32)
  endif()
elseif(APPLE)
  if(CMAKE_SYSTEM_PROCESSOR MATCHES "^(arm64|aarch64)$")
    set(VELTO_MEXEXT mexmaca64)
  else()
    set(VELTO_MEXEXT mexmaci64)
  endif()
elseif(CMAKE_SYSTEM_NAME STREQUAL "Linux" AND CMAKE_SIZEOF_VOID_P EQUAL 8)
  set(VELTO_MEXEXT mexa64)
else()
  message(STATUS "velto for MATLAB: no MATLAB for ${CMAKE_SYSTEM_NAME} ${CMAKE_SYSTEM_PROCESSOR}")
  return()
endif()

if(APPLE)
  # A dynamic library, which MATLAB's dlopen loads as well as a bundle; zig's
  # linker makes no bundles (a zig build relinks it as one, below).
  add_library(velto_matlab_mex SHARED ${VELTO_GATEWAY_SOURCES})
else()
  add_library(velto_matlab_mex MODULE ${VELTO_GATEWAY_SOURCES})
endif()
target_include_directories(velto_matlab_mex PRIVATE ${CMAKE_CURRENT_LIST_DIR})
target_link_libraries(velto_matlab_mex PRIVATE kivo_acquisition kivo_warnings)
set_target_properties(velto_matlab_mex PROPERTIES
  OUTPUT_NAME velto PREFIX "" SUFFIX ".${VELTO_MEXEXT}"
  LIBRARY_OUTPUT_DIRECTORY ${CMAKE_BINARY_DIR} RUNTIME_OUTPUT_DIRECTORY ${CMAKE_BINARY_DIR})
if(WIN32)
  include(${velto_gateway_dir}/win/velto_win.cmake)
elseif(APPLE)
  include(${CMAKE_CURRENT_LIST_DIR}/matlab_stub_dylibs.cmake)
  target_link_libraries(velto_matlab_mex PRIVATE matlab_stub_libmx matlab_stub_libmex)
  target_compile_definitions(velto_matlab_mex PRIVATE "VELTO_MEX_ENTRY=__attribute__((visibility(\"default\")))")
  set(velto_exports ${CMAKE_CURRENT_LIST_DIR}/velto.exports)
  set_target_properties(velto_matlab_mex PROPERTIES LINK_DEPENDS ${velto_exports})
  if(KIVO_ZIG_BUNDLE_LINK)
    # zig links a library; the bundle MATLAB loads comes from ld64.lld.
    set_target_properties(velto_matlab_mex PROPERTIES
      RULE_LAUNCH_LINK "${KIVO_ZIG_BUNDLE_LINK} ${velto_exports} ${KIVO_ZIG_LIBSYSTEM} --")
  else()
    target_link_options(velto_matlab_mex PRIVATE -Wl,-exported_symbols_list,${velto_exports})
  endif()
else()
  if(KIVO_ZIG)
    target_sources(velto_matlab_mex PRIVATE ${CMAKE_CURRENT_LIST_DIR}/unload_finalize_zig.cpp)
  endif()
  target_link_options(velto_matlab_mex PRIVATE -Wl,--version-script=${velto_gateway_dir}/velto.map)
  set_target_properties(velto_matlab_mex PROPERTIES LINK_DEPENDS ${velto_gateway_dir}/velto.map)
endif()
install(TARGETS velto_matlab_mex LIBRARY DESTINATION ${KIVO_INSTALL_MATLAB_DIR})
