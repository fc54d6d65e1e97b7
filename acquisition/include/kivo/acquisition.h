// The acquisition engine that velto's MEX gateway and the Python package
// drive, free of any host: 'open' binds the port and starts a receiver
// thread, which fills two blocks of 1000 stamped datagrams in turn, and a
// save thread, which writes every full block to the raw samples file and,
// with a band filter, to the filtered file; 'close' writes what is left as
// a last, partial block. The MEX gateway keeps one instance for the
// plug-in, the Python package one per kivo.Acquisition; tests make their own.
//
// Acquisition coordinates the parts, each in files of its own: the
// Receiver (socket, receiver thread, blocks, sample clock), the BlockSaver
// (files, save thread, filter, metadata), the BlockHandover between them,
// the LatestDatagram that 'read' copies, the SampleDelivery that 'samples'
// takes every datagram from, and the ArrivalSignal that wakes a waiting caller.
#pragma once

#include <chrono>
#include <cstddef>
#include <cstdint>
#include <functional>
#include <string>

#include "kivo/arrival_signal.h"
#include "kivo/block_handover.h"
#include "kivo/block_saver.h"
#include "kivo/console.h"
#include "kivo/events_file.h"
#include "kivo/geometry.h"
#include "kivo/latest_datagram.h"
#include "kivo/metadata.h"
#include "kivo/open_request.h"
#include "kivo/receiver.h"
#include "kivo/sample_delivery.h"
#include "kivo/shared_clock.h"
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
  // when nothing is held. In a process forked from the one that opened it,
  // the acquisition is the parent's: it is only forgotten (the child's copies
  // of the socket and files let go of, nothing shut down, written or joined),
  // and so is it by the destructor.
  void close(kivo::EndReason reason = kivo::EndReason::closed);
  // host thread: the latest whole datagram (datagram_size() bytes), or null
  // when less than one datagram's worth of unread bytes is left.
  // read() and status() also say the first datagram of a wrong size (once
  // an acquisition): the worker threads never speak to the user.
  const uint8_t* read();
  // host thread: writes an event with code `value` (0 to kMaxEventValue)
  // and `text` (at most kMaxEventTextBytes; "" for none) to the events file
  // beside the raw file, stamped now on the datagrams' clock and placed at a
  // row of the raw file (kivo/event_placement.h), and returns the row. One
  // write, no wait on the other threads. Throws AcquisitionError (refused)
  // when nothing runs, for a value or text out of range, and when the row
  // cannot be written, and in a process forked from the one that opened it.
  EventRow mark(uint64_t value, const std::string& text);
  // host thread: the receive stamp (seconds since 1970) of the datagram
  // that the last successful read() returned.
  double read_stamp() const;
  // host thread; the counters are read without locks while the threads run.
  AcquisitionStatus status();

  // host thread: every datagram received since the last call (since 'open'
  // for the first), oldest first, and how many the caller missed. Nothing
  // after 'close', which gives the memory kept for it back: the files hold
  // everything, the last block too.
  TakenDatagrams take_samples() {
    say_wrong_size_early();
    return delivery_.take();
  }
  // Any thread: the sample clock's lines, for the times of what
  // take_samples() handed over (at least as new as its datagrams).
  ClockLines clock_lines() const { return receiver_.clock_lines().read(); }

  // Waiting for a datagram without the host thread's lock, so that another
  // thread can call 'close' meanwhile (the Python package): a mark taken on
  // the host thread, then a wait in any thread.
  struct WaitMark {
    uint64_t ends = 0;   // 'close' calls before the mark
    uint64_t taken = 0;  // datagrams take_samples() had handed over
    size_t datagram_bytes = 0;
    bool running = false;
  };
  WaitMark wait_mark() const;
  // Any thread: wait until read() has a datagram (or take_samples() one
  // after the mark), 'close' begins after the mark, or `until`. True when
  // there is one. Returns at once when nothing ran at the mark.
  bool wait_for_read(const WaitMark& mark, ArrivalSignal::Clock::time_point until);
  bool wait_for_samples(const WaitMark& mark, ArrivalSignal::Clock::time_point until);
  // Any thread: whether 'close' began after the mark.
  bool closed_since(const WaitMark& mark) const { return arrivals_.ends() != mark.ends; }

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
  // Tests only: the full blocks kept for 'samples' from the next 'open' on.
  void set_samples_ring_blocks(size_t blocks) { ring_blocks_ = blocks; }

 private:
  void check_not_running() const;
  bool held_by_another_process() const;
  void forget();
  void release_leftovers();
  void start_threads();
  void stop_threads();
  void save_the_rest();
  void report_problems();
  void say_wrong_size_early();

  // host thread only.
  Console console_;
  bool running_ = false;
  uint64_t owner_ = 0;  // the process that opened what is held; 0: nothing held
  int port_ = 0;
  int socket_buffer_bytes_ = 0;
  int receive_buffer_request_ = 0;
  size_t ring_blocks_ = SampleDelivery::kRingBlocks;
  bool wrong_size_said_ = false;  // the first wrong-size datagram was said
  kivo::EventsFile events_;       // created by the first mark()
  // host thread writes it in 'open' before the threads start; until the
  // first 'open', datagram_size() answers 1460.
  kivo::Geometry geometry_{0, 0, 1460};

  // The parts, in the order they depend on each other.
  StatusCounters counters_;
  BlockHandover handover_;
  LatestDatagram latest_;
  SampleDelivery delivery_;
  ArrivalSignal arrivals_;
  Receiver receiver_{counters_, handover_, latest_, delivery_, arrivals_};
  BlockSaver saver_{counters_, handover_, delivery_, console_};
};

}  // namespace kivo
