#include "channel_count.h"

#include <cctype>
#include <cerrno>
#include <cstdlib>

#include "kivo/geometry.h"

namespace kivo::recorder {

std::optional<int> parse_channel_count(const char* text) {
  if (text == nullptr) return std::nullopt;
  char* end = nullptr;
  errno = 0;
  const long value = std::strtol(text, &end, 10);
  if (end == text || errno == ERANGE) return std::nullopt;
  while (std::isspace(static_cast<unsigned char>(*end))) ++end;
  if (*end != '\0' || !is_supported_channel_count(value)) return std::nullopt;
  return static_cast<int>(value);
}

}  // namespace kivo::recorder
