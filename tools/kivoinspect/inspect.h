// The whole of kivoinspect but main(): reads the command line, inspects or
// verifies, prints, and returns the exit status (see options.h).
#pragma once

namespace kivo::inspect {

int run(int argc, const char* const* argv);

}  // namespace kivo::inspect
