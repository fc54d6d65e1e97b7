#include <unistd.h>

#include "terminal.h"

namespace kivo::inspect {

bool stderr_is_terminal() { return ::isatty(STDERR_FILENO) == 1; }

}  // namespace kivo::inspect
