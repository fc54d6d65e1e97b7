// The block saver: the recording files of one 'open' (the raw file and, with
// a band filter, the filtered file, each with its metadata file), and the
// save thread, which keeps every block handed over to it for 'samples' and
// writes it to both. At 'close' the host thread writes the rest the same
// way, the block in progress as a last, partial block. It words the write
// errors and the files lost while they were written.
#pragma once

#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "kivo/band_filter.h"
#include "kivo/block_handover.h"
#include "kivo/clock.h"
#include "kivo/console.h"
#include "kivo/geometry.h"
#include "kivo/metadata.h"
#include "kivo/open_request.h"
#include "kivo/recording_file.h"
#include "kivo/sample_delivery.h"
#include "kivo/sample_timing.h"
#include "kivo/status.h"

namespace kivo {

class BlockSaver {
 public:
  BlockSaver(StatusCounters& counters, BlockHandover& handover, SampleDelivery& delivery,
             const Console& console);
  BlockSaver(const BlockSaver&) = delete;
  BlockSaver& operator=(const BlockSaver&) = delete;

  // host thread: refuses (AcquisitionError) filter coefficients other than
  // five numbers each for b and a, all finite in single precision.
  static void check_filter(const OpenRequest& request);
  // host thread: the time that names the files of `request`, one reading
  // of the clock for both. Throws AcquisitionError when the names are taken.
  static kivo::TimeReading time_for_files(const OpenRequest& request);
  // host thread, while no saver runs: creates the sample files of
  // `request` and their metadata files. A file that cannot be created is said
  // and left out; refused filter coefficients throw AcquisitionError.
  void open_files(const OpenRequest& request, int port, const kivo::Geometry& geometry,
                  const kivo::TimeReading& now);

  // host thread: starts the save thread, which writes the halves of
  // `blocks` handed over to it; throws std::system_error.
  void start(const uint8_t* blocks);
  // host thread: waits for the save thread to write what was handed over
  // before the handover stopped, and to end; harmless when none runs.
  void join();
  // host thread of a forked child: lets go of its copies of the files
  // without writing to them (no flush, no metadata) and of the thread, which
  // runs only in the parent.
  void forget();

  // The save thread, for each half handed over to it; the host thread after
  // join(): keeps the block in `half` for 'samples' and writes it whole.
  void save_block(unsigned half);
  // host thread, after join(): the first `slots` slots of `half` as the
  // files' last block, filtered as a whole block would be. Its datagrams
  // count as not saved when the raw file could not take them.
  void save_last_block(unsigned half, size_t slots);

  // host thread, after join(): ends both files (RecordingFile::end): what
  // they hold reaches the disk, and they are closed.
  void end_files();
  // host thread: closes and deletes the files of a failed 'open'.
  void discard_files();
  // host thread, before finish_metadata(): the fitted clock that both
  // metadata files gain.
  void set_timing(const kivo::SampleTiming& timing);
  // host thread, before finish_metadata(): the events file that both
  // metadata files name.
  void set_events(const kivo::EventsSummary& events);
  // host thread, after end_files(): completes the metadata files with
  // what each file received; counters count only when `acquired`.
  void finish_metadata(kivo::EndReason reason, bool acquired);

  // host thread, after end_files(): warns of each file's failed writes.
  void warn_write_errors() const;
  // host thread, after end_files(): warns of each file lost or renamed while
  // it was written, and each failed close.
  void warn_lost_files() const;
  // host thread: warns again of each sample file that 'open' could not
  // create, since nothing was saved to it.
  void warn_files_not_created() const;
  // host thread: whether the raw file is open to be written.
  bool saving_raw() const { return raw_.is_open(); }
  // Any thread: the failed writes to both files since 'open'.
  uint64_t write_errors() const { return raw_.write_errors() + filtered_.write_errors(); }

  // host thread; any thread after join().
  std::string raw_path() const { return raw_.path(); }
  std::string filtered_path() const { return filter_ ? filtered_.path() : std::string(); }
  // host thread: the files the last 'open' created and kept (empty for a
  // file it could not create, and after an 'open' that failed).
  std::string raw_file() const { return raw_created_ ? raw_.path() : std::string(); }
  std::string filtered_file() const { return filtered_created_ ? filtered_.path() : std::string(); }

  // host thread, before 'open': runs in the save thread before each block.
  void set_before_write_hook(std::function<void()> hook) { before_write_ = std::move(hook); }

 private:
  void set_up_filter(const OpenRequest& request, const std::string& path);
  void start_metadata(kivo::RecordingFile& file, const kivo::Metadata& metadata);
  void run();
  void write_filtered(const uint8_t* block, size_t slots);

  StatusCounters& counters_;
  BlockHandover& handover_;
  SampleDelivery& delivery_;
  const Console& console_;

  // Fixed by open_files() and start() while no saver runs.
  size_t block_bytes_ = 0;
  size_t nchans_ = 0;
  size_t nsamp_ = 0;
  const uint8_t* blocks_ = nullptr;

  // The save thread appends to them while it runs; the host thread creates
  // and ends them, and reads their counts at any time (RecordingFile).
  kivo::RecordingFile raw_;
  kivo::RecordingFile filtered_;
  // host thread only: whether open_files() created each file.
  bool raw_created_ = false;
  bool filtered_created_ = false;
  // Save thread only while it runs; the host thread sets them up before.
  std::unique_ptr<kivo::FilterState> filter_;  // present when 'open' asked for a filter
  std::vector<uint8_t> filtered_block_;
  std::function<void()> before_write_;
  // host thread only: the sample files of the last 'open' that could not be created.
  std::vector<std::string> not_created_;
  // host thread starts and joins it.
  std::thread thread_;
};

}  // namespace kivo
