# nlohmann_json for cross-builds: the build machine's header-only library,
# seen through a folder that holds nothing but its headers.
if(NOT TARGET nlohmann_json::nlohmann_json)
  find_path(KIVO_NLOHMANN_JSON_ROOT nlohmann/json.hpp PATHS /usr/include /usr/local/include
            NO_DEFAULT_PATH NO_CMAKE_FIND_ROOT_PATH)
  if(NOT KIVO_NLOHMANN_JSON_ROOT)
    set(nlohmann_json_FOUND FALSE)
    return()
  endif()
  set(staged ${CMAKE_BINARY_DIR}/kivo-cross-include/nlohmann_json)
  file(MAKE_DIRECTORY ${staged})
  if(NOT EXISTS ${staged}/nlohmann)
    file(CREATE_LINK ${KIVO_NLOHMANN_JSON_ROOT}/nlohmann ${staged}/nlohmann SYMBOLIC)
  endif()
  add_library(nlohmann_json::nlohmann_json INTERFACE IMPORTED)
  set_target_properties(nlohmann_json::nlohmann_json PROPERTIES INTERFACE_INCLUDE_DIRECTORIES ${staged})
endif()
set(nlohmann_json_FOUND TRUE)
