// The writer thread: appends every block handed over to the sample file, one
// write per block, in the order the blocks were filled. A write that fails
// (a full disk) is reported and ends the recording; the blocks before it stay
// whole in the file.
#pragma once

#include <functional>
#include <thread>

#include "block_ring.h"
#include "console_printer.h"
#include "kivo/recording_file.h"
#include "stop_control.h"

namespace kivo::recorder {

class BlockWriter {
 public:
  // `before_write`, when set, runs before each block write (tests: a slow disk).
  BlockWriter(RecordingFile& file, BlockRing& ring, StopControl& control, ConsolePrinter& printer,
              std::function<void()> before_write = {});
  ~BlockWriter();
  BlockWriter(const BlockWriter&) = delete;
  BlockWriter& operator=(const BlockWriter&) = delete;

  // Main thread: starts the writer thread. Returns 0 or the error code.
  int start();
  // Main thread, after ring.close(): waits until every block is written or
  // the writer has given up.
  void join();
  // Main thread, after join(): 0, or the error of the write that failed.
  int error() const { return error_; }

 private:
  void run();

  RecordingFile& file_;  // the writer thread appends while it runs
  BlockRing& ring_;
  StopControl& control_;
  ConsolePrinter& printer_;
  const std::function<void()> before_write_;
  std::thread thread_;
  int error_ = 0;  // writer thread until join(), then main thread
};

}  // namespace kivo::recorder
