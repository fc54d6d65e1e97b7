# Checks what a Windows DLL or program exports and which DLLs it needs.
# Run with -DOBJDUMP=<objdump> -DFILE=<dll or exe> -DEXPORTS=<names, comma-separated, or empty>
#          [-DEXTRA_IMPORTS=<comma-separated DLL names besides Windows' own>]
# A program for Windows users must need nothing but Windows' own DLLs (and,
# for the plug-in, MATLAB's libmex.dll and libmx.dll): no MinGW runtime DLL.
cmake_minimum_required(VERSION 3.20)
string(REPLACE "," ";" EXPORTS "${EXPORTS}")
string(REPLACE "," ";" EXTRA_IMPORTS "${EXTRA_IMPORTS}")
execute_process(COMMAND ${OBJDUMP} -p ${FILE} OUTPUT_VARIABLE dump RESULT_VARIABLE result)
if(NOT result EQUAL 0)
  message(FATAL_ERROR "${OBJDUMP} -p ${FILE} failed")
endif()

# Exported names: the lines of the [Ordinal/Name Pointer] Table.
set(exported "")
string(FIND "${dump}" "[Ordinal/Name Pointer] Table" at)
if(at GREATER_EQUAL 0)
  string(SUBSTRING "${dump}" ${at} -1 table)
  string(REGEX MATCHALL "\n\t\\[ *[0-9]+\\] [^\n]+" entries "${table}")
  foreach(entry IN LISTS entries)
    string(REGEX REPLACE "^\n\t\\[ *[0-9]+\\] " "" name "${entry}")
    list(APPEND exported ${name})
  endforeach()
endif()
if(NOT "${exported}" STREQUAL "${EXPORTS}")
  message(FATAL_ERROR "${FILE} exports [${exported}], expected [${EXPORTS}]")
endif()

# Imported DLLs.
set(windows_dlls kernel32.dll msvcrt.dll ws2_32.dll advapi32.dll user32.dll ntdll.dll bcrypt.dll shell32.dll)
string(TOLOWER "${EXTRA_IMPORTS}" extra)
string(REGEX MATCHALL "DLL Name: [^\n]+" lines "${dump}")
set(imported "")
foreach(line IN LISTS lines)
  string(REGEX REPLACE "^DLL Name: " "" dll "${line}")
  string(STRIP "${dll}" dll)
  string(TOLOWER "${dll}" dll)
  list(APPEND imported ${dll})
  if(NOT dll IN_LIST windows_dlls AND NOT dll IN_LIST extra AND NOT dll MATCHES "^api-ms-win-")
    message(FATAL_ERROR "${FILE} needs ${dll}, which is neither Windows' own nor [${EXTRA_IMPORTS}]")
  endif()
endforeach()
foreach(dll IN LISTS extra)
  if(NOT dll IN_LIST imported)
    message(FATAL_ERROR "${FILE} does not import ${dll}")
  endif()
endforeach()
message(STATUS "${FILE}: exports [${exported}], imports [${imported}]")
