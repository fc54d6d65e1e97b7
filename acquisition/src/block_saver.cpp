#include "kivo/block_saver.h"

#include <algorithm>
#include <array>
#include <cmath>

#include "kivo/file_names.h"
#include "kivo/process.h"
#include "kivo/thread_signals.h"
#include "messages.h"

namespace kivo {
namespace {

// The five coefficients of a request that set_up_filter accepted.
std::array<double, 5> first_five(const std::vector<double>& values) {
  std::array<double, 5> out{};
  for (size_t i = 0; i < out.size(); ++i) out[i] = values[i];
  return out;
}

}  // namespace

BlockSaver::BlockSaver(StatusCounters& counters, BlockHandover& handover, SampleDelivery& delivery,
                       const Console& console)
    : counters_(counters), handover_(handover), delivery_(delivery), console_(console) {}

// The filter computes in single precision: a NaN or an infinity there (or a
// value beyond its range, which becomes one) would make every filtered
// sample garbage from the first on, so such a set is refused before anything
// is created.
void BlockSaver::check_filter(const OpenRequest& request) {
  if (!request.with_filter) return;
  auto usable = [](const std::vector<double>& values) {
    return values.size() == 5 && std::all_of(values.begin(), values.end(), [](double value) {
             return std::isfinite(static_cast<float>(value));
           });
  };
  if (!usable(request.b) || !usable(request.a)) {
    throw AcquisitionError(FailureKind::refused, messages::kInvalidFilter);
  }
}

// A recording is never written over: when this second's names are taken (an
// 'open' in the same second), the files take the next second's; when those
// are taken too, nothing is created.
kivo::TimeReading BlockSaver::time_for_files(const OpenRequest& request) {
  auto names = [&request](const std::tm& local) {
    std::vector<std::string> paths{kivo::raw_file_name(request.savedir, local)};
    if (request.with_filter) paths.push_back(kivo::filtered_file_name(request.savedir, local));
    return paths;
  };
  const kivo::TimeReading now = kivo::time_for_new_names(
      [&](const std::tm& local) { return !kivo::existing_file_among(names(local)).empty(); });
  const std::string taken = kivo::existing_file_among(names(now.local));
  if (!taken.empty()) throw AcquisitionError(FailureKind::refused, messages::names_taken(taken));
  return now;
}

void BlockSaver::open_files(const OpenRequest& request, int port, const kivo::Geometry& geometry,
                            const kivo::TimeReading& now) {
  block_bytes_ = static_cast<size_t>(geometry.stamped_block_bytes);
  nchans_ = geometry.nchans;
  nsamp_ = static_cast<size_t>(geometry.nsamp);
  not_created_.clear();
  const std::string raw = kivo::raw_file_name(request.savedir, now.local);
  const bool raw_open = raw_.create(raw, kivo::FileMode::create_new, block_bytes_) == 0;
  raw_created_ = raw_open;
  filtered_created_ = false;
  if (!raw_open) {
    console_(Severity::error, messages::samples_not_saved(raw));
    not_created_.push_back(raw);
  }
  kivo::Metadata raw_metadata = kivo::make_metadata(kivo::FileKind::raw, geometry.nchans, port, now, raw);
  if (request.with_filter) {
    set_up_filter(request, kivo::filtered_file_name(request.savedir, now.local));
  } else {
    filter_.reset();
    filtered_.reset();
  }
  if (filter_ && filtered_.is_open()) {
    kivo::Metadata filtered_metadata = raw_metadata;
    filtered_metadata.kind = kivo::FileKind::filtered;
    filtered_metadata.sample_file = kivo::base_name(filtered_.path());
    filtered_metadata.companion_file = raw_open ? raw_metadata.sample_file : std::string();
    filtered_metadata.filter = kivo::coefficients_as_stored(first_five(request.b), first_five(request.a));
    start_metadata(filtered_, filtered_metadata);
    raw_metadata.companion_file = filtered_metadata.sample_file;
  }
  if (raw_open) start_metadata(raw_, raw_metadata);
}

void BlockSaver::start_metadata(kivo::RecordingFile& file, const kivo::Metadata& metadata) {
  if (file.start_metadata(metadata) != 0) {
    console_(Severity::error, messages::metadata_not_saved(file.metadata_path()));
  }
}

void BlockSaver::set_up_filter(const OpenRequest& request, const std::string& path) {
  check_filter(request);
  filter_ = std::make_unique<kivo::FilterState>();
  for (size_t i = 0; i < 5; ++i) {
    filter_->b[i] = static_cast<float>(request.b[i]);
    filter_->a[i] = static_cast<float>(request.a[i]);
  }
  filtered_created_ = filtered_.create(path, kivo::FileMode::create_new, block_bytes_) == 0;
  if (!filtered_created_) {
    console_(Severity::error, messages::filtered_samples_not_saved(path));
    not_created_.push_back(path);
  }
}

void BlockSaver::start(const uint8_t* blocks) {
  blocks_ = blocks;
  // A resize to the same size neither allocates nor moves.
  filtered_block_.assign(block_bytes_, 0);
  thread_ = std::thread(&BlockSaver::run, this);
}

void BlockSaver::join() {
  if (thread_.joinable()) thread_.join();
}

void BlockSaver::forget() {
  kivo::abandon_thread(thread_);
  raw_.reset();
  filtered_.reset();
}

void BlockSaver::run() {
  kivo::block_signals_in_this_thread();
  // After 'close' the blocks handed over before it are still written; then
  // take() comes back empty.
  while (const auto half = handover_.take()) {
    save_block(*half);
    handover_.release(*half);
  }
}

// Kept for 'samples' first: a caller gets the block from the ring while a
// slow disk holds the write up.
void BlockSaver::save_block(unsigned half) {
  delivery_.keep(half);
  const uint8_t* block = blocks_ + half * block_bytes_;
  if (before_write_) before_write_();
  if (raw_.is_open() && raw_.append(block, block_bytes_) == 0) {
    counters_.blocks_saved.fetch_add(1, std::memory_order_relaxed);
  }
  write_filtered(block, kivo::kSlotsPerBlock);
}

// The filter runs over the slots received alone, so that the clipping count
// holds no stale slot of the half.
void BlockSaver::save_last_block(unsigned half, size_t slots) {
  delivery_.keep(half);
  const uint8_t* block = blocks_ + half * block_bytes_;
  const size_t bytes = slots * (block_bytes_ / kivo::kSlotsPerBlock);
  if (before_write_) before_write_();
  if (raw_.is_open() && raw_.append(block, bytes) != 0) {
    counters_.datagrams_not_saved.fetch_add(slots, std::memory_order_relaxed);
  }
  write_filtered(block, slots);
}

void BlockSaver::write_filtered(const uint8_t* block, size_t slots) {
  if (!filter_ || !filtered_.is_open()) return;
  const uint64_t clipped =
      kivo::filter_block(*filter_, block, filtered_block_.data(), nchans_, nsamp_, slots);
  counters_.filtered_clipped_samples.fetch_add(clipped, std::memory_order_relaxed);
  filtered_.append(filtered_block_.data(), slots * (block_bytes_ / kivo::kSlotsPerBlock));
}

void BlockSaver::end_files() {
  raw_.end();
  filtered_.end();
}

void BlockSaver::discard_files() {
  raw_.discard();
  filtered_.discard();
  raw_created_ = filtered_created_ = false;
}

void BlockSaver::set_timing(const kivo::SampleTiming& timing) {
  raw_.set_timing(timing);
  filtered_.set_timing(timing);
}

void BlockSaver::set_events(const kivo::EventsSummary& events) {
  raw_.set_events(events);
  filtered_.set_events(events);
}

void BlockSaver::finish_metadata(kivo::EndReason reason, bool acquired) {
  const kivo::RecordingTotals shared = acquired ? counters_.shared_totals() : kivo::RecordingTotals{};
  for (kivo::RecordingFile* file : {&raw_, &filtered_}) {
    if (const int error = file->finish_metadata(shared, reason)) {
      console_(Severity::warning,
               messages::metadata_not_completed(file->metadata_path(), kivo::file_error_text(error)));
    }
  }
}

void BlockSaver::warn_write_errors() const {
  for (const kivo::RecordingFile* file : {&raw_, &filtered_}) {
    if (const uint64_t n = file->write_errors()) {
      const std::string reason = kivo::file_error_text(file->last_write_error());
      console_(Severity::warning, messages::blocks_not_written(n, file->path(), reason));
    }
  }
}

void BlockSaver::warn_lost_files() const {
  for (const kivo::RecordingFile* file : {&raw_, &filtered_}) {
    if (const auto blocks = file->blocks_lost_to_removal()) {
      console_(Severity::warning, messages::removed_while_written(file->path(), *blocks));
    } else if (file->renamed()) {
      const uint64_t blocks = file->bytes_written() / block_bytes_;
      console_(Severity::warning, messages::renamed_while_written(file->path(), blocks));
    }
  }
  for (const kivo::RecordingFile* file : {&raw_, &filtered_}) {
    if (file->close_error() != 0) console_(Severity::warning, messages::close_failed(file->path()));
  }
}

void BlockSaver::warn_files_not_created() const {
  for (const std::string& path : not_created_) console_(Severity::warning, messages::nothing_saved(path));
}

}  // namespace kivo
