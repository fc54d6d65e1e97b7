// The MEX host's platform services on Windows: LoadLibrary and CreateProcess.
#include <windows.h>

#include "host_platform.h"

namespace velto_host {

std::filesystem::path program_folder() {
  char path[MAX_PATH] = {};
  GetModuleFileNameA(nullptr, path, MAX_PATH);
  return std::filesystem::path(path).parent_path();
}

std::string Module::load(const std::filesystem::path& path) {
  unload();
  handle_ = LoadLibraryA(path.string().c_str());
  return handle_ != nullptr ? "" : "LoadLibrary failed with error " + std::to_string(GetLastError());
}

void* Module::symbol(const char* name) const {
  return reinterpret_cast<void*>(GetProcAddress(static_cast<HMODULE>(handle_), name));
}

void Module::unload() {
  if (handle_ != nullptr) FreeLibrary(static_cast<HMODULE>(handle_));
  handle_ = nullptr;
}

int run_program(const std::filesystem::path& program, const std::vector<std::string>& arguments) {
  std::string command = "\"" + program.string() + "\"";
  for (const std::string& argument : arguments) command += " " + argument;
  STARTUPINFOA startup{};
  startup.cb = sizeof startup;
  PROCESS_INFORMATION process{};
  if (!CreateProcessA(program.string().c_str(), &command[0], nullptr, nullptr, FALSE, 0, nullptr, nullptr,
                      &startup, &process)) {
    return -1;
  }
  DWORD status = 0;
  int result = -1;
  if (WaitForSingleObject(process.hProcess, 120000) == WAIT_OBJECT_0 &&
      GetExitCodeProcess(process.hProcess, &status)) {
    result = static_cast<int>(status);
  } else {
    TerminateProcess(process.hProcess, 255);
  }
  CloseHandle(process.hThread);
  CloseHandle(process.hProcess);
  return result;
}

}  // namespace velto_host
