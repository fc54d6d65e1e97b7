// A progress bar on standard error for passes over large files, drawn only
// when a person is watching (stderr is a terminal).
#pragma once

#include <chrono>
#include <cstdint>
#include <string>

#include "analysis.h"

namespace kivo::inspect {

// Files from this size on get a progress bar.
inline constexpr uint64_t kProgressFromBytes = uint64_t{256} << 20;

class ProgressBar {
 public:
  // Main thread. Draws nothing unless `enabled`. With `bytes_per_step`
  // (the bytes one step of the pass reads), the bar shows the rate too.
  ProgressBar(bool enabled, std::string label, uint64_t bytes_per_step = 0);
  // Clears the bar's line.
  ~ProgressBar();
  ProgressBar(const ProgressBar&) = delete;
  ProgressBar& operator=(const ProgressBar&) = delete;

  // A callback for the passes; empty when disabled.
  Progress callback();

 private:
  void draw(uint64_t done, uint64_t total);

  bool enabled_;
  std::string label_;
  uint64_t bytes_per_step_;
  std::chrono::steady_clock::time_point started_;
  int shown_percent_ = -1;
};

// True when a file of `bytes` gets a bar: it is large and stderr is a terminal.
bool progress_wanted(uint64_t bytes);

}  // namespace kivo::inspect
