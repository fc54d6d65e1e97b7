// Linux: O_DSYNC already returns from each write only once the block is on
// the disk.
#include "write_through.h"

namespace kivo {

int complete_write_through(int) { return 0; }

}  // namespace kivo
