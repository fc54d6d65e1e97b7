// What the MEX host needs of its platform: loading a plug-in as MATLAB does,
// the host program's own folder, and running another program to its end.
#pragma once

#include <filesystem>
#include <string>
#include <vector>

namespace velto_host {

// The folder of the running host program, where the build puts the plug-in
// and the simulator beside it.
std::filesystem::path program_folder();

// A loaded plug-in. Loading resolves every symbol it imports at once, so a
// name that the stand-in libraries do not export fails the load, as in MATLAB.
class Module {
 public:
  Module() = default;
  ~Module() { unload(); }
  Module(const Module&) = delete;
  Module& operator=(const Module&) = delete;

  // Empty on success, else the system's reason.
  std::string load(const std::filesystem::path& path);
  void* symbol(const char* name) const;
  void unload();
  bool loaded() const { return handle_ != nullptr; }

 private:
  void* handle_ = nullptr;
};

// Runs `program` with `arguments` and waits for it (two minutes at most);
// returns its exit status, or -1 when it did not start or did not end.
int run_program(const std::filesystem::path& program, const std::vector<std::string>& arguments);

}  // namespace velto_host
