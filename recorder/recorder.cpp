#include "recorder.h"

#include <algorithm>
#include <cstdio>
#include <filesystem>
#include <string>
#include <vector>

#include "block_ring.h"
#include "block_writer.h"
#include "channel_count.h"
#include "console_output.h"
#include "console_printer.h"
#include "kivo/block_file.h"
#include "kivo/clock.h"
#include "kivo/file_names.h"
#include "kivo/geometry.h"
#include "kivo/metadata.h"
#include "kivo/udp_socket.h"
#include "receive_loop.h"
#include "stop_control.h"
#include "stop_signal.h"

namespace kivo::recorder {
namespace {

constexpr int kFailure = -1;
// How long the end of the run waits for a console that takes nothing before
// the lines still queued are dropped.
constexpr std::chrono::milliseconds kConsolePatience{2000};
// About a second of the device's usual stream: more blocks than this still
// to write after the stop, and the wait is shown.
constexpr size_t kBlocksWorthShowing = 20;
// The most datagrams taken from the socket after the stop: far more than its
// receive buffer holds.
constexpr uint64_t kDrainLimit = uint64_t{1} << 22;

// How a recording ended, for its metadata file.
struct Ending {
  ReceiveOutcome outcome;
  bool socket_failed = false;
  int write_error = 0;
  uint64_t drained = 0;            // datagrams still queued at the end
  uint64_t blocks_left = 0;        // blocks in the ring the writer gave up on
  bool flush_failed = false;
};

// The socket as the device expects it, then as much receive buffer as the
// system grants. `problem` holds the message of a failed step (the socket is
// then not ready) or of a smaller buffer than asked.
bool set_up_socket(net::UdpSocket& socket, std::string& problem) {
  auto failed = [&problem](const char* what, int error) {
    problem = std::string(what) + ": " + net::socket_error_text(error) + "\n";
    return false;
  };
  if (const int error = socket.create()) return failed("socket() failed", error);
  if (const int error = socket.set_reuse_address()) return failed("setsockopt(SO_REUSEADDR) failed", error);
  if (const int error = socket.bind_any(kPort)) return failed("bind() failed", error);
  const int granted = net::receive_buffer_as_requested(socket.request_receive_buffer(kReceiveBufferBytes));
  if (granted < kReceiveBufferBytes) {
    problem = "receive buffer: " + std::to_string(granted) + " bytes granted of " +
              std::to_string(kReceiveBufferBytes) +
              " asked; a disk stall may lose datagrams (see README.md to raise the limit)\n";
  }
  socket.enable_drop_count();
  return true;
}

// Main thread, once the loop has ended: the datagrams still queued are taken
// and counted, and the system's own count replaces the one the last datagram
// brought when it is larger (drops after that datagram).
void count_to_the_end(net::UdpSocket& socket, const Geometry& geometry, Ending& ending) {
  std::vector<uint8_t> scratch(static_cast<size_t>(geometry.datagram_size_bytes));
  ending.drained = socket.drain_queued(scratch.data(), scratch.size(), kDrainLimit);
  uint64_t drops = 0;
  if (socket.read_drop_total(drops)) {
    ending.outcome.kernel_drops = std::max<uint64_t>(ending.outcome.kernel_drops, drops);
  }
}

// Main thread, after the stop: waits for the writer, showing the wait while
// more than about a second of blocks remains.
void wait_for_writer(BlockRing& ring, BlockWriter& writer, const StopControl& control,
                     ConsolePrinter& printer) {
  for (size_t left = ring.waiting(); left > kBlocksWorthShowing && !control.aborted();) {
    printer.say(ConsoleStream::out, "writing " + std::to_string(left) + " blocks still in memory ...\n");
    left = ring.wait_until_at_most(kBlocksWorthShowing, std::chrono::seconds(1));
  }
  writer.join();
}

// Main thread, at the end: losses that were not reported as they happened.
void report_losses(const Ending& ending, ConsolePrinter& printer) {
  const uint64_t lost = ending.outcome.blocks_dropped + ending.blocks_left;
  if (lost > 0) {
    printer.say(ConsoleStream::err, std::to_string(lost) + " blocks not saved: the disk did not keep up\n");
  }
  if (ending.outcome.kernel_drops > 0) {
    printer.say(ConsoleStream::err, std::to_string(ending.outcome.kernel_drops) +
                                        " datagrams dropped by the system: its receive buffer was full\n");
  }
}

// Main thread, with the file open and the socket set up (or failed): the
// writer thread and the receive loop, until the loop ends and the writer has
// written what it got.
int record(BlockFile& file, BlockRing& ring, net::UdpSocket& socket, bool socket_ready,
           const Geometry& geometry, StopControl& control, ConsolePrinter& printer, Ending& ending) {
  BlockWriter writer(file, ring, control, printer);
  if (const int error = writer.start()) {
    printer.say(ConsoleStream::err, "cannot start the writer thread: " + file_error_text(error) + "\n");
    ending.write_error = error;
    return kFailure;
  }
  bool received = false;
  if (socket_ready) {
    ReceiveLoop loop(socket, ring, control, geometry, printer);
    control.attach(socket);
    ending.outcome = loop.run();
    control.detach();
    received = ending.outcome.receive_error == 0;
    count_to_the_end(socket, geometry, ending);
  } else {
    ending.socket_failed = true;
  }
  control.mark_ended();
  ring.close();
  wait_for_writer(ring, writer, control, printer);
  ending.write_error = writer.error();
  if (ending.write_error != 0) ending.blocks_left = ring.waiting();
  report_losses(ending, printer);
  return received && writer.error() == 0 ? 0 : kFailure;
}

EndReason how_it_ended(const Ending& ending, ConsoleStop::Request request) {
  if (ending.socket_failed) return EndReason::socket_error;
  if (ending.outcome.receive_error != 0) return EndReason::receive_error;
  if (ending.write_error != 0 || ending.flush_failed) return EndReason::write_error;
  return request == ConsoleStop::Request::interrupt ? EndReason::ctrl_c : EndReason::signal;
}

// Main thread, at the end: the metadata file completed with what happened.
void finish_metadata(MetadataFile& metadata, const BlockFile& file, const Geometry& geometry,
                     const Ending& ending, bool close_failed, ConsoleStop::Request request,
                     ConsolePrinter& printer) {
  RecordingTotals t;
  t.slots_written = file.bytes_written() / static_cast<uint64_t>(geometry.datagram_size_bytes);
  t.blocks_written = t.slots_written / kSlotsPerBlock;
  t.datagrams_received = ending.outcome.datagrams + ending.drained;
  t.failed_receives = ending.outcome.receive_error != 0 ? 1 : 0;
  t.sequence_gaps = ending.outcome.sequence_gaps;
  t.blocks_lost = ending.outcome.blocks_dropped + ending.blocks_left;
  t.write_errors = (ending.write_error != 0 ? 1 : 0) + (ending.flush_failed ? 1 : 0) + (close_failed ? 1 : 0);
  t.kernel_drops = ending.outcome.kernel_drops;
  t.datagrams_not_saved = ending.outcome.not_handed_over + ending.drained;
  if (const int error = metadata.finish(t, how_it_ended(ending, request))) {
    printer.say(ConsoleStream::err,
                "cannot complete " + metadata.path() + ": " + file_error_text(error) + "\n");
  }
}

// Main thread, at the end: a sample file whose name (or folder) was removed
// while it was written takes its blocks with it when it is closed.
bool removed_while_written(const BlockFile& file, const Geometry& geometry, ConsolePrinter& printer) {
  std::error_code error;
  if (std::filesystem::exists(file.path(), error) || error) return false;
  const uint64_t blocks = file.bytes_written() / static_cast<uint64_t>(geometry.recorder_block_bytes);
  printer.say(ConsoleStream::err, file.path() + " was removed while it was written: the " +
                                      std::to_string(blocks) + " blocks saved to it are lost\n");
  return true;
}

// Main thread, at the end: what the file holds reaches the disk before the
// metadata vouches for it.
bool flush_to_disk(BlockFile& file, ConsolePrinter& printer) {
  if (const int error = file.flush_to_disk()) {
    printer.say(ConsoleStream::err,
                "cannot write " + file.path() + " to the disk: " + file_error_text(error) + "\n");
    return false;
  }
  return true;
}

// Main thread: creates the sample file (never over an existing one) with its
// metadata file, and records into it. The ring's memory is in place first,
// so that the socket is bound right after the file is created (the metadata
// file, flushed to the disk, comes after it) and is ready when the start is
// announced.
int record_to_new_file(int nchans, StopControl& control, ConsolePrinter& printer,
                       const ConsoleStop& console_stop) {
  const Geometry geometry = make_geometry(static_cast<uint32_t>(nchans));
  const auto block_bytes = static_cast<size_t>(geometry.recorder_block_bytes);
  BlockRing ring(block_bytes, kRingBytes / block_bytes);
  const TimeReading now = read_time_now();
  const std::string name = recorder_file_name(now.local);
  BlockFile file;
  if (const int error = file.open(name, FileMode::create_new_write_through)) {
    printer.say(ConsoleStream::err, "cannot create " + name + ": " + file_error_text(error) + "\n");
    return kFailure;
  }
  net::UdpSocket socket;
  std::string socket_problem;
  const bool socket_ready = set_up_socket(socket, socket_problem);
  MetadataFile metadata;
  if (const int error = metadata.start(name, make_metadata(FileKind::recorder, static_cast<uint32_t>(nchans),
                                                           kPort, now, name))) {
    printer.say(ConsoleStream::err, "cannot create " + metadata.path() + ": " + file_error_text(error) +
                                        "; metadata will not be saved\n");
  }
  printer.say(ConsoleStream::out, "With # channels = " + std::to_string(nchans) + ", datagram size = " +
                                      std::to_string(geometry.datagram_size_bytes) + " bytes\n");
  printer.say(ConsoleStream::out, "Data will be saved to " + name + " (in the current working directory).\n");
  if (!socket_problem.empty()) printer.say(ConsoleStream::err, socket_problem);

  Ending ending;
  int status = record(file, ring, socket, socket_ready, geometry, control, printer, ending);
  if (removed_while_written(file, geometry, printer)) status = kFailure;
  ending.flush_failed = !flush_to_disk(file, printer);
  const int close_error = file.close();
  if (close_error != 0) {
    printer.say(ConsoleStream::err, "cannot close " + name + ": " + file_error_text(close_error) + "\n");
  }
  if (ending.flush_failed || close_error != 0) status = kFailure;
  finish_metadata(metadata, file, geometry, ending, close_error != 0, console_stop.last_request(), printer);
  return status;
}

}  // namespace

int run(int argc, char** argv) {
  ConsoleOutput console;  // first: a broken pipe fails a write instead of ending the process
  if (argc < 2) {
    std::fprintf(stderr, "usage: %s chans\n", argc > 0 && argv[0] ? argv[0] : "kivorec");
    return kFailure;
  }
  const auto nchans = parse_channel_count(argv[1]);
  if (!nchans) {
    std::fprintf(stderr, "invalid # of channels (must be between %d and %d)\n", kMinChannels,
                 kMaxChannels);
    return kFailure;
  }
  net::SocketLibrary socket_library;
  StopControl control;
  ConsolePrinter printer(console);
  ConsoleStop console_stop;  // destroyed first: its handler uses `control` and `printer`
  if (const int error = console_stop.install([&control, &printer] {
        printer.say(ConsoleStream::out, "Ctrl-C event\n\n");
        control.console_stop(kStopGrace);
      })) {
    std::fprintf(stderr, "cannot install the Ctrl-C handler: %s\n", file_error_text(error).c_str());
    return kFailure;
  }
  if (const int error = printer.start()) {
    std::fprintf(stderr, "cannot start the console thread: %s\n", file_error_text(error).c_str());
    return kFailure;
  }
  const int status = record_to_new_file(*nchans, control, printer, console_stop);
  control.mark_ended();  // a handler still waiting returns now
  printer.finish(kConsolePatience);
  return status;
}

}  // namespace kivo::recorder
