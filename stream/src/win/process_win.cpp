#include <windows.h>

#include "kivo/process.h"

namespace kivo {

uint64_t current_process_id() { return GetCurrentProcessId(); }

}  // namespace kivo
