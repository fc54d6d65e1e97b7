# octave_add_mex(<name> <sources>...)
#
# Builds an Octave MEX file <name>.mex: a shared module compiled with the
# include flags that mkoctfile reports and linked against no Octave library
# (Octave resolves the mx and mex functions when it loads the module).
find_program(MKOCTFILE_EXECUTABLE mkoctfile)

function(octave_add_mex name)
  if(NOT MKOCTFILE_EXECUTABLE)
    message(FATAL_ERROR "mkoctfile not found: install liboctave-dev")
  endif()
  execute_process(COMMAND ${MKOCTFILE_EXECUTABLE} -p INCFLAGS
                  OUTPUT_VARIABLE incflags OUTPUT_STRIP_TRAILING_WHITESPACE)
  separate_arguments(incflags UNIX_COMMAND "${incflags}")
  add_library(${name} MODULE ${ARGN})
  set_target_properties(${name} PROPERTIES PREFIX "" SUFFIX ".mex")
  target_compile_options(${name} PRIVATE ${incflags})
endfunction()
