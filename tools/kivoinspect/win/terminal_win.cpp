#include <windows.h>

#include "terminal.h"

namespace kivo::inspect {

// A console, not a pipe or a file: only a console has a console mode.
bool stderr_is_terminal() {
  DWORD mode = 0;
  return GetConsoleMode(GetStdHandle(STD_ERROR_HANDLE), &mode) != 0;
}

}  // namespace kivo::inspect
