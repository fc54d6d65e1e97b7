// Keeps asynchronous signals (Ctrl-C and the like) away from worker threads,
// so that they reach the host's or the program's own signal handling.
#pragma once

namespace kivo {

// Call first thing in a worker thread. Does nothing where threads do not
// receive signals (Windows).
void block_signals_in_this_thread();

}  // namespace kivo
