#include "fuzz_input.h"

#include <cstdio>
#include <cstdlib>

namespace kivo_fuzz {

void fail(const char* what) {
  std::fprintf(stderr, "fuzz property violated: %s\n", what);
  std::abort();
}

}  // namespace kivo_fuzz
