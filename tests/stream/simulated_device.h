// A simulated device and receiver for the clock tests: the device sends
// datagram u at its true time t0 + (u - first) * nsamp / rate; the receiver
// stamps it later by a random delay, in order, and what the tests ask for
// happens on the way (loss, gaps, stalls, clock steps, restarts).
#pragma once

#include <cmath>
#include <cstdint>
#include <random>
#include <vector>

namespace kivo_test {

struct ReceivedDatagram {
  uint16_t sequence = 0;
  double stamp = 0;
  int64_t datagram = 0;  // the number the clock should give it
  double true_time = 0;  // when it was sent, on the receiver's clock
};

class SimulatedDevice {
 public:
  // Delays are floor + a log-normal draw (median `median_delay`, spread
  // `sigma`): mostly tens to hundreds of microseconds, now and then
  // milliseconds.
  SimulatedDevice(double sample_rate, int32_t nsamp, uint64_t seed)
      : seconds_per_datagram_(nsamp / sample_rate), random_(seed) {}

  double floor_delay = 30e-6;
  double median_delay = 150e-6;
  double sigma = 1.0;
  double loss = 0.0;  // fraction of datagrams lost at random
  double start_time = 1.7e9;

  // Sends `count` datagrams; those that survive arrive after their delays.
  void send(int64_t count) {
    for (int64_t i = 0; i < count; ++i) {
      const double sent = device_time();
      const int64_t u = next_++;
      if (uniform() < loss) continue;
      receive(u, sent, sent + delay());
    }
  }
  // Sends `count` datagrams that are all lost.
  void lose(int64_t count) { next_ += count; }
  // Holds everything sent during the next `seconds` (up to `kept` datagrams;
  // the rest are dropped), then delivers it at once.
  void stall(double seconds, int64_t kept = INT64_MAX) {
    const double end = device_time() + seconds;
    int64_t held = 0;
    while (device_time() < end) {
      const double sent = device_time();
      const int64_t u = next_++;
      if (held++ < kept) receive(u, sent, end);
    }
  }
  // The receiver's clock jumps by `seconds` from now on.
  void step_clock(double seconds) { offset_ += seconds; }
  // The device falls silent for `seconds` and starts numbering at `sequence`.
  void restart(double seconds, uint16_t sequence) {
    const double resumed = device_time() + seconds;
    first_ = next_ = next_datagram_after_restart(sequence);
    start_time = resumed;
  }
  void start_at(uint16_t sequence) { first_ = next_ = sequence; }

  const std::vector<ReceivedDatagram>& received() const { return received_; }

 private:
  // The clock numbers a restarted device above everything before.
  int64_t next_datagram_after_restart(uint16_t sequence) const {
    const int64_t last = received_.empty() ? -1 : received_.back().datagram;
    int64_t u = last - (last % 65536) + sequence;
    while (u <= last) u += 65536;
    return u;
  }

  double device_time() const {
    return start_time + static_cast<double>(next_ - first_) * seconds_per_datagram_;
  }

  // From the engine's own bits, so every standard library draws the same.
  double uniform() { return static_cast<double>(random_() >> 11) / 9007199254740992.0; }
  // Box-Muller.
  double delay() {
    const double a = uniform() + 0x1p-54;
    const double b = uniform();
    const double normal = std::sqrt(-2.0 * std::log(a)) * std::cos(6.283185307179586 * b);
    return floor_delay + median_delay * std::exp(sigma * normal);
  }
  // Times in the device's frame; the receiver's clock adds its offset.
  void receive(int64_t u, double sent, double arrival) {
    // One thread receives in order: never two arrivals at once.
    arrival = std::fmax(arrival, last_arrival_ + 0.5e-6);
    last_arrival_ = arrival;
    received_.push_back({static_cast<uint16_t>(u & 0xFFFF), arrival + offset_, u, sent + offset_});
  }

  double seconds_per_datagram_;
  std::mt19937_64 random_;
  int64_t first_ = 0;
  int64_t next_ = 0;
  double offset_ = 0;
  double last_arrival_ = 0;
  std::vector<ReceivedDatagram> received_;
};

}  // namespace kivo_test
