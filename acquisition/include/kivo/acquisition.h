// The acquisition engine that velto's MEX gateway and the Python package
// drive, free of any host: 'open' binds the port and starts a receiver
// thread, which fills two blocks of 1000 stamped datagrams in turn, and a
// save thread, which writes every full block to the raw samples file and,
// with a band filter, to the filtered file. The MEX gateway keeps one
// instance for the plug-in, the Python package one per kivo.Acquisition;
// tests make their own.
//
// Acquisition coordinates the parts, each in files of its own: the
// Receiver (socket, receiver thread, blocks), the BlockSaver (files, save
// thread, filter, metadata), the BlockHandover between them, and the
// LatestDatagram that 'read' copies.
#pragma once

#include <cstddef>
#include <cstdint>
#include <functional>
#include <string>

#include "kivo/block_handover.h"
#include "kivo/block_saver.h"
#include "kivo/console.h"
#include "kivo/geometry.h"
#include "kivo/latest_datagram.h"
#include "kivo/metadata.h"
#include "kivo/open_request.h"
#include "kivo/receiver.h"
#include "kivo/status.h"

namespace kivo {

class Acquisition {
 public:
  explicit Acquisition(Console console);
  ~Acquisition();
  Acquisition(const Acquisition&) = delete;
  Acquisition& operator=(const Acquisition&) = delete;

  // host thread: starts an acquisition and returns nsamp. Throws
  // AcquisitionError.
  int32_t open(const OpenRequest& request);
  // host thread: stops and joins both threads, then releases the socket and
  // the files, and completes their metadata files with `reason`. Does nothing
  // when nothing is held.
  void close(kivo::EndReason reason = kivo::EndReason::closed);
  // host thread: the latest whole datagram (datagram_size() bytes), or null
  // when less than one datagram's worth of unread bytes is left.
  // read() and status() also say the first datagram of a wrong size (once
  // an acquisition): the worker threads never speak to the user.
  const uint8_t* read();
  // host thread: the receive stamp (seconds since 1970) of the datagram
  // that the last successful read() returned.
  double read_stamp() const;
  // host thread; the counters are read without locks while the threads run.
  AcquisitionStatus status();

  bool running() const { return running_; }
  int32_t datagram_size() const { return geometry_.datagram_size_bytes; }
  size_t samples_per_datagram() const { return geometry_.samples_per_datagram(); }
  size_t channels() const { return geometry_.nchans; }
  int32_t samples_per_channel() const { return geometry_.nsamp; }
  std::string raw_path() const { return saver_.raw_path(); }
  std::string filtered_path() const { return saver_.filtered_path(); }

  // Tests only: runs in the save thread before each block is written, to
  // make a slow disk.
  void set_before_write_hook(std::function<void()> hook) { saver_.set_before_write_hook(std::move(hook)); }
  // Tests only: the receive buffer to ask of the kernel (0: the default).
  void set_receive_buffer_request(int bytes) { receive_buffer_request_ = bytes; }

 private:
  void check_not_running() const;
  void release_leftovers();
  void start_threads();
  void stop_threads();
  void report_problems();
  void say_wrong_size_early();

  // host thread only.
  Console console_;
  bool running_ = false;
  int port_ = 0;
  int socket_buffer_bytes_ = 0;
  int receive_buffer_request_ = 0;
  bool wrong_size_said_ = false;  // the first wrong-size datagram was said
  // host thread writes it in 'open' before the threads start; until the
  // first 'open', datagram_size() answers 1460.
  kivo::Geometry geometry_{0, 0, 1460};

  // The parts, in the order they depend on each other.
  StatusCounters counters_;
  BlockHandover handover_;
  LatestDatagram latest_;
  Receiver receiver_{counters_, handover_, latest_};
  BlockSaver saver_{counters_, handover_, console_};
};

}  // namespace kivo
