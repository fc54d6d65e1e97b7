#include "kivo/block_saver.h"

#include <array>
#include <atomic>
#include <filesystem>
#include <system_error>

#include "kivo/file_names.h"
#include "kivo/removed_file.h"
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

// A write or flush that failed: counted, and its error kept for the warning
// (read once the save thread is joined).
void count_failure(std::atomic<uint64_t>& failures, std::atomic<int>& last_error, int error) {
  failures.fetch_add(1, std::memory_order_relaxed);
  last_error.store(error, std::memory_order_relaxed);
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
  const kivo::TimeReading now =
      kivo::time_for_new_names([&](const std::tm& local) { return !kivo::existing_file_among(names(local)).empty(); });
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
  const bool raw_open = raw_file_.open(raw, kivo::FileMode::create_new) == 0;
  if (!raw_open) console_(Severity::error, messages::samples_not_saved(raw));
  kivo::Metadata raw_metadata = kivo::make_metadata(kivo::FileKind::raw, geometry.nchans, port, now, raw);
  if (request.with_filter) {
    set_up_filter(request, kivo::filtered_file_name(request.savedir, now.local));
  } else {
    filter_.reset();
    filtered_file_ = kivo::BlockFile{};
  }
  if (filter_ && filtered_file_.is_open()) {
    kivo::Metadata filtered_metadata = raw_metadata;
    filtered_metadata.kind = kivo::FileKind::filtered;
    filtered_metadata.sample_file = kivo::base_name(filtered_file_.path());
    filtered_metadata.companion_file = raw_open ? raw_metadata.sample_file : std::string();
    filtered_metadata.filter = kivo::coefficients_as_stored(first_five(request.b), first_five(request.a));
    start_metadata(filtered_metadata_, filtered_file_.path(), filtered_metadata);
    raw_metadata.companion_file = filtered_metadata.sample_file;
  }
  if (raw_open) start_metadata(raw_metadata_, raw, raw_metadata);
}

void BlockSaver::start_metadata(kivo::MetadataFile& file, const std::string& sample_path,
                                const kivo::Metadata& metadata) {
  if (file.start(sample_path, metadata) != 0) {
    console_(Severity::error, messages::metadata_not_saved(file.path()));
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
  filtered_file_ = kivo::BlockFile{};
  if (filtered_file_.open(path, kivo::FileMode::create_new) != 0) {
    console_(Severity::error, messages::filtered_samples_not_saved(path));
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
  if (raw_file_.is_open()) {
    if (const int error = raw_file_.append(block, block_bytes_)) {
      count_failure(counters_.write_errors, counters_.last_write_error, error);
    } else {
      counters_.blocks_saved.fetch_add(1, std::memory_order_relaxed);
    }
  }
  if (!filter_ || !filtered_file_.is_open()) return;
  kivo::filter_block(*filter_, block, filtered_block_.data(), nchans_, nsamp_);
  if (const int error = filtered_file_.append(filtered_block_.data(), block_bytes_)) {
    count_failure(counters_.filtered_write_errors, counters_.last_filtered_write_error, error);
  }
}

// What the files hold reaches the disk before their metadata vouches for it.
// A failure counts, and is reported, as a failed write.
void BlockSaver::flush_files_to_disk() {
  if (raw_file_.is_open()) {
    if (const int error = raw_file_.flush_to_disk()) {
      count_failure(counters_.write_errors, counters_.last_write_error, error);
    }
  }
  if (filter_ && filtered_file_.is_open()) {
    if (const int error = filtered_file_.flush_to_disk()) {
      count_failure(counters_.filtered_write_errors, counters_.last_filtered_write_error, error);
    }
  }
}

// Empty, the files of a failed 'open' would only hold the name for the next 'open'.
void BlockSaver::discard_files() {
  std::error_code ignored;
  for (kivo::BlockFile* file : {&raw_file_, filter_ ? &filtered_file_ : nullptr}) {
    if (file == nullptr || !file->is_open()) continue;
    file->close();
    std::filesystem::remove(file->path(), ignored);
  }
  for (kivo::MetadataFile* metadata : {&raw_metadata_, &filtered_metadata_}) {
    if (metadata->active()) std::filesystem::remove(metadata->path(), ignored);
    *metadata = kivo::MetadataFile{};
  }
}

void BlockSaver::close_files() {
  note_if_removed(raw_file_);
  if (filter_) note_if_removed(filtered_file_);
  if (raw_file_.is_open() && raw_file_.close() != 0) raw_close_failed_ = raw_file_.path();
  if (filter_ && filtered_file_.is_open() && filtered_file_.close() != 0) {
    filtered_close_failed_ = filtered_file_.path();
  }
}

void BlockSaver::note_if_removed(const kivo::BlockFile& file) {
  const auto blocks = kivo::blocks_lost_with_removed_file(file, block_bytes_);
  if (!blocks) return;
  removed_.push_back(messages::removed_while_written(file.path(), *blocks));
}

void BlockSaver::finish_metadata(kivo::EndReason reason, bool acquired) {
  const kivo::RecordingTotals shared = acquired ? counters_.shared_totals() : kivo::RecordingTotals{};
  auto finish = [&](kivo::MetadataFile& metadata, uint64_t bytes_written, uint64_t write_errors,
                    bool close_failed) {
    if (!metadata.active()) return;
    kivo::RecordingTotals totals = shared;
    totals.blocks_written = bytes_written / static_cast<uint64_t>(metadata.metadata().block_bytes());
    totals.slots_written = totals.blocks_written * kivo::kSlotsPerBlock;
    totals.write_errors = (acquired ? write_errors : 0) + (close_failed ? 1 : 0);
    if (const int error = metadata.finish(totals, reason)) {
      console_(Severity::warning,
               messages::metadata_not_completed(metadata.path(), kivo::file_error_text(error)));
    }
  };
  finish(raw_metadata_, raw_file_.bytes_written(), counters_.write_errors.load(),
         !raw_close_failed_.empty() && raw_close_failed_ == raw_file_.path());
  const bool filtered = filter_ != nullptr;
  finish(filtered_metadata_, filtered ? filtered_file_.bytes_written() : 0,
         counters_.filtered_write_errors.load(),
         filtered && !filtered_close_failed_.empty() && filtered_close_failed_ == filtered_file_.path());
}

void BlockSaver::warn_write_errors() const {
  if (auto n = counters_.write_errors.load()) {
    console_(Severity::warning,
             messages::blocks_not_written(n, raw_path(), kivo::file_error_text(counters_.last_write_error.load())));
  }
  if (auto n = counters_.filtered_write_errors.load()) {
    console_(Severity::warning,
             messages::blocks_not_written(n, filtered_path(),
                                          kivo::file_error_text(counters_.last_filtered_write_error.load())));
  }
}

void BlockSaver::warn_lost_files() {
  for (const std::string& removed : removed_) console_(Severity::warning, removed);
  removed_.clear();
  for (std::string* failed : {&raw_close_failed_, &filtered_close_failed_}) {
    if (!failed->empty()) console_(Severity::warning, messages::close_failed(*failed));
    failed->clear();
  }
}

}  // namespace kivo
