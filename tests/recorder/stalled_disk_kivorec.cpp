// kivorec on a disk that stalls, for the tests: a ring of two blocks, and the
// first block write held until a file named "release" appears in the working
// directory. Every block completed meanwhile finds no room and is not saved.
#include <chrono>
#include <filesystem>
#include <thread>

#include "recorder.h"

int main(int argc, char** argv) {
  kivo::recorder::Settings settings;
  settings.ring_bytes = 0;  // the smallest ring: two blocks
  bool released = false;
  settings.before_write = [&released] {
    while (!released) {
      released = std::filesystem::exists("release");
      if (!released) std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
  };
  return kivo::recorder::run(argc, argv, settings);
}
