// The whole of kivoexport but main(): reads the command line, exports the
// recording, and returns the exit status (see options.h).
#pragma once

namespace kivo::exporter {

int run(int argc, const char* const* argv);

}  // namespace kivo::exporter
