#include <unistd.h>

#include "kivo/process.h"

namespace kivo {

uint64_t current_process_id() { return static_cast<uint64_t>(::getpid()); }

}  // namespace kivo
