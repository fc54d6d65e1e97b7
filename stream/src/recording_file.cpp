#include "kivo/recording_file.h"

#include <filesystem>
#include <system_error>

namespace kivo {

int RecordingFile::create(const std::string& path, FileMode mode, uint64_t block_bytes) {
  reset();
  block_bytes_ = block_bytes;
  return samples_.open(path, mode);
}

int RecordingFile::start_metadata(const Metadata& metadata) { return metadata_.start(path(), metadata); }

void RecordingFile::reset() {
  samples_ = BlockFile{};
  metadata_ = MetadataFile{};
  write_errors_.store(0, std::memory_order_relaxed);
  last_write_error_.store(0, std::memory_order_relaxed);
  block_bytes_ = 0;
  blocks_lost_to_removal_.reset();
  renamed_ = false;
  flush_error_ = 0;
  close_error_ = 0;
}

void RecordingFile::discard() {
  std::error_code ignored;
  if (samples_.is_open()) {
    samples_.close();
    std::filesystem::remove(samples_.path(), ignored);
  }
  if (metadata_.written()) std::filesystem::remove(metadata_.path(), ignored);
  metadata_ = MetadataFile{};
}

int RecordingFile::append(const uint8_t* data, size_t size) {
  const int error = samples_.append(data, size);
  if (error != 0) count_failure(error);
  return error;
}

void RecordingFile::count_failed_write(int error) { count_failure(error); }

void RecordingFile::count_failure(int error) {
  write_errors_.fetch_add(1, std::memory_order_relaxed);
  last_write_error_.store(error, std::memory_order_relaxed);
}

void RecordingFile::end() {
  if (!samples_.is_open()) return;
  note_what_became_of_it();
  flush_error_ = samples_.flush_to_disk();
  if (flush_error_ != 0) count_failure(flush_error_);
  close_error_ = samples_.close();
}

// A file without a name left (deleted, or its folder with it) takes its
// blocks with it at the close. One that still has a name but not its own was
// renamed or moved: its blocks are safe. Where the system cannot tell,
// nothing is said.
void RecordingFile::note_what_became_of_it() {
  if (!samples_.has_name()) {
    blocks_lost_to_removal_ = samples_.bytes_written() / (block_bytes_ > 0 ? block_bytes_ : 1);
    return;
  }
  std::error_code error;
  renamed_ = !std::filesystem::exists(samples_.path(), error) && !error;
}

int RecordingFile::finish_metadata(RecordingTotals totals, EndReason end) {
  if (!metadata_.active()) return 0;  // none kept, or already finished
  totals.slots_written = bytes_written() / static_cast<uint64_t>(metadata_.metadata().slot_bytes());
  totals.blocks_written = totals.slots_written / kSlotsPerBlock;
  totals.write_errors = write_errors() + (close_error_ != 0 ? 1 : 0);
  return metadata_.finish(totals, end);
}

}  // namespace kivo
