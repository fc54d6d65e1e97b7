// The send log (--send-log FILE): one line per datagram sent,
//   <sequence number> <due time> <sent time>
// both times in seconds since 1970 with nine decimals, on the clock that
// receivers stamp with. The due time is the datagram's slot in the schedule:
// when the simulated device sends it, and so its samples' true time. The
// sent time is when it was handed to the socket, after any stall or jitter.
#pragma once

#include <cstdint>
#include <cstdio>
#include <string>

namespace kivo::sim {

// "<seq> <due> <sent>\n" with the times given in nanoseconds since 1970.
std::string send_log_line(uint16_t sequence, int64_t due_ns, int64_t sent_ns);

// Main thread only.
class SendLog {
 public:
  SendLog() = default;
  ~SendLog();
  SendLog(const SendLog&) = delete;
  SendLog& operator=(const SendLog&) = delete;

  // Creates (or empties) the file; 0 or the error code.
  int open(const std::string& path);
  bool active() const { return file_ != nullptr; }
  void record(uint16_t sequence, int64_t due_ns, int64_t sent_ns);
  // Writes out what is buffered and closes; 0 or the error code of the
  // first write that failed.
  int close();

 private:
  std::FILE* file_ = nullptr;
  int error_ = 0;
};

}  // namespace kivo::sim
