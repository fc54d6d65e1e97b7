// The simulator's command line: what a run is asked to do.
#pragma once

#include <cstdint>
#include <string>

namespace kivo::sim {

enum class Content { sine, pattern, random };

struct Options {
  std::string host = "127.0.0.1";
  uint16_t port = 55000;
  uint32_t channels = 8;
  double rate = 1000.0;  // datagrams per second; 0 = as fast as possible
  uint64_t count = 0;    // 0 = no limit by count
  double duration = 0;   // seconds; 0 = no limit by time
  uint16_t start_seq = 0;
  Content content = Content::sine;
  uint64_t skip_every = 0;  // 0 = fault off
  uint64_t empty_every = 0;
  uint64_t short_every = 0;
  uint64_t long_every = 0;
  bool quiet = false;
  double sine_base_hz = 0;  // 0 = chosen from the sample rate
  double noise = 200.0;     // peak counts of uniform noise on the sine
  uint64_t seed = 1;        // seed of the random content and of the send jitter
  double stall_every = 0;   // seconds between stalls; 0 = none
  double stall_ms = 0;      // how long each stall holds the datagrams back
  double jitter_us = 0;     // mean of the random extra send delay; 0 = none
  std::string send_log;     // file for one line per datagram sent; empty = none
};

enum class ParseOutcome { run, help, version, error };

struct ParseResult {
  ParseOutcome outcome = ParseOutcome::run;
  Options options;
  std::string error;  // what was wrong, when outcome is error
};

// Reads argv[1..argc-1]. Accepts "--name value" and "--name=value".
ParseResult parse_options(int argc, const char* const* argv);

// The usage text, one option a line, ending in a newline.
std::string usage_text();

}  // namespace kivo::sim
