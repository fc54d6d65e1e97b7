// The built kivosim as a child process, and the numbers of the summary line
// it prints at its end.
#pragma once

#include <chrono>
#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "child_process.h"

namespace kivo_test {

// The numbers of the summary line "kivosim: sent N datagrams (B bytes) in S s:
// R datagrams/s; skipped K sequence numbers".
struct KivosimSummary {
  uint64_t sent = 0;
  uint64_t bytes = 0;
  double seconds = 0;
  double rate = 0;
  uint64_t skipped = 0;
};
std::optional<KivosimSummary> parse_kivosim_summary(const std::string& out);

// How a child process ended.
struct Finished {
  int status = -1;  // exit status; -1 when it did not end by exiting within the limit
  std::string out;  // what it printed on stdout
  std::string err;  // and on stderr
};
Finished finish(ChildProcess& child, std::chrono::seconds limit = std::chrono::seconds(120));

// kivosim started with `args`, in `workdir` and with its output at
// `output_prefix` (see ChildProcess).
std::unique_ptr<ChildProcess> start_kivosim(const std::vector<std::string>& args,
                                            const std::string& workdir = {},
                                            const std::string& output_prefix = {});
// kivosim run with `args` to its end.
Finished run_kivosim(const std::vector<std::string>& args);

}  // namespace kivo_test
