// The acquisition core of the velto plug-in, free of any MEX host: 'open'
// binds the port and starts a receiver thread, which fills two blocks of 1000
// stamped datagrams in turn, and a save thread, which writes every full block
// to the raw samples file and, with a band filter, to the filtered file.
// The gateway keeps one instance for the plug-in; tests make their own.
#pragma once

#include <atomic>
#include <cstddef>
#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <thread>
#include <vector>

#include "kivo/block_file.h"
#include "kivo/geometry.h"
#include "kivo/metadata.h"
#include "kivo/udp_socket.h"
#include "kivo/wrong_size.h"
#include "velto/band_filter.h"
#include "velto/block_handover.h"
#include "velto/datagram_bookkeeping.h"
#include "velto/status.h"

namespace velto {

// Prints one message to the user (the gateway passes mexPrintf).
using Console = std::function<void(const std::string&)>;

// The arguments of 'open' after the gateway has checked their classes: the
// values are still as the user gave them.
struct OpenRequest {
  double port = 0;
  double nchans = 0;
  std::string savedir;
  bool with_filter = false;
  std::vector<double> b;  // as many elements as the user gave
  std::vector<double> a;
};

class AcquisitionState {
 public:
  explicit AcquisitionState(Console console);
  ~AcquisitionState();
  AcquisitionState(const AcquisitionState&) = delete;
  AcquisitionState& operator=(const AcquisitionState&) = delete;

  // MATLAB thread: starts an acquisition and returns nsamp. Throws
  // std::runtime_error with the user's message.
  int32_t open(const OpenRequest& request);
  // MATLAB thread: stops and joins both threads, then releases the socket and
  // the files, and completes their metadata files with `reason`. Does nothing
  // when nothing is held.
  void close(kivo::EndReason reason = kivo::EndReason::closed);
  // MATLAB thread: the latest whole datagram (datagram_size() bytes), or null
  // when less than one datagram's worth of unread bytes is left.
  const uint8_t* read();
  // MATLAB thread: the receive stamp (seconds since 1970) of the datagram
  // that the last successful read() returned.
  double read_stamp() const { return read_stamp_; }
  // MATLAB thread; the counters are read without locks while the threads run.
  AcquisitionStatus status() const;

  bool running() const { return running_; }
  int32_t datagram_size() const { return datagram_size_bytes; }
  size_t samples_per_datagram() const { return nchans * nsamp; }
  size_t channels() const { return nchans; }
  int32_t samples_per_channel() const { return static_cast<int32_t>(nsamp); }
  std::string raw_path() const { return fp.path(); }
  std::string filtered_path() const { return filt ? filt->file.path() : std::string(); }

  // Tests only: runs in the save thread before each block is written, to
  // make a slow disk.
  void set_before_write_hook(std::function<void()> hook) { before_write_ = std::move(hook); }
  // Tests only: the receive buffer to ask of the kernel (0: the default).
  void set_receive_buffer_request(int bytes) { receive_buffer_request_ = bytes; }

 private:
  void check_not_running() const;
  void release_leftovers();
  kivo::TimeReading time_for_files(const OpenRequest& request) const;
  void open_files(const OpenRequest& request, int port, uint32_t channels, const kivo::TimeReading& now);
  void discard_files();
  void set_up_filter(const OpenRequest& request, const std::string& path);
  void start_metadata(kivo::MetadataFile& file, const std::string& sample_path,
                      const kivo::Metadata& metadata);
  void finish_metadata(kivo::EndReason reason, bool acquired);
  void size_buffers(uint32_t channels);
  void open_socket(uint16_t port);
  void start_threads();
  void stop_threads();
  void close_files();
  void note_if_removed(const kivo::BlockFile& file);
  void report_problems();

  void udprcv_threadfunc();
  bool receive_block(uint8_t* base, uint32_t epoch, size_t& taken);
  void note_size(uint8_t* datagram, const kivo::net::Received& received);
  void count_to_the_end();
  void flush_files_to_disk();
  void publish(uint64_t latest, size_t length);
  void wait_for_copy_from_half(uint32_t epoch);
  void savedata_threadfunc();
  void save_block(const uint8_t* block);

  Console console_;
  bool running_ = false;
  int port_ = 0;

  // Stream geometry, fixed by 'open' before the threads start.
  int32_t datagram_size_bytes = 1460;
  int32_t total_bytes = 0;
  size_t nchans = 0;
  size_t nsamp = 0;

  std::atomic<bool> bContinue{true};
  // Received bytes that 'read' has not taken, never above total_bytes.
  std::atomic<size_t> N{0};
  // The latest whole datagram: (block epoch << 32) | offset of its slot in
  // vreadbuf, published as one value after the receive completed.
  std::atomic<uint64_t> reader{0};
  // Number of the block the receiver is filling; a slot filled in block e
  // is refilled in block e + 2 at the earliest.
  std::atomic<uint32_t> block_epoch_{0};
  // 1 + the block number of the slot that 'read' is copying, 0 when none:
  // the receiver does not refill that half until the copy is done.
  std::atomic<uint32_t> copying_{0};

  std::vector<uint8_t> vreadbuf;    // two blocks, filled in turn
  std::vector<uint8_t> vfilt2disk;  // one filtered block
  std::vector<uint8_t> vraw;        // 'read's copy of one datagram
  double read_stamp_ = 0.0;         // MATLAB thread only: the stamp of vraw's datagram
  std::unique_ptr<FilterState> filt;
  kivo::BlockFile fp;  // raw samples file
  std::optional<kivo::net::SocketLibrary> socket_library_;
  kivo::net::UdpSocket sock;
  BlockHandover handover_;
  std::thread receiver_;
  std::thread saver_;

  StatusCounters counters_;
  int socket_buffer_bytes_ = 0;
  int receive_buffer_request_ = 0;
  // Receiver thread only: the sequence number of the previous datagram.
  SequenceTracker sequence_;
  // Receiver thread only while it runs; 'close' reads it after the join.
  kivo::WrongSizeTally wrong_sizes_;
  // MATLAB thread only: files whose close reported an error, for the warning.
  std::string close_failed_;
  std::string filtered_close_failed_;
  // MATLAB thread only: sample files removed while they were written.
  std::vector<std::string> removed_;
  // MATLAB thread only: the metadata beside each sample file of this 'open'.
  kivo::MetadataFile raw_metadata_;
  kivo::MetadataFile filtered_metadata_;
  std::function<void()> before_write_;
};

}  // namespace velto
