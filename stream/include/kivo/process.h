// Which process an object belongs to. A forked child (POSIX) inherits its
// parent's sockets, files and memory, but none of its threads but the one
// that forked: what it inherited it must only let go of, never end, since
// ending it would end the parent's too.
#pragma once

#include <cstdint>
#include <thread>

namespace kivo {

// The calling process's id. Any thread.
uint64_t current_process_id();

// In a forked child, for a thread that runs only in the parent: keeps its
// handle for good, neither joined (that would wait for ever) nor detached
// (the child has no such thread to detach, and may fail to). Leaves
// `thread` empty. Any thread.
void abandon_thread(std::thread& thread);

}  // namespace kivo
