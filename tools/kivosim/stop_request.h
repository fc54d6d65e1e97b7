// Ctrl-C and SIGTERM end a run cleanly: the handlers only raise a flag that
// the sending loop reads.
#pragma once

namespace kivo::sim {

// Main thread, once, before sending starts.
void install_stop_handlers();
// Any thread.
bool stop_requested();

}  // namespace kivo::sim
