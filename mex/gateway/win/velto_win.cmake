# velto for MATLAB on Windows, built with MinGW-w64: velto.mexw64 for 64-bit
# and velto.mexw32 for 32-bit MATLAB. A DLL that exports mexFunction alone
# and imports what it calls from MATLAB's libmex.dll and libmx.dll, through
# import libraries made here from libmex.def and libmx.def, so MATLAB is not
# needed to build it. (With MATLAB at hand, MATLAB's own mex command or
# FindMatlab builds the same sources; see the README.)
if(NOT MINGW)
  message(STATUS "velto for Windows: build it with MATLAB's mex command or FindMatlab (MinGW builds it here)")
  return()
endif()
# Where FindMatlab finds MATLAB, matlab_add_mex builds velto against MATLAB's
# own headers and libraries instead.
if(NOT DEFINED KIVO_BUILD_MATLAB OR KIVO_BUILD_MATLAB)
  find_package(Matlab QUIET COMPONENTS MX_LIBRARY)
  if(Matlab_FOUND)
    return()
  endif()
endif()

if(CMAKE_SIZEOF_VOID_P EQUAL 8)
  set(VELTO_MEXEXT mexw64)
else()
  set(VELTO_MEXEXT mexw32)
endif()

set(velto_win_dir ${CMAKE_CURRENT_LIST_DIR})
set(velto_import_dir ${CMAKE_CURRENT_BINARY_DIR}/matlab-import)
set(velto_import_libs "")
foreach(lib libmex libmx)
  add_custom_command(OUTPUT ${velto_import_dir}/${lib}.a
    COMMAND ${CMAKE_COMMAND} -E make_directory ${velto_import_dir}
    COMMAND ${CMAKE_DLLTOOL} --input-def ${velto_win_dir}/${lib}.def --dllname ${lib}.dll
            --output-lib ${velto_import_dir}/${lib}.a
    DEPENDS ${velto_win_dir}/${lib}.def
    COMMENT "Import library for ${lib}.dll"
    VERBATIM)
  list(APPEND velto_import_libs ${velto_import_dir}/${lib}.a)
endforeach()
add_custom_target(velto_matlab_import_libs DEPENDS ${velto_import_libs})

add_library(velto_win MODULE ${VELTO_GATEWAY_SOURCES})
add_dependencies(velto_win velto_matlab_import_libs)
target_include_directories(velto_win PRIVATE ${velto_win_dir})
target_link_libraries(velto_win PRIVATE velto_core kivo_warnings ${velto_import_libs})
target_link_options(velto_win PRIVATE ${velto_win_dir}/velto.def)
set_target_properties(velto_win PROPERTIES
  OUTPUT_NAME velto PREFIX "" SUFFIX ".${VELTO_MEXEXT}"
  LIBRARY_OUTPUT_DIRECTORY ${CMAKE_BINARY_DIR}
  LINK_DEPENDS "${velto_win_dir}/velto.def;${velto_import_libs}")
install(TARGETS velto_win LIBRARY DESTINATION ${KIVO_INSTALL_MATLAB_DIR})
