#include "block_writer.h"

#include <string>
#include <system_error>
#include <utility>

#include "kivo/thread_signals.h"

namespace kivo::recorder {

BlockWriter::BlockWriter(RecordingFile& file, BlockRing& ring, StopControl& control, ConsolePrinter& printer,
                         std::function<void()> before_write)
    : file_(file),
      ring_(ring),
      control_(control),
      printer_(printer),
      before_write_(std::move(before_write)) {}

BlockWriter::~BlockWriter() {
  if (thread_.joinable()) {
    ring_.close();
    thread_.join();
  }
}

int BlockWriter::start() {
  try {
    thread_ = std::thread([this] { run(); });
  } catch (const std::system_error& e) {
    return e.code().value();
  }
  return 0;
}

void BlockWriter::join() {
  if (thread_.joinable()) thread_.join();
}

void BlockWriter::run() {
  block_signals_in_this_thread();
  while (const auto block = ring_.take()) {
    if (before_write_) before_write_();
    const int error = file_.append(block->data, block->bytes);
    ring_.release();
    if (error != 0) {
      printer_.say(ConsoleStream::err, "cannot write block " + std::to_string(block->number) + " to " +
                                           file_.path() + ": " + file_error_text(error) + "\n");
      error_ = error;
      control_.abort();
      return;
    }
  }
}

}  // namespace kivo::recorder
