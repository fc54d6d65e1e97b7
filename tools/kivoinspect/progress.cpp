#include "progress.h"

#include <cstdio>
#include <utility>

#include "terminal.h"

namespace kivo::inspect {
namespace {

constexpr int kBarWidth = 40;

}  // namespace

ProgressBar::ProgressBar(bool enabled, std::string label) : enabled_(enabled), label_(std::move(label)) {}

ProgressBar::~ProgressBar() {
  if (enabled_ && shown_percent_ >= 0)
    std::fprintf(stderr, "\r%*s\r", kBarWidth + 24 + static_cast<int>(label_.size()), "");
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
  std::fflush(stderr);
}

bool progress_wanted(uint64_t bytes) { return bytes >= kProgressFromBytes && stderr_is_terminal(); }

}  // namespace kivo::inspect
