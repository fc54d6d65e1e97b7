# The version of the build machine's nlohmann_json.
if(EXISTS /usr/share/cmake/nlohmann_json/nlohmann_jsonConfigVersion.cmake)
  include(/usr/share/cmake/nlohmann_json/nlohmann_jsonConfigVersion.cmake)
elseif(EXISTS /usr/lib/cmake/nlohmann_json/nlohmann_jsonConfigVersion.cmake)
  include(/usr/lib/cmake/nlohmann_json/nlohmann_jsonConfigVersion.cmake)
else()
  set(PACKAGE_VERSION "0")
  set(PACKAGE_VERSION_COMPATIBLE FALSE)
endif()
