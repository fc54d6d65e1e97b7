#include "recorder.h"

#include <algorithm>
#include <cstdio>
#include <optional>
#include <string>
#include <vector>

#include "block_ring.h"
#include "block_writer.h"
#include "channel_count.h"
#include "console_output.h"
#include "console_printer.h"
#include "kivo/clock.h"
#include "kivo/end_of_receiving.h"
#include "kivo/file_names.h"
#include "kivo/geometry.h"
#include "kivo/metadata.h"
#include "kivo/recording_file.h"
#include "kivo/sample_timing.h"
#include "kivo/slot_anchors.h"
#include "kivo/udp_socket.h"
#include "kivo/version.h"
#include "kivo/wrong_size.h"
#include "receive_loop.h"
#include "run_summary.h"
#include "stop_control.h"
#include "stop_signal.h"

namespace kivo::recorder {
namespace {

constexpr int kFailure = kStatusFailed;
// How long the end of the run waits for a console that takes nothing before
// the lines still queued are dropped.
constexpr std::chrono::milliseconds kConsolePatience{2000};
// About a second of the device's usual stream: more blocks than this still
// to write after the stop, and the wait is shown.
constexpr size_t kBlocksWorthShowing = 20;

// How a recording ended, for its metadata file.
struct Ending {
  ReceiveOutcome outcome;
  bool socket_failed = false;
  int write_error = 0;
  uint64_t drained = 0;                // datagrams still queued at the end
  uint64_t blocks_left = 0;            // blocks in the ring the writer gave up on
  std::optional<SampleTiming> timing;  // when datagrams were received
  std::vector<SlotAnchor> anchors;
};

// The socket as the device expects it, then as much receive buffer as the
// system grants. `problem` holds the message of a failed step (the socket is
// then not ready) or of a smaller buffer than asked.
bool set_up_socket(net::UdpSocket& socket, std::string& problem) {
  auto failed = [&problem](const std::string& what, int error) {
    problem = what + ": " + net::socket_error_text(error) + "\n";
    return false;
  };
  if (const int error = socket.create()) return failed("socket() failed", error);
  if (const int error = socket.set_address_option()) {
    return failed(std::string("setsockopt(") + net::address_option_name() + ") failed", error);
  }
  if (const int error = socket.bind_any(kPort)) return failed("bind() failed", error);
  const int granted = net::receive_buffer_as_requested(socket.request_receive_buffer(kReceiveBufferBytes));
  if (granted < kReceiveBufferBytes) {
    problem = "receive buffer: " + std::to_string(granted) + " bytes granted of " +
              std::to_string(kReceiveBufferBytes) +
              " asked; a disk stall may lose datagrams (see README.md to raise the limit)\n";
  }
  socket.enable_drop_count();
  socket.enable_kernel_stamps();
  return true;
}

// Main thread, once the loop has ended: the datagrams still queued are taken
// and counted, and the system's own count replaces the one the last datagram
// brought when it is larger (drops after that datagram).
void count_to_the_end(net::UdpSocket& socket, ReceiveLoop& loop, Ending& ending) {
  ending.drained = loop.drain_queued();
  ending.outcome = loop.outcome();
  ending.timing = loop.timing();
  ending.anchors = loop.anchors();
  const uint64_t drops = kernel_drops_at_end(socket, ending.outcome.kernel_drops);
  ending.outcome.kernel_drops = static_cast<uint32_t>(drops);
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

// Main thread, at the end: losses that were not reported as they happened,
// and datagrams not of the channel count's size.
void report_losses(const Ending& ending, const Geometry& geometry, ConsolePrinter& printer) {
  const uint64_t lost = ending.outcome.blocks_dropped + ending.blocks_left;
  if (lost > 0) {
    printer.say(ConsoleStream::err, std::to_string(lost) + " blocks not saved: the disk did not keep up\n");
  }
  const ReceiveOutcome& outcome = ending.outcome;
  if (outcome.kernel_drops > 0) {
    printer.say(ConsoleStream::err, std::to_string(outcome.kernel_drops) +
                                        " datagrams dropped by the system: its receive buffer was full\n");
  }
  if (outcome.wrong_size_datagrams > 0) {
    printer.say(ConsoleStream::err,
                wrong_size_summary(outcome.wrong_size_datagrams, outcome.most_frequent_wrong_size,
                                   geometry.datagram_size_bytes, geometry.nchans) +
                    "\n");
  }
}

// Main thread, with the file open and the socket set up (or failed): the
// writer thread and the receive loop, until the loop ends and the writer has
// written what it got.
int record(RecordingFile& file, BlockRing& ring, net::UdpSocket& socket, bool socket_ready,
           const Geometry& geometry, StopControl& control, ConsolePrinter& printer, const Settings& settings,
           Ending& ending) {
  BlockWriter writer(file, ring, control, printer, settings.before_write);
  if (const int error = writer.start()) {
    printer.say(ConsoleStream::err, "cannot start the writer thread: " + file_error_text(error) + "\n");
    ending.write_error = error;
    file.count_failed_write(error);
    return kFailure;
  }
  bool received = false;
  if (socket_ready) {
    ReceiveLoop loop(socket, ring, control, geometry, printer);
    control.attach(socket);
    loop.run();
    control.detach();
    count_to_the_end(socket, loop, ending);
    received = ending.outcome.receive_error == 0;
  } else {
    ending.socket_failed = true;
  }
  control.mark_ended();
  ring.close();
  wait_for_writer(ring, writer, control, printer);
  ending.write_error = writer.error();
  if (ending.write_error != 0) ending.blocks_left = ring.waiting();
  report_losses(ending, geometry, printer);
  if (!received || writer.error() != 0) return kFailure;
  // Datagrams still queued at the stop (not saved) are no loss of the disk
  // or the system: they do not make the recording incomplete.
  return ending.outcome.blocks_dropped == 0 && ending.outcome.kernel_drops == 0 ? kStatusComplete
                                                                                : kStatusIncomplete;
}

EndReason how_it_ended(const Ending& ending, const RecordingFile& file, ConsoleStop::Request request) {
  if (ending.socket_failed) return EndReason::socket_error;
  if (ending.outcome.receive_error != 0) return EndReason::receive_error;
  if (ending.write_error != 0 || file.flush_error() != 0) return EndReason::write_error;
  return request == ConsoleStop::Request::interrupt ? EndReason::ctrl_c : EndReason::signal;
}

// Main thread, at the end: the metadata file completed with what happened
// (the file adds what it holds and its failed writes).
void finish_metadata(RecordingFile& file, const Ending& ending, EndReason reason, ConsolePrinter& printer) {
  RecordingTotals t;
  t.datagrams_received = ending.outcome.datagrams + ending.drained;
  t.failed_receives = ending.outcome.receive_error != 0 ? 1 : 0;
  t.sequence_gaps = ending.outcome.sequence_gaps;
  t.blocks_lost = ending.outcome.blocks_dropped + ending.blocks_left;
  t.kernel_drops = ending.outcome.kernel_drops;
  t.wrong_size_datagrams = ending.outcome.wrong_size_datagrams;
  t.datagrams_not_saved = ending.outcome.not_handed_over + ending.drained;
  if (ending.timing) file.set_timing(*ending.timing, ending.anchors);
  if (const int error = file.finish_metadata(t, reason)) {
    printer.say(ConsoleStream::err,
                "cannot complete " + file.metadata_path() + ": " + file_error_text(error) + "\n");
  }
}

// Main thread, at the very end: one line with what the run left behind.
void say_summary(const RecordingFile& file, const Geometry& geometry, const Ending& ending, EndReason reason,
                 ConsolePrinter& printer) {
  RunSummary run;
  run.file = file.path();
  run.received = ending.outcome.datagrams + ending.drained;
  run.saved = file.bytes_written() / static_cast<uint64_t>(geometry.datagram_size_bytes);
  run.sequence_gaps = ending.outcome.sequence_gaps;
  run.kernel_drops = ending.outcome.kernel_drops;
  run.blocks_not_saved = ending.outcome.blocks_dropped + ending.blocks_left;
  run.ended = reason;
  printer.say(ConsoleStream::out, run_summary_line(run));
}

// Main thread, once the writer has ended: the file is ended (removed-while-
// written check, flush to the disk, close) and what went wrong is said.
// Returns false when the recording failed there.
bool end_file(RecordingFile& file, ConsolePrinter& printer) {
  file.end();
  if (const auto blocks = file.blocks_lost_to_removal()) {
    printer.say(ConsoleStream::err, file.path() + " was removed while it was written: the " +
                                        std::to_string(*blocks) + " blocks saved to it are lost\n");
  } else if (file.renamed()) {
    printer.say(ConsoleStream::err, file.path() +
                                        " was renamed while it was written: the blocks saved to it are "
                                        "kept under its new name\n");
  }
  if (const int error = file.flush_error()) {
    printer.say(ConsoleStream::err,
                "cannot write " + file.path() + " to the disk: " + file_error_text(error) + "\n");
  }
  if (const int error = file.close_error()) {
    printer.say(ConsoleStream::err, "cannot close " + file.path() + ": " + file_error_text(error) + "\n");
  }
  return !file.blocks_lost_to_removal() && file.flush_error() == 0 && file.close_error() == 0;
}

// Main thread: creates the sample file (never over an existing one: a name
// in use takes the next second's) with its metadata file, and records into
// it. The ring's memory is in place first, so that the socket is bound right
// after the file is created (the metadata file, flushed to the disk, comes
// after it) and is ready when the start is announced.
int record_to_new_file(int nchans, StopControl& control, ConsolePrinter& printer,
                       const ConsoleStop& console_stop, const Settings& settings) {
  const Geometry geometry = make_geometry(static_cast<uint32_t>(nchans));
  const auto block_bytes = static_cast<size_t>(geometry.recorder_block_bytes);
  BlockRing ring(block_bytes, std::max<size_t>(2, settings.ring_bytes / block_bytes));
  const TimeReading now = time_for_new_names(
      [](const std::tm& local) { return !existing_file_among({recorder_file_name(local)}).empty(); });
  const std::string name = recorder_file_name(now.local);
  RecordingFile file;
  if (const int error = file.create(name, FileMode::create_new_write_through, block_bytes)) {
    printer.say(ConsoleStream::err, "cannot create " + name + ": " + file_error_text(error) + "\n");
    return kFailure;
  }
  net::UdpSocket socket;
  std::string socket_problem;
  const bool socket_ready = set_up_socket(socket, socket_problem);
  const Metadata described =
      make_metadata(FileKind::recorder, static_cast<uint32_t>(nchans), kPort, now, name);
  if (const int error = file.start_metadata(described)) {
    printer.say(ConsoleStream::err, "cannot create " + file.metadata_path() + ": " + file_error_text(error) +
                                        "; tried again at the end\n");
  }
  printer.say(ConsoleStream::out, "With # channels = " + std::to_string(nchans) + ", datagram size = " +
                                      std::to_string(geometry.datagram_size_bytes) + " bytes\n");
  printer.say(ConsoleStream::out, "Data will be saved to " + name + " (in the current working directory).\n");
  if (!socket_problem.empty()) printer.say(ConsoleStream::err, socket_problem);

  Ending ending;
  int status = record(file, ring, socket, socket_ready, geometry, control, printer, settings, ending);
  if (!end_file(file, printer)) status = kFailure;
  const EndReason reason = how_it_ended(ending, file, console_stop.last_request());
  finish_metadata(file, ending, reason, printer);
  say_summary(file, geometry, ending, reason, printer);
  if (status == kStatusIncomplete) {
    printer.say(ConsoleStream::err,
                "the recording is incomplete: not everything received was saved (exit status " +
                    std::to_string(kStatusIncomplete) + ")\n");
  }
  return status;
}

}  // namespace

// The usage line, and what a user needs to know to rely on the recording.
void print_usage(std::FILE* to, const std::string& program) {
  std::fprintf(to, "usage: %s chans\n", program.c_str());
  std::fprintf(
      to,
      "       %s --help | --version\n"
      "  Records the datagrams arriving on UDP port %u to YYYY-MM-DD_hh-mm-ss_kivo_samples.dat in the\n"
      "  current directory until Ctrl-C; chans is the device's channel count, 1 to 16.\n"
      "  Ctrl-C (or SIGTERM, SIGHUP, SIGQUIT) lets the block in progress complete while datagrams\n"
      "  arrive; a second Ctrl-C, or a second without a datagram, ends it at once. A break in the\n"
      "  sequence numbers is said (at most once a second), and the last line sums the run up.\n"
      "  Exit status: 0 everything received was written; 3 stopped as asked, but blocks were not\n"
      "  saved (the disk did not keep up) or the system dropped datagrams; 255 (-1) it failed, or\n"
      "  the command line was wrong.\n",
      program.c_str(), static_cast<unsigned>(kPort));
}

int run(int argc, char** argv, const Settings& settings) {
  ConsoleOutput console;  // first: a broken pipe fails a write instead of ending the process
  // Its name as typed, not the folder it was found in.
  const std::string program = base_name(argc > 0 && argv[0] ? argv[0] : "kivorec");
  const std::string first = argc > 1 ? argv[1] : "";
  if (first == "--help" || first == "-h") {
    print_usage(stdout, program);
    return kStatusComplete;
  }
  if (first == "--version") {
    std::printf("kivorec %s\n", KIVO_VERSION);
    return kStatusComplete;
  }
  if (argc != 2) {
    print_usage(stderr, program);
    return kFailure;
  }
  const auto nchans = parse_channel_count(argv[1]);
  if (!nchans) {
    std::fprintf(stderr, "invalid # of channels (must be between %d and %d)\n", kMinChannels, kMaxChannels);
    return kFailure;
  }
  net::SocketLibrary socket_library;
  StopControl control;
  ConsolePrinter printer(console);
  ConsoleStop console_stop;  // destroyed first: its handler uses `control` and `printer`
  if (const int error = console_stop.install([&control, &printer] {
        control.console_stop(kStopGrace, [&printer] { printer.say(ConsoleStream::out, "Ctrl-C event\n\n"); });
      })) {
    std::fprintf(stderr, "cannot install the Ctrl-C handler: %s\n", file_error_text(error).c_str());
    return kFailure;
  }
  if (const int error = printer.start()) {
    std::fprintf(stderr, "cannot start the console thread: %s\n", file_error_text(error).c_str());
    return kFailure;
  }
  const int status = record_to_new_file(*nchans, control, printer, console_stop, settings);
  control.mark_ended();  // ends the watch of a stop, if the recording did not run
  printer.finish(kConsolePatience);
  return status;
}

}  // namespace kivo::recorder
