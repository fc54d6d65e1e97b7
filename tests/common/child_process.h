// A program run as a child process, with its standard output and error
// captured in files. Only the POSIX builds of the tests have it.
#pragma once

#include <chrono>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "scratch_folder.h"

namespace kivo_test {

class ChildProcess {
 public:
  // argv[0] is the program's path and the invocation name it sees. The child
  // runs in `workdir` (empty: the test's own) and writes its output to
  // `output_prefix`.stdout and .stderr (empty: a scratch folder of its own).
  explicit ChildProcess(const std::vector<std::string>& argv, const std::string& workdir = {},
                        const std::string& output_prefix = {});
  ~ChildProcess();  // kills the child if it still runs
  ChildProcess(const ChildProcess&) = delete;
  ChildProcess& operator=(const ChildProcess&) = delete;

  void send_signal(int signal_number);
  // The exit status (0-255), once the child has ended within `limit`; nothing
  // when it is still running, or was ended by a signal.
  std::optional<int> wait(std::chrono::seconds limit);
  bool running() { return !reap(false); }
  bool ended() const { return ended_; }

  std::string out() const;
  std::string err() const;
  // Waits (up to `limit`) until standard output holds `text`; false when the
  // child ends or the limit passes first.
  bool wait_for_output(const std::string& text, std::chrono::seconds limit);

 private:
  bool reap(bool block);

  std::unique_ptr<TempDir> own_output_;  // when no output_prefix was given
  int pid_ = -1;
  std::string out_path_;
  std::string err_path_;
  bool ended_ = false;
  std::optional<int> status_;
};

}  // namespace kivo_test
