#include "block_writer.h"

#include <cstdio>
#include <system_error>
#include <utility>

#include "kivo/thread_signals.h"

namespace kivo::recorder {

BlockWriter::BlockWriter(BlockFile& file, BlockRing& ring, StopControl& control,
                         std::function<void()> before_write)
    : file_(file), ring_(ring), control_(control), before_write_(std::move(before_write)) {}

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
      std::fprintf(stderr, "cannot write block %llu to %s: %s\n",
                   static_cast<unsigned long long>(block->number), file_.path().c_str(),
                   file_error_text(error).c_str());
      error_ = error;
      control_.abort();
      return;
    }
  }
}

}  // namespace kivo::recorder
