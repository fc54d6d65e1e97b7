#include <unistd.h>

#include "terminal.h"

namespace kivoinspect {

bool stderr_is_terminal() { return ::isatty(STDERR_FILENO) == 1; }

}  // namespace kivoinspect
