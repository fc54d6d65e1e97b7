// The line kivorec ends with, so that a run says at its end what it left
// behind: the file, what it holds, what was lost and how the run ended.
#pragma once

#include <cstdint>
#include <string>

#include "kivo/metadata.h"

namespace kivo::recorder {

struct RunSummary {
  std::string file;
  uint64_t received = 0;          // datagrams received, those not saved included
  uint64_t saved = 0;             // slots the file holds
  uint64_t sequence_gaps = 0;     // breaks in the device's numbering
  uint64_t kernel_drops = 0;      // datagrams the system dropped
  uint64_t blocks_not_saved = 0;  // blocks the disk did not keep up with
  EndReason ended = EndReason::running;
};

// "Saved 2002 of 2002 datagrams received to F (2 block(s) and 2 slot(s)); 1
// sequence gap(s), 0 dropped by the system, 0 block(s) not saved; ended: ctrl-c",
// with its line end.
std::string run_summary_line(const RunSummary& run);

}  // namespace kivo::recorder
