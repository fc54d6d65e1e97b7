// POSIX realisation of the console output: write(2) on descriptors 1 and 2,
// only once poll(2) says the descriptor takes data, so that give_up() is
// noticed within one poll period even while nobody reads.
#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>

#include "console_output.h"

namespace kivo::recorder {
namespace {

constexpr int kPollPeriodMs = 50;

}  // namespace

struct ConsoleOutput::Impl {
  std::atomic<bool> giving_up{false};  // any thread
};

ConsoleOutput::ConsoleOutput() : impl_(std::make_unique<Impl>()) {
  ::signal(SIGPIPE, SIG_IGN);
  // A standard descriptor started closed (`kivorec 8 >&-`) would be reused
  // by the sample file or the socket, and the console's lines would land in
  // them: it is held by /dev/null instead.
  for (int fd = STDIN_FILENO; fd <= STDERR_FILENO; ++fd) {
    if (::fcntl(fd, F_GETFD) == -1 && ::open("/dev/null", O_RDWR) != fd) break;
  }
}

ConsoleOutput::~ConsoleOutput() = default;

void ConsoleOutput::attach_writer_thread() {}

bool ConsoleOutput::write(ConsoleStream stream, const std::string& text) {
  const int fd = stream == ConsoleStream::out ? STDOUT_FILENO : STDERR_FILENO;
  size_t done = 0;
  while (done < text.size()) {
    if (impl_->giving_up.load()) return false;
    pollfd wanted{fd, POLLOUT, 0};
    const int ready = ::poll(&wanted, 1, kPollPeriodMs);
    if (ready < 0 && errno != EINTR) return false;
    if (ready <= 0) continue;
    if ((wanted.revents & POLLNVAL) != 0) return false;
    const ssize_t n = ::write(fd, text.data() + done, text.size() - done);
    if (n > 0) {
      done += static_cast<size_t>(n);
    } else if (n == 0 || (errno != EINTR && errno != EAGAIN && errno != EWOULDBLOCK)) {
      return false;
    }
  }
  return true;
}

void ConsoleOutput::give_up() { impl_->giving_up.store(true); }

}  // namespace kivo::recorder
