# Stand-ins for MATLAB's libmx.dylib and libmex.dylib to link velto's macOS
# bundle against: every name matlab_exports.txt gives each library, as an
# empty function, under MATLAB's install names (@rpath/libmx.dylib). The
# bundle then binds each name to the library that exports it, a name MATLAB
# does not export fails the link, and in MATLAB the real libraries serve.
# They are for linking only and are not shipped.
file(STRINGS ${CMAKE_CURRENT_LIST_DIR}/matlab_exports.txt matlab_names REGEX "^lib")
set_property(DIRECTORY APPEND PROPERTY CMAKE_CONFIGURE_DEPENDS ${CMAKE_CURRENT_LIST_DIR}/matlab_exports.txt)
foreach(lib libmx libmex)
  set(source "/* Generated from matlab_exports.txt: link-time stand-in for MATLAB's ${lib}. */\n")
  foreach(line IN LISTS matlab_names)
    if(line MATCHES "^${lib} ([A-Za-z0-9_]+)$")
      string(APPEND source "void ${CMAKE_MATCH_1}(void) {}\n")
    endif()
  endforeach()
  set(file ${CMAKE_CURRENT_BINARY_DIR}/matlab-stubs/${lib}.c)
  file(CONFIGURE OUTPUT ${file} CONTENT "${source}")
  string(REGEX REPLACE "^lib" "" name ${lib})
  add_library(matlab_stub_${lib} SHARED ${file})
  set_target_properties(matlab_stub_${lib} PROPERTIES OUTPUT_NAME ${name}
    LIBRARY_OUTPUT_DIRECTORY ${CMAKE_CURRENT_BINARY_DIR}/matlab-stubs NO_SONAME ON)
  target_link_options(matlab_stub_${lib} PRIVATE -Wl,-install_name,@rpath/${lib}.dylib)
endforeach()
