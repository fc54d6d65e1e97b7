#include "send_log.h"

#include <cerrno>
#include <cinttypes>

namespace kivo::sim {
namespace {

constexpr int64_t kNanosecondsPerSecond = 1'000'000'000;
constexpr size_t kBufferBytes = 1 << 20;  // a second of lines at 25,000 datagrams/s
constexpr size_t kLineBytes = 64;

// Writes the line into `out`; returns its length.
int format_line(char (&out)[kLineBytes], uint16_t sequence, int64_t due_ns, int64_t sent_ns) {
  return std::snprintf(out, sizeof out, "%u %" PRId64 ".%09" PRId64 " %" PRId64 ".%09" PRId64 "\n",
                       static_cast<unsigned>(sequence), due_ns / kNanosecondsPerSecond,
                       due_ns % kNanosecondsPerSecond, sent_ns / kNanosecondsPerSecond,
                       sent_ns % kNanosecondsPerSecond);
}

}  // namespace

std::string send_log_line(uint16_t sequence, int64_t due_ns, int64_t sent_ns) {
  char line[kLineBytes];
  format_line(line, sequence, due_ns, sent_ns);
  return line;
}

SendLog::~SendLog() { close(); }

int SendLog::open(const std::string& path) {
  close();
  file_ = std::fopen(path.c_str(), "wb");
  if (file_ == nullptr) return errno != 0 ? errno : EIO;
  std::setvbuf(file_, nullptr, _IOFBF, kBufferBytes);
  error_ = 0;
  return 0;
}

void SendLog::record(uint16_t sequence, int64_t due_ns, int64_t sent_ns) {
  if (file_ == nullptr || error_ != 0) return;
  char line[kLineBytes];
  const int length = format_line(line, sequence, due_ns, sent_ns);
  if (std::fwrite(line, 1, static_cast<size_t>(length), file_) != static_cast<size_t>(length)) {
    error_ = errno != 0 ? errno : EIO;
  }
}

int SendLog::close() {
  if (file_ == nullptr) return error_;
  if (std::fclose(file_) != 0 && error_ == 0) error_ = errno != 0 ? errno : EIO;
  file_ = nullptr;
  return error_;
}

}  // namespace kivo::sim
