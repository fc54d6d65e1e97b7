#include "kivo/thread_signals.h"

namespace kivo {

// Windows delivers Ctrl-C and its kin to a thread of their own, never to a
// worker thread: nothing to keep away.
void block_signals_in_this_thread() {}

}  // namespace kivo
