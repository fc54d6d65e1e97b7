// The MEX host's platform services on Linux: dlopen and fork/exec.
#include <dlfcn.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <thread>

#include "host_platform.h"

namespace velto_host {

std::filesystem::path program_folder() { return std::filesystem::read_symlink("/proc/self/exe").parent_path(); }

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
  std::vector<std::string> words{program.string()};
  words.insert(words.end(), arguments.begin(), arguments.end());
  std::vector<char*> argv;
  for (std::string& word : words) argv.push_back(&word[0]);
  argv.push_back(nullptr);
  const pid_t child = fork();
  if (child < 0) return -1;
  if (child == 0) {
    execv(argv[0], argv.data());
    _exit(127);
  }
  int status = 0;
  const auto deadline = std::chrono::steady_clock::now() + std::chrono::minutes(2);
  while (waitpid(child, &status, WNOHANG) == 0) {
    if (std::chrono::steady_clock::now() > deadline) {
      kill(child, SIGKILL);
      waitpid(child, &status, 0);
      return -1;
    }
    std::this_thread::sleep_for(std::chrono::milliseconds(10));
  }
  return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
}

}  // namespace velto_host
