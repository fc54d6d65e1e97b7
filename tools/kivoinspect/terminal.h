// Whether a person is watching: the progress bar is drawn only on a terminal.
// Realised per platform in <platform>/terminal_<platform>.cpp.
#pragma once

namespace kivo::inspect {

// True when standard error is a terminal. Any thread.
bool stderr_is_terminal();

}  // namespace kivo::inspect
