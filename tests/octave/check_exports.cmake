# Checks that the plug-in's dynamic symbol table defines mexFunction and
# nothing else. Run with -DNM=<nm> -DMODULE=<velto.mex>.
execute_process(COMMAND ${NM} -D --defined-only ${MODULE}
                OUTPUT_VARIABLE symbols RESULT_VARIABLE result)
if(NOT result EQUAL 0)
  message(FATAL_ERROR "nm failed on ${MODULE}")
endif()
string(REGEX MATCHALL "[^\n]+" lines "${symbols}")
set(exported "")
foreach(line IN LISTS lines)
  string(REGEX REPLACE "^[0-9a-fA-F]* *[A-Za-z] " "" name "${line}")
  list(APPEND exported ${name})
endforeach()
if(NOT exported STREQUAL "mexFunction")
  message(FATAL_ERROR "velto exports [${exported}], expected mexFunction alone")
endif()
message(STATUS "velto exports mexFunction alone")
