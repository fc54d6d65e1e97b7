#include "run_summary.h"

#include "kivo/geometry.h"

namespace kivo::recorder {

std::string run_summary_line(const RunSummary& run) {
  const auto per_block = static_cast<uint64_t>(kSlotsPerBlock);
  std::string held = std::to_string(run.saved / per_block) + " block(s)";
  if (const uint64_t rest = run.saved % per_block) held += " and " + std::to_string(rest) + " slot(s)";
  return "Saved " + std::to_string(run.saved) + " of " + std::to_string(run.received) +
         " datagrams received to " + run.file + " (" + held + "); " + std::to_string(run.sequence_gaps) +
         " sequence gap(s), " + std::to_string(run.kernel_drops) + " dropped by the system, " +
         std::to_string(run.blocks_not_saved) + " block(s) not saved; ended: " + end_reason_name(run.ended) +
         "\n";
}

}  // namespace kivo::recorder
