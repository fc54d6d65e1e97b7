// What the process-level tests of kivorec share: a scratch directory per
// test, the recorder and the simulator as child processes, and checks of the
// sample file against the stream the simulator sent.
#pragma once

#include <chrono>
#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "child_process.h"
#include "kivo/geometry.h"
#include "scratch_folder.h"

namespace kivorec_test {

using kivo_test::ChildProcess;

inline constexpr uint16_t kRecorderPort = 55000;
inline constexpr std::chrono::seconds kGenerous{60};

// A fresh directory for one test: `work` is the recorder's working directory
// and holds nothing else; outputs of the child processes go beside it.
class Scratch {
 public:
  Scratch();

  const std::string& work() const { return work_; }
  std::string output_prefix(const std::string& name) const { return root_.str() + "/" + name; }
  std::vector<std::string> work_files() const;  // names, sorted

 private:
  kivo_test::TempDir root_{"kivorec"};
  std::string work_;
};

// kivorec with the given arguments, started in scratch.work().
std::unique_ptr<ChildProcess> start_recorder(const Scratch& scratch, const std::vector<std::string>& args);
// Waits until no socket is bound to the UDP port: another program on the
// machine may be using the recorder's fixed port. False when it stays busy.
bool wait_until_port_free(uint16_t port);
// Waits until some socket is bound to the UDP port, so that nothing sent
// before the recorder listens goes astray; false when `recorder` ends first.
// Call wait_until_port_free() before starting the recorder.
bool wait_until_listening(ChildProcess& recorder, uint16_t port);
// Runs kivosim to its end, sending the verifiable pattern to the recorder.
// Returns its exit status (nothing when it did not end).
std::optional<int> run_kivosim(const Scratch& scratch, const std::vector<std::string>& args);
std::unique_ptr<ChildProcess> start_kivosim(const Scratch& scratch, const std::vector<std::string>& args);

inline std::vector<uint8_t> read_bytes(const std::string& path) { return kivo_test::file_contents(path); }
// The numbers of the "seq # = N" lines, in order.
std::vector<long> progress_numbers(const std::string& out);

// Checks that `file` holds the simulator's datagrams 0, 1, 2, ... in order,
// one a slot, with their headers and samples intact; every `empty_every`-th
// one (when not 0) was sent empty and left its slot all zero. Returns an
// empty string, or what is wrong at the first bad slot.
std::string check_stream(const std::vector<uint8_t>& file, const kivo::Geometry& geometry,
                         uint64_t empty_every = 0);

}  // namespace kivorec_test
