// Scratch folders and file contents for the C++ tests of every platform.
#pragma once

#include <atomic>
#include <chrono>
#include <cstdint>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <string>
#include <system_error>
#include <vector>

namespace kivo_test {

namespace fs = std::filesystem;

// A fresh, empty folder under the system's temporary folder, removed with the
// object. The name carries a clock reading and a serial number, so that test
// programs run side by side never share one.
class TempDir {
 public:
  explicit TempDir(const std::string& name)
      : path_(fs::temp_directory_path() / ("kivo_" + name + "_" + unique())) {
    fs::remove_all(path_);
    fs::create_directories(path_);
  }
  ~TempDir() {
    std::error_code ignored;
    fs::remove_all(path_, ignored);
  }
  TempDir(const TempDir&) = delete;
  TempDir& operator=(const TempDir&) = delete;

  const fs::path& path() const { return path_; }
  std::string str() const { return path_.string(); }

  // The files in the folder whose names end with `suffix`.
  std::vector<fs::path> files(const std::string& suffix) const {
    std::vector<fs::path> found;
    for (const auto& entry : fs::directory_iterator(path_)) {
      const std::string name = entry.path().filename().string();
      if (name.size() >= suffix.size() &&
          name.compare(name.size() - suffix.size(), suffix.size(), suffix) == 0) {
        found.push_back(entry.path());
      }
    }
    return found;
  }

 private:
  static std::string unique() {
    static std::atomic<unsigned> serial{0};
    const auto tick = std::chrono::steady_clock::now().time_since_epoch().count();
    return std::to_string(tick) + "_" + std::to_string(++serial);
  }

  fs::path path_;
};

// The whole of a file, or nothing when it cannot be read.
inline std::vector<uint8_t> file_contents(const fs::path& path) {
  std::ifstream in(path, std::ios::binary);
  return {std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>()};
}

// The whole of a text file, or nothing when it cannot be read.
inline std::string file_text(const fs::path& path) {
  std::ifstream in(path, std::ios::binary);
  return {std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>()};
}

}  // namespace kivo_test
