#include "options.h"

#include <cerrno>
#include <cmath>
#include <cstdlib>
#include <functional>
#include <vector>

#include "kivo/geometry.h"
#include "kivo/udp_socket.h"

namespace kivo::sim {
namespace {

constexpr uint64_t kMaxCount = 1'000'000'000'000ULL;
constexpr double kMinRate = 0.001;
constexpr double kMaxRate = 10'000'000.0;
constexpr double kMaxDuration = 1e7;  // about 115 days

// Digits only: strtoull would take a sign or blanks and wrap "-1".
bool read_unsigned(const std::string& text, uint64_t low, uint64_t high, uint64_t& out) {
  if (text.empty() || text.size() > 19) return false;
  for (char c : text) {
    if (c < '0' || c > '9') return false;
  }
  out = std::strtoull(text.c_str(), nullptr, 10);
  return out >= low && out <= high;
}

bool read_real(const std::string& text, double low, double high, double& out) {
  if (text.empty() || text[0] == ' ' || text[0] == '\t') return false;
  char* end = nullptr;
  errno = 0;
  out = std::strtod(text.c_str(), &end);
  return errno == 0 && *end == '\0' && std::isfinite(out) && out >= low && out <= high;
}

using Setter = std::function<bool(const std::string&, Options&)>;

struct OptionSpec {
  const char* name;
  bool takes_value;
  Setter set;
  const char* expected;  // what a bad value should have been
};

Setter unsigned_into(uint64_t Options::*field, uint64_t low, uint64_t high) {
  return [=](const std::string& text, Options& o) { return read_unsigned(text, low, high, o.*field); };
}

Setter real_into(double Options::*field, double low, double high) {
  return [=](const std::string& text, Options& o) { return read_real(text, low, high, o.*field); };
}

bool set_host(const std::string& text, Options& o) {
  kivo::net::Endpoint unused;
  o.host = text;
  return kivo::net::parse_ipv4(text, o.port, unused);
}

bool set_port(const std::string& text, Options& o) {
  uint64_t v = 0;
  if (!read_unsigned(text, 1, 65535, v)) return false;
  o.port = static_cast<uint16_t>(v);
  return true;
}

bool set_channels(const std::string& text, Options& o) {
  uint64_t v = 0;
  if (!read_unsigned(text, kivo::kMinChannels, kivo::kMaxChannels, v)) return false;
  o.channels = static_cast<uint32_t>(v);
  return true;
}

// 0 means as fast as possible; slower than one datagram in 1000 s is refused
// so that the schedule stays within the clock's range.
bool set_rate(const std::string& text, Options& o) {
  return read_real(text, 0.0, kMaxRate, o.rate) && (o.rate == 0 || o.rate >= kMinRate);
}

bool set_start_seq(const std::string& text, Options& o) {
  uint64_t v = 0;
  if (!read_unsigned(text, 0, 65535, v)) return false;
  o.start_seq = static_cast<uint16_t>(v);
  return true;
}

bool set_content(const std::string& text, Options& o) {
  if (text == "sine") {
    o.content = Content::sine;
  } else if (text == "pattern") {
    o.content = Content::pattern;
  } else if (text == "random") {
    o.content = Content::random;
  } else {
    return false;
  }
  return true;
}

bool set_send_log(const std::string& text, Options& o) {
  o.send_log = text;
  return !text.empty();
}

const std::vector<OptionSpec>& option_table() {
  static const std::vector<OptionSpec> table{
      {"--host", true, set_host, "an IPv4 address or localhost"},
      {"--port", true, set_port, "a port 1..65535"},
      {"--channels", true, set_channels, "a channel count 1..16"},
      {"--rate", true, set_rate, "0 or datagrams per second 0.001..10000000"},
      {"--count", true, unsigned_into(&Options::count, 1, kMaxCount), "a count of at least 1"},
      {"--duration", true, real_into(&Options::duration, 1e-6, kMaxDuration), "seconds above 0"},
      {"--start-seq", true, set_start_seq, "a sequence number 0..65535"},
      {"--content", true, set_content, "sine, pattern or random"},
      {"--skip-every", true, unsigned_into(&Options::skip_every, 1, kMaxCount), "a count of at least 1"},
      {"--empty-every", true, unsigned_into(&Options::empty_every, 1, kMaxCount), "a count of at least 1"},
      {"--short-every", true, unsigned_into(&Options::short_every, 1, kMaxCount), "a count of at least 1"},
      {"--long-every", true, unsigned_into(&Options::long_every, 1, kMaxCount), "a count of at least 1"},
      {"--sine-base-hz", true, real_into(&Options::sine_base_hz, 1e-6, 1e9), "a frequency above 0"},
      {"--noise", true, real_into(&Options::noise, 0.0, 65535.0), "peak counts 0..65535"},
      {"--seed", true, unsigned_into(&Options::seed, 0, UINT64_MAX / 2), "a non-negative integer"},
      {"--stall-every", true, real_into(&Options::stall_every, 1e-3, kMaxDuration),
       "seconds, at least 0.001"},
      {"--stall-ms", true, real_into(&Options::stall_ms, 1e-3, kMaxDuration), "milliseconds, at least 0.001"},
      {"--jitter-us", true, real_into(&Options::jitter_us, 0.0, 1e7), "microseconds 0..10000000"},
      {"--send-log", true, set_send_log, "a file name"},
      {"--quiet", false, [](const std::string&, Options& o) { return o.quiet = true; }, ""},
  };
  return table;
}

// What single options cannot check: the ones that only make sense together.
std::string combination_error(const Options& o) {
  if ((o.stall_every > 0) != (o.stall_ms > 0)) return "--stall-every and --stall-ms go together";
  if (o.stall_every > 0 && o.stall_ms / 1000 >= o.stall_every)
    return "a stall must be shorter than --stall-every";
  if ((o.stall_every > 0 || o.jitter_us > 0) && o.rate == 0) return "stalls and jitter need a --rate above 0";
  return {};
}

const OptionSpec* find_option(const std::string& name) {
  for (const OptionSpec& spec : option_table()) {
    if (name == spec.name) return &spec;
  }
  return nullptr;
}

}  // namespace

ParseResult parse_options(int argc, const char* const* argv) {
  ParseResult result;
  auto fail = [&result](std::string message) {
    result.outcome = ParseOutcome::error;
    result.error = std::move(message);
    return result;
  };
  for (int i = 1; i < argc; ++i) {
    std::string word = argv[i];
    if (word == "--help" || word == "-h") {
      result.outcome = ParseOutcome::help;
      return result;
    }
    if (word == "--version") {
      result.outcome = ParseOutcome::version;
      return result;
    }
    std::string value;
    bool inline_value = false;
    const size_t equals = word.find('=');
    if (word.rfind("--", 0) == 0 && equals != std::string::npos) {
      value = word.substr(equals + 1);
      word.resize(equals);
      inline_value = true;
    }
    const OptionSpec* spec = find_option(word);
    if (spec == nullptr && word.rfind('-', 0) != 0) return fail("unexpected argument '" + word + "'");
    if (spec == nullptr) return fail("unknown option '" + word + "'");
    if (spec->takes_value && !inline_value) {
      if (i + 1 >= argc) return fail(word + " needs a value");
      value = argv[++i];
    } else if (!spec->takes_value && inline_value) {
      return fail(word + " takes no value");
    }
    if (!spec->set(value, result.options)) {
      return fail("bad value '" + value + "' for " + word + ": expected " + spec->expected);
    }
  }
  if (std::string error = combination_error(result.options); !error.empty()) return fail(std::move(error));
  return result;
}

std::string usage_text() {
  return "usage: kivosim [--host ADDR] [--port N] [--channels N] [--rate R] [--count N] [--duration S]\n"
         "               [--start-seq N] [--content sine|pattern|random]\n"
         "               [--skip-every N] [--empty-every N] [--short-every N] [--long-every N] [--quiet]\n"
         "               [--sine-base-hz F] [--noise A] [--seed N]\n"
         "               [--stall-every S --stall-ms MS] [--jitter-us J] [--send-log FILE]\n"
         "Sends the datagrams of a simulated Kivo device over UDP.\n"
         "  --host ADDR     IPv4 address or localhost (default 127.0.0.1)\n"
         "  --port N        1..65535 (default 55000)\n"
         "  --channels N    1..16 (default 8)\n"
         "  --rate R        datagrams per second, paced evenly (default 1000); 0 = as fast as possible\n"
         "  --count N       stop after N datagrams (sent ones; faults count as sent)\n"
         "  --duration S    stop after S seconds (fractions allowed); without --count/--duration:\n"
         "                  until Ctrl-C/SIGTERM\n"
         "  --start-seq N   first sequence number 0..65535 (default 0); +1 a datagram, 65535 wraps to 0\n"
         "  --content K     sine (default), pattern (verifiable), random (random sample bytes)\n"
         "  --skip-every N  after every N-th datagram skip one sequence number (simulated loss:\n"
         "                  that number is never sent)\n"
         "  --empty-every N every N-th datagram is sent empty (0 bytes)\n"
         "  --short-every N every N-th datagram is sent cut to half its size\n"
         "  --long-every N  every N-th datagram is sent 64 bytes longer than its size (extra bytes 0xEE)\n"
         "                  (one datagram gets one fault: empty before short before long)\n"
         "  --quiet         no progress line; the final summary still goes to stdout\n"
         "  --sine-base-hz F  channel c oscillates at F x (c+1) Hz (default 43, lowered for slow rates)\n"
         "  --noise A       peak counts of uniform noise on the sine (default 200)\n"
         "  --seed N        seed of the random content and the jitter (default 1)\n"
         "  --stall-every S every S seconds hold the datagrams due for --stall-ms MS, then send that\n"
         "                  backlog at once (a stalled network or receiver; the schedule is kept)\n"
         "  --jitter-us J   delay each datagram by a random time, J microseconds on average\n"
         "                  (exponentially distributed; the order is kept)\n"
         "  --send-log FILE one line per datagram sent: sequence number, its due time and when it left,\n"
         "                  in seconds since 1970 (the receivers' stamp clock), to the nanosecond\n"
         "  --help          this text; --version: the version\n"
         "The sine's sample rate is rate x samples per channel (1000 x when as fast as possible).\n"
         "At the end it prints: kivosim: sent <N> datagrams (<bytes> bytes) in <secs> s: <rate>\n"
         "datagrams/s; skipped <k> sequence numbers\n"
         "Exit status: 0 everything was sent; 1 the socket or the send log failed, or a send failed;\n"
         "2 bad command line.\n";
}

}  // namespace kivo::sim
