// The MEX host's platform services on Linux: dlopen, and the tests' child processes.
#include <dlfcn.h>

#include "child_process.h"
#include "host_platform.h"

namespace velto_host {

std::filesystem::path program_folder() {
  return std::filesystem::read_symlink("/proc/self/exe").parent_path();
}

std::string Module::load(const std::filesystem::path& path) {
  unload();
  // RTLD_NOW: every import is resolved here, against the stand-in libraries
  // the host is linked with, as MATLAB's loader does.
  handle_ = dlopen(path.c_str(), RTLD_NOW | RTLD_LOCAL);
  if (handle_ != nullptr) return "";
  const char* reason = dlerror();
  return reason != nullptr ? reason : "dlopen failed";
}

void* Module::symbol(const char* name) const { return dlsym(handle_, name); }

void Module::unload() {
  if (handle_ != nullptr) dlclose(handle_);
  handle_ = nullptr;
}

int run_program(const std::filesystem::path& program, const std::vector<std::string>& arguments) {
  std::vector<std::string> argv{program.string()};
  argv.insert(argv.end(), arguments.begin(), arguments.end());
  kivo_test::ChildProcess child(argv);
  return child.wait(std::chrono::minutes(2)).value_or(-1);
}

}  // namespace velto_host
