// Windows realisation of the console output: WriteFile on the standard
// handles. A console in selection mode (QuickEdit) blocks the write until the
// selection ends; give_up() cancels such a write with CancelSynchronousIo.
#include <windows.h>

#include <atomic>
#include <mutex>
#include <string>

#include "console_output.h"

namespace kivo::recorder {

struct ConsoleOutput::Impl {
  std::atomic<bool> giving_up{false};  // any thread
  std::mutex mutex;
  HANDLE writer = nullptr;  // the printer thread; guarded by mutex
};

ConsoleOutput::ConsoleOutput() : impl_(std::make_unique<Impl>()) {}

ConsoleOutput::~ConsoleOutput() {
  if (impl_->writer != nullptr) CloseHandle(impl_->writer);
}

void ConsoleOutput::attach_writer_thread() {
  HANDLE self = nullptr;
  if (!DuplicateHandle(GetCurrentProcess(), GetCurrentThread(), GetCurrentProcess(), &self, 0, FALSE,
                       DUPLICATE_SAME_ACCESS)) {
    return;
  }
  std::lock_guard<std::mutex> lock(impl_->mutex);
  impl_->writer = self;
}

bool ConsoleOutput::write(ConsoleStream stream, const std::string& text) {
  const HANDLE handle = GetStdHandle(stream == ConsoleStream::out ? STD_OUTPUT_HANDLE : STD_ERROR_HANDLE);
  if (handle == nullptr || handle == INVALID_HANDLE_VALUE) return false;
  // Lines end in CR LF, as the C library's text mode writes them.
  std::string lines;
  for (const char c : text) {
    if (c == '\n') lines += '\r';
    lines += c;
  }
  size_t done = 0;
  while (done < lines.size()) {
    if (impl_->giving_up.load()) return false;
    DWORD n = 0;
    const auto chunk = static_cast<DWORD>(lines.size() - done);
    if (!WriteFile(handle, lines.data() + done, chunk, &n, nullptr) || n == 0) return false;
    done += n;
  }
  return true;
}

void ConsoleOutput::give_up() {
  impl_->giving_up.store(true);
  std::lock_guard<std::mutex> lock(impl_->mutex);
  if (impl_->writer != nullptr) CancelSynchronousIo(impl_->writer);
}

}  // namespace kivo::recorder
