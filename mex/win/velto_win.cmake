# velto.mexw64 / velto.mexw32 built with MinGW-w64: a DLL that imports what it
# calls from MATLAB's libmex.dll and libmx.dll through import libraries made
# here from libmex.def and libmx.def (so MATLAB is not needed to build it),
# and exports what velto.def names.
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

add_dependencies(velto_matlab_mex velto_matlab_import_libs)
target_link_libraries(velto_matlab_mex PRIVATE ${velto_import_libs})
target_link_options(velto_matlab_mex PRIVATE ${velto_win_dir}/velto.def)
set_target_properties(velto_matlab_mex PROPERTIES
  LINK_DEPENDS "${velto_win_dir}/velto.def;${velto_import_libs}")
