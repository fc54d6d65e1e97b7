#include "recorder.h"

#include <algorithm>
#include <cstdio>
#include <filesystem>
#include <string>

#include "block_ring.h"
#include "block_writer.h"
#include "channel_count.h"
#include "kivo/block_file.h"
#include "kivo/clock.h"
#include "kivo/file_names.h"
#include "kivo/geometry.h"
#include "kivo/metadata.h"
#include "kivo/udp_socket.h"
#include "kivo/wrong_size.h"
#include "receive_loop.h"
#include "stop_control.h"
#include "stop_signal.h"

namespace kivo::recorder {
namespace {

constexpr int kFailure = kStatusFailed;

// How a recording ended, for its metadata file.
struct Ending {
  ReceiveOutcome outcome;
  bool socket_failed = false;
  int write_error = 0;
};

// perror's layout, for an error code that was passed back rather than left in errno.
void report(const char* what, const std::string& reason) {
  std::fprintf(stderr, "%s: %s\n", what, reason.c_str());
}

// Main thread: the socket as the device expects it, then as much receive
// buffer as the system grants. Returns false after reporting the failed step.
bool set_up_socket(net::UdpSocket& socket) {
  if (const int error = socket.create()) {
    report("socket() failed", net::socket_error_text(error));
    return false;
  }
  if (const int error = socket.set_reuse_address()) {
    report("setsockopt(SO_REUSEADDR) failed", net::socket_error_text(error));
    return false;
  }
  if (const int error = socket.bind_any(kPort)) {
    report("bind() failed", net::socket_error_text(error));
    return false;
  }
  const int granted = socket.request_receive_buffer(kReceiveBufferBytes);
  if (granted < kReceiveBufferBytes) {
    std::fprintf(stderr,
                 "receive buffer: %d bytes granted of %d asked; a disk stall may lose "
                 "datagrams (see README.md to raise the limit)\n",
                 granted, kReceiveBufferBytes);
  }
  socket.enable_drop_count();
  return true;
}

// Main thread, at the end: losses that were not reported as they happened,
// and datagrams not of the channel count's size.
void report_losses(const ReceiveOutcome& outcome, const Geometry& geometry) {
  if (outcome.blocks_dropped > 0) {
    std::fprintf(stderr, "%llu blocks not saved: the disk did not keep up\n",
                 static_cast<unsigned long long>(outcome.blocks_dropped));
  }
  if (outcome.kernel_drops > 0) {
    std::fprintf(stderr, "%lu datagrams dropped by the system: its receive buffer was full\n",
                 static_cast<unsigned long>(outcome.kernel_drops));
  }
  if (outcome.wrong_size_datagrams > 0) {
    std::fprintf(stderr, "%s\n",
                 wrong_size_summary(outcome.wrong_size_datagrams, outcome.most_frequent_wrong_size,
                                    geometry.datagram_size_bytes, geometry.nchans)
                     .c_str());
  }
}

// Main thread, with the file open: the writer thread, the socket and the
// receive loop, until the loop ends and the writer has written what it got.
int record(BlockFile& file, const Geometry& geometry, StopControl& control, const Settings& settings,
           Ending& ending) {
  const auto block_bytes = static_cast<size_t>(geometry.recorder_block_bytes);
  BlockRing ring(block_bytes, std::max<size_t>(2, settings.ring_bytes / block_bytes));
  BlockWriter writer(file, ring, control, settings.before_write);
  if (const int error = writer.start()) {
    report("cannot start the writer thread", file_error_text(error));
    ending.write_error = error;
    return kFailure;
  }
  net::UdpSocket socket;
  ReceiveOutcome outcome;
  bool received = false;
  if (set_up_socket(socket)) {
    ReceiveLoop loop(socket, ring, control, geometry);
    control.attach(socket);
    outcome = loop.run();
    control.detach();
    received = outcome.receive_error == 0;
  } else {
    ending.socket_failed = true;
  }
  control.mark_ended();
  ring.close();
  writer.join();
  report_losses(outcome, geometry);
  ending.outcome = outcome;
  ending.write_error = writer.error();
  if (!received || writer.error() != 0) return kFailure;
  return outcome.blocks_dropped == 0 && outcome.kernel_drops == 0 ? kStatusComplete : kStatusIncomplete;
}

EndReason how_it_ended(const Ending& ending, ConsoleStop::Request request) {
  if (ending.socket_failed) return EndReason::socket_error;
  if (ending.outcome.receive_error != 0) return EndReason::receive_error;
  if (ending.write_error != 0) return EndReason::write_error;
  return request == ConsoleStop::Request::interrupt ? EndReason::ctrl_c : EndReason::signal;
}

// Main thread, at the end: the metadata file completed with what happened.
void finish_metadata(MetadataFile& metadata, const BlockFile& file, const Geometry& geometry,
                     const Ending& ending, bool close_failed, ConsoleStop::Request request) {
  RecordingTotals t;
  t.slots_written = file.bytes_written() / static_cast<uint64_t>(geometry.datagram_size_bytes);
  t.blocks_written = t.slots_written / kSlotsPerBlock;
  t.datagrams_received = ending.outcome.datagrams;
  t.failed_receives = ending.outcome.receive_error != 0 ? 1 : 0;
  t.sequence_gaps = ending.outcome.sequence_gaps;
  t.blocks_lost = ending.outcome.blocks_dropped;
  t.write_errors = (ending.write_error != 0 ? 1 : 0) + (close_failed ? 1 : 0);
  t.kernel_drops = ending.outcome.kernel_drops;
  t.wrong_size_datagrams = ending.outcome.wrong_size_datagrams;
  if (const int error = metadata.finish(t, how_it_ended(ending, request))) {
    std::fprintf(stderr, "cannot complete %s: %s\n", metadata.path().c_str(), file_error_text(error).c_str());
  }
}

// Main thread, at the end: a sample file whose name (or folder) was removed
// while it was written takes its blocks with it when it is closed.
bool removed_while_written(const BlockFile& file, const Geometry& geometry) {
  std::error_code error;
  if (std::filesystem::exists(file.path(), error) || error) return false;
  std::fprintf(stderr, "%s was removed while it was written: the %llu blocks saved to it are lost\n",
               file.path().c_str(),
               static_cast<unsigned long long>(file.bytes_written() /
                                               static_cast<uint64_t>(geometry.recorder_block_bytes)));
  return true;
}

// Main thread: creates the sample file (never over an existing one: a name
// in use takes the next second's) with its metadata file, and records into it.
int record_to_new_file(int nchans, StopControl& control, const ConsoleStop& console_stop,
                       const Settings& settings) {
  const TimeReading now = time_for_new_names(
      [](const std::tm& local) { return !existing_file_among({recorder_file_name(local)}).empty(); });
  const std::string name = recorder_file_name(now.local);
  BlockFile file;
  if (const int error = file.open(name, FileMode::create_new_write_through)) {
    std::fprintf(stderr, "cannot create %s: %s\n", name.c_str(), file_error_text(error).c_str());
    return kFailure;
  }
  MetadataFile metadata;
  if (const int error = metadata.start(name, make_metadata(FileKind::recorder, static_cast<uint32_t>(nchans),
                                                           kPort, now, name))) {
    std::fprintf(stderr, "cannot create %s: %s; metadata will not be saved\n", metadata.path().c_str(),
                 file_error_text(error).c_str());
  }
  const Geometry geometry = make_geometry(static_cast<uint32_t>(nchans));
  std::printf("With # channels = %d, datagram size = %d bytes\n", nchans,
              geometry.datagram_size_bytes);
  std::printf("Data will be saved to %s (in the current working directory).\n", name.c_str());
  std::fflush(stdout);

  Ending ending;
  int status = record(file, geometry, control, settings, ending);
  if (removed_while_written(file, geometry)) status = kFailure;
  const int close_error = file.close();
  if (close_error != 0) {
    std::fprintf(stderr, "cannot close %s: %s\n", name.c_str(), file_error_text(close_error).c_str());
    status = kFailure;
  }
  finish_metadata(metadata, file, geometry, ending, close_error != 0, console_stop.last_request());
  if (status == kStatusIncomplete) {
    std::fprintf(stderr, "the recording is incomplete: not everything received was saved (exit status %d)\n",
                 kStatusIncomplete);
  }
  return status;
}

}  // namespace

// The usage line, and what a user needs to know to rely on the recording.
void print_usage(std::FILE* to, const char* program) {
  std::fprintf(to, "usage: %s chans\n", program);
  std::fprintf(to,
               "  Records the datagrams arriving on UDP port %u to YYYY-MM-DD_hh-mm-ss_kivo_samples.dat in the\n"
               "  current directory until Ctrl-C; chans is the device's channel count, 1 to 16.\n"
               "  Ctrl-C (or SIGTERM) lets the block in progress complete while datagrams arrive; a second\n"
               "  Ctrl-C, or a second without a datagram, ends it at once.\n"
               "  Exit status: 0 everything received was written; 3 stopped as asked, but blocks were not\n"
               "  saved (the disk did not keep up) or the system dropped datagrams; 255 (-1) it failed.\n",
               static_cast<unsigned>(kPort));
}

int run(int argc, char** argv, const Settings& settings) {
  const char* program = argc > 0 && argv[0] ? argv[0] : "kivorec";
  if (argc < 2) {
    print_usage(stderr, program);
    return kFailure;
  }
  if (std::string(argv[1]) == "--help" || std::string(argv[1]) == "-h") {
    print_usage(stdout, program);
    return kStatusComplete;
  }
  const auto nchans = parse_channel_count(argv[1]);
  if (!nchans) {
    std::fprintf(stderr, "invalid # of channels (must be between %d and %d)\n", kMinChannels,
                 kMaxChannels);
    return kFailure;
  }
  net::SocketLibrary socket_library;
  StopControl control;
  ConsoleStop console_stop;  // destroyed first: its handler uses `control`
  if (const int error = console_stop.install([&control] { control.console_stop(kStopGrace); })) {
    report("cannot install the Ctrl-C handler", file_error_text(error));
    return kFailure;
  }
  const int status = record_to_new_file(*nchans, control, console_stop, settings);
  control.mark_ended();  // a handler still waiting returns now
  return status;
}

}  // namespace kivo::recorder
