// One recording's sample file with its metadata file, as the acquisition
// (its raw and its filtered file) and kivorec keep them: the writer thread
// appends blocks and its failed writes are counted; at the end the owner
// checks whether the file was removed while it was written (its blocks then
// go with it, and the programs say so rather than leave the loss silent) or
// renamed (its blocks are safe under the new name), brings it to the disk,
// closes it and completes the metadata with the totals. Each program words
// what it reports in its own messages.
#pragma once

#include <atomic>
#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <utility>
#include <vector>

#include "kivo/block_file.h"
#include "kivo/metadata.h"
#include "kivo/recording_totals.h"
#include "kivo/sample_timing.h"
#include "kivo/slot_anchors.h"

namespace kivo {

class RecordingFile {
 public:
  RecordingFile() = default;
  RecordingFile(const RecordingFile&) = delete;
  RecordingFile& operator=(const RecordingFile&) = delete;

  // Owner, while no writer runs: forgets the previous file and creates the
  // sample file at `path` for blocks of `block_bytes`. Returns 0 or the error
  // code; on error the file stays closed and keeps its path for the message.
  int create(const std::string& path, FileMode mode, uint64_t block_bytes);
  // Owner: writes the metadata file beside the sample file. Returns 0 or the
  // error code; after an error finish_metadata() tries again.
  int start_metadata(const Metadata& metadata);
  // Owner, while no writer runs: no file at all (closed unchecked, path
  // forgotten, nothing written). Also what a forked child does with the
  // parent's recording: it lets go of its copy of the descriptor alone.
  void reset();
  // Owner, while no writer runs: closes the sample file and deletes it and
  // its metadata file (an 'open' that failed: empty, they would only hold
  // the name). The path stays.
  void discard();

  // The writer thread while it runs (the owner otherwise): appends one
  // block. A failure is counted. Returns 0 or the error code.
  int append(const uint8_t* data, size_t size);
  // Owner: a write that could not be made at all (no writer thread), counted
  // as a failed write.
  void count_failed_write(int error);

  // Owner, once no writer runs: notes whether the file was removed or
  // renamed while it was written, brings what it holds to the disk (a failure counts as a
  // failed write: the metadata must not vouch for it) and closes it. Does
  // nothing when the file is not open.
  void end();
  // Owner, before finish_metadata(): the fitted clock (and, for a file without
  // stamps, its anchors) that the metadata gains when it is completed.
  void set_timing(const SampleTiming& timing, std::optional<std::vector<SlotAnchor>> anchors = std::nullopt) {
    metadata_.set_timing(timing, std::move(anchors));
  }
  // Owner, before finish_metadata(): the events file the metadata names.
  void set_events(const EventsSummary& events) { metadata_.set_events(events); }
  // Owner, after end(): completes the metadata file with the counts the
  // recording shares (`totals`) and this file's own: the blocks and slots it
  // holds and its write errors, a failed close counting as one. Returns 0 or
  // the error code; 0 when no metadata file is being kept.
  int finish_metadata(RecordingTotals totals, EndReason end);

  // Owner; any thread once no writer runs.
  const std::string& path() const { return samples_.path(); }
  bool is_open() const { return samples_.is_open(); }
  uint64_t bytes_written() const { return samples_.bytes_written(); }
  // Owner.
  const std::string& metadata_path() const { return metadata_.path(); }
  // Any thread: the failed writes (and flush) since create(), and the error
  // code of the last.
  uint64_t write_errors() const { return write_errors_.load(std::memory_order_relaxed); }
  int last_write_error() const { return last_write_error_.load(std::memory_order_relaxed); }
  // Owner, after end(): the whole blocks lost with the file when it was
  // removed while it was written; the error of the flush and of the close (or 0).
  std::optional<uint64_t> blocks_lost_to_removal() const { return blocks_lost_to_removal_; }
  // Owner, after end(): the file was renamed or moved while it was written
  // (its blocks are safe under the new name; the metadata file names the old).
  bool renamed() const { return renamed_; }
  int flush_error() const { return flush_error_; }
  int close_error() const { return close_error_; }

 private:
  void count_failure(int error);
  void note_what_became_of_it();

  // The writer thread appends while it runs; the owner creates, ends and
  // reads it otherwise.
  BlockFile samples_;
  // The writer thread adds while it runs; any thread reads.
  std::atomic<uint64_t> write_errors_{0};
  std::atomic<int> last_write_error_{0};
  // Owner only.
  MetadataFile metadata_;
  uint64_t block_bytes_ = 0;
  std::optional<uint64_t> blocks_lost_to_removal_;
  bool renamed_ = false;
  int flush_error_ = 0;
  int close_error_ = 0;
};

}  // namespace kivo
