// The test host's side of a velto call: the plug-in loaded as MATLAB loads
// it, its mexFunction called with arrays made by the stand-in libmx, and what
// the call gave back, shared by the host's test files.
#pragma once

#include <gtest/gtest.h>

#include <chrono>
#include <cstdlib>
#include <filesystem>
#include <memory>
#include <string>
#include <vector>

#include "free_port.h"
#include "host_platform.h"
#include "scratch_folder.h"
#include "standin_api.h"
#include "wait_until.h"

namespace velto_host_test {

namespace fs = std::filesystem;
using velto_host::program_folder;

struct ArrayDeleter {
  void operator()(mxArray* array) const { mxDestroyArray(array); }
};
using Array = std::unique_ptr<mxArray, ArrayDeleter>;

inline Array text(const char* value) { return Array(mxCreateString(value)); }
inline Array number(double value) { return Array(mxCreateDoubleScalar(value)); }
inline Array row(const std::vector<double>& values) {
  Array array(mxCreateDoubleMatrix(1, values.size(), mxREAL));
  std::copy(values.begin(), values.end(), mxGetPr(array.get()));
  return array;
}

// What one call of velto(...) gave back.
struct Outcome {
  bool failed = false;
  std::string error;    // the message of mexErrMsgTxt
  std::string printed;  // everything mexPrintf printed
  Array result;         // plhs[0], or null

  double scalar() const { return *mxGetPr(result.get()); }
  const mxArray* field(const char* name) const { return mxGetField(result.get(), 0, name); }
  double number(const char* name) const { return *mxGetPr(field(name)); }
};

// The plug-in, loaded for one test.
class Velto {
 public:
  Velto() { load(); }
  ~Velto() { unload(); }

  void load() {
    // VELTO_MEX_FILE: another build of the plug-in, such as the packaged one.
    const char* chosen = std::getenv("VELTO_MEX_FILE");
    const fs::path path = chosen != nullptr ? fs::path(chosen) : program_folder() / VELTO_MEX_NAME;
    const std::string failure = module_.load(path);
    ASSERT_EQ(failure, "") << "loading " << path.string();
    function_ = reinterpret_cast<standin_mex_function>(module_.symbol("mexFunction"));
    ASSERT_NE(function_, nullptr);
  }

  // As MATLAB does on `clear velto`: the exit function first, then the unload.
  void unload() {
    if (!module_.loaded()) return;
    standin_mex_run_exit_function();
    module_.unload();
    function_ = nullptr;
  }

  // velto(args...) with nlhs outputs asked for.
  template <typename... Args>
  Outcome call(int nlhs, Args... args) {
    Array owned[] = {Array(), std::move(args)...};
    std::vector<const mxArray*> prhs;
    for (size_t i = 1; i < sizeof...(Args) + 1; ++i) prhs.push_back(owned[i].get());
    mxArray* plhs[1] = {nullptr};
    Outcome outcome;
    if (function_ == nullptr) {
      outcome.failed = true;
      outcome.error = "velto is not loaded";
      return outcome;
    }
    outcome.failed = standin_mex_call(function_, nlhs, plhs, static_cast<int>(prhs.size()), prhs.data()) != 0;
    outcome.error = standin_mex_error();
    std::vector<char> printed(standin_mex_take_output(nullptr, 0) + 1);
    standin_mex_take_output(printed.data(), printed.size());
    outcome.printed = printed.data();
    outcome.result.reset(plhs[0]);
    return outcome;
  }

 private:
  velto_host::Module module_;
  standin_mex_function function_ = nullptr;
};

using kivo_test::free_udp_port;
using kivo_test::TempDir;

inline std::vector<uint8_t> contents(const fs::path& path) { return kivo_test::file_contents(path); }

inline std::string text_of(const fs::path& path) { return kivo_test::file_text(path); }

// Runs the simulator beside the host with `arguments`; returns its exit status.
inline int run_kivosim(const std::vector<std::string>& arguments) {
  return velto_host::run_program(program_folder() / KIVOSIM_NAME, arguments);
}

inline std::vector<std::string> pattern_run(uint16_t port, int channels, int count) {
  return {"--quiet",
          "--port",
          std::to_string(port),
          "--channels",
          std::to_string(channels),
          "--content",
          "pattern",
          "--rate",
          "2000",
          "--count",
          std::to_string(count)};
}

// Polls velto('status') until `done` holds for it, or a generous limit passes.
template <typename Done>
inline bool wait_for_status(Velto& velto, Done done) {
  return kivo_test::wait_until(
      [&] {
        const Outcome status = velto.call(1, text("status"));
        return !status.failed && done(status);
      },
      std::chrono::seconds(30), std::chrono::milliseconds(10));
}

}  // namespace velto_host_test
