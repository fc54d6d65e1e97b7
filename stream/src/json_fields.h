// Reading checked fields of a JSON object, for the metadata file and the
// objects inside it: every failure is a MetadataError naming the field.
#pragma once

#include <cstdint>
#include <limits>
#include <string>
#include <type_traits>
#include <nlohmann/json.hpp>

#include "kivo/metadata.h"

namespace kivo::json_fields {

using Json = nlohmann::ordered_json;

inline const Json& field(const Json& in, const char* name) {
  const auto it = in.find(name);
  if (it == in.end()) throw MetadataError(std::string("missing field \"") + name + "\"");
  return *it;
}

// A whole number that T can hold: JSON's library would cut a fraction, wrap
// a negative number into an unsigned type and convert an out-of-range float
// to an integer (undefined behaviour), so counts and sizes are checked here.
template <typename T>
T whole_number(const Json& value, const char* name) {
  const auto wrong = [name] {
    return MetadataError(std::string("field \"") + name + "\" is not a whole number in range");
  };
  if (value.is_number_unsigned()) {
    const auto v = value.get<uint64_t>();
    if (v > static_cast<uint64_t>(std::numeric_limits<T>::max())) throw wrong();
    return static_cast<T>(v);
  }
  if (!value.is_number_integer()) throw wrong();
  const auto v = value.get<int64_t>();
  if (v < 0 && !std::is_signed_v<T>) throw wrong();
  if (v < static_cast<int64_t>(std::numeric_limits<T>::min()) ||
      (v > 0 && static_cast<uint64_t>(v) > static_cast<uint64_t>(std::numeric_limits<T>::max()))) {
    throw wrong();
  }
  return static_cast<T>(v);
}

template <typename T>
T get(const Json& in, const char* name) {
  const Json& value = field(in, name);
  if constexpr (std::is_integral_v<T> && !std::is_same_v<T, bool>) {
    return whole_number<T>(value, name);
  } else {
    try {
      return value.get<T>();
    } catch (const nlohmann::json::exception&) {
      throw MetadataError(std::string("field \"") + name + "\" has the wrong type");
    }
  }
}

// Parses `text` and reads it with `read`: malformed JSON is a MetadataError
// as much as a field that is missing or wrong.
template <typename Read>
auto parse_with(const std::string& text, Read read) {
  try {
    return read(Json::parse(text));
  } catch (const nlohmann::json::exception& e) {
    throw MetadataError(std::string("not valid JSON: ") + e.what());
  }
}

}  // namespace kivo::json_fields
