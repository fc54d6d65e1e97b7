#include "progress.h"

#include <cstdio>
#include <utility>

#include "terminal.h"

namespace kivo::inspect {
namespace {

constexpr int kBarWidth = 40;
constexpr int kRateWidth = 14;  // " 12345.6 MB/s"

}  // namespace

ProgressBar::ProgressBar(bool enabled, std::string label, uint64_t bytes_per_step)
    : enabled_(enabled),
      label_(std::move(label)),
      bytes_per_step_(bytes_per_step),
      started_(std::chrono::steady_clock::now()) {}

ProgressBar::~ProgressBar() {
  if (enabled_ && shown_percent_ >= 0)
    std::fprintf(stderr, "\r%*s\r", kBarWidth + 24 + kRateWidth + static_cast<int>(label_.size()), "");
}

Progress ProgressBar::callback() {
  if (!enabled_) return {};
  return [this](uint64_t done, uint64_t total) { draw(done, total); };
}

void ProgressBar::draw(uint64_t done, uint64_t total) {
  const int percent = total == 0 ? 100 : static_cast<int>(done * 100 / total);
  if (percent == shown_percent_) return;
  shown_percent_ = percent;
  const int filled = percent * kBarWidth / 100;
  std::fprintf(stderr, "\r%s [%.*s%*s] %3d%%", label_.c_str(), filled,
               "########################################", kBarWidth - filled, "", percent);
  const std::chrono::duration<double> elapsed = std::chrono::steady_clock::now() - started_;
  if (bytes_per_step_ != 0 && elapsed.count() > 0) {
    const double megabytes = static_cast<double>(done) * static_cast<double>(bytes_per_step_) / 1e6;
    std::fprintf(stderr, " %7.1f MB/s", megabytes / elapsed.count());
  }
  std::fflush(stderr);
}

bool progress_wanted(uint64_t bytes) { return bytes >= kProgressFromBytes && stderr_is_terminal(); }

}  // namespace kivo::inspect
