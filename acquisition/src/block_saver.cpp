#include "kivo/block_saver.h"

#include <array>

#include "kivo/file_names.h"
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

BlockSaver::BlockSaver(StatusCounters& counters, BlockHandover& handover, const Console& console)
    : counters_(counters), handover_(handover), console_(console) {}

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
  const std::string raw = kivo::raw_file_name(request.savedir, now.local);
  const bool raw_open = raw_.create(raw, kivo::FileMode::create_new, block_bytes_) == 0;
  raw_created_ = raw_open;
  filtered_created_ = false;
  if (!raw_open) console_(Severity::error, messages::samples_not_saved(raw));
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
  if (request.b.size() != 5 || request.a.size() != 5) {
    throw AcquisitionError(FailureKind::refused, messages::kInvalidFilter);
  }
  filter_ = std::make_unique<kivo::FilterState>();
  for (size_t i = 0; i < 5; ++i) {
    filter_->b[i] = static_cast<float>(request.b[i]);
    filter_->a[i] = static_cast<float>(request.a[i]);
  }
  filtered_created_ = filtered_.create(path, kivo::FileMode::create_new, block_bytes_) == 0;
  if (!filtered_created_) console_(Severity::error, messages::filtered_samples_not_saved(path));
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

void BlockSaver::run() {
  kivo::block_signals_in_this_thread();
  // After 'close' the blocks handed over before it are still written; then
  // take() comes back empty.
  while (const auto half = handover_.take()) {
    save_block(blocks_ + *half * block_bytes_);
    handover_.release(*half);
  }
}

void BlockSaver::save_block(const uint8_t* block) {
  if (before_write_) before_write_();
  if (raw_.is_open() && raw_.append(block, block_bytes_) == 0) {
    counters_.blocks_saved.fetch_add(1, std::memory_order_relaxed);
  }
  if (!filter_ || !filtered_.is_open()) return;
  kivo::filter_block(*filter_, block, filtered_block_.data(), nchans_, nsamp_);
  filtered_.append(filtered_block_.data(), block_bytes_);
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
    }
  }
  for (const kivo::RecordingFile* file : {&raw_, &filtered_}) {
    if (file->close_error() != 0) console_(Severity::warning, messages::close_failed(file->path()));
  }
}

}  // namespace kivo
