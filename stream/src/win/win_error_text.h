// The system's text for a Windows or Winsock error code, shared by the
// Windows realisations of the stream library.
#pragma once

#include <windows.h>

#include <cstdio>
#include <string>

namespace kivo::win {

// One line without the trailing period, followed by the code itself:
// "The file exists (error 80)". Any thread.
inline std::string error_text(unsigned long code) {
  char buffer[512] = {};
  const DWORD length =
      FormatMessageA(FORMAT_MESSAGE_FROM_SYSTEM | FORMAT_MESSAGE_IGNORE_INSERTS, nullptr, code,
                     MAKELANGID(LANG_NEUTRAL, SUBLANG_DEFAULT), buffer, sizeof buffer, nullptr);
  std::string text(buffer, length);
  while (!text.empty() &&
         (text.back() == '\r' || text.back() == '\n' || text.back() == ' ' || text.back() == '.')) {
    text.pop_back();
  }
  char number[32];
  std::snprintf(number, sizeof number, "error %lu", code);
  return text.empty() ? std::string(number) : text + " (" + number + ")";
}

}  // namespace kivo::win
