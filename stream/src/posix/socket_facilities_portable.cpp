// Portable POSIX realisation of the socket's facilities (macOS): close-on-exec
// by fcntl, SO_RCVBUF alone, a cut datagram's full length unknown (macOS's
// recvmsg gives none), no drop counter (kernel_drops stays 0), SO_TIMESTAMP's
// stamps (to the microsecond), and a
// wake-up by poll() on the socket and a self-pipe, since shutdown() of an
// unconnected datagram socket wakes nothing there; the socket itself stays
// as it was, so what is queued at the end is found by poll() too.
#include <fcntl.h>
#include <poll.h>
#include <unistd.h>
#include <sys/time.h>

#include <cerrno>
#include <cstring>

#include "socket_facilities.h"

namespace kivo::net::facilities {
namespace {

bool set_close_on_exec(int fd) { return ::fcntl(fd, F_SETFD, FD_CLOEXEC) == 0; }

}  // namespace

int open_datagram_socket() {
  const int fd = ::socket(AF_INET, SOCK_DGRAM, 0);
  if (fd < 0 || set_close_on_exec(fd)) return fd;
  const int error = errno;
  ::close(fd);
  errno = error;
  return -1;
}

void ask_receive_buffer(int fd, int bytes) { ::setsockopt(fd, SOL_SOCKET, SO_RCVBUF, &bytes, sizeof bytes); }

int receive_flags() { return 0; }

bool enable_drop_count(int) { return false; }

bool enable_kernel_stamps(int fd) {
  const int one = 1;
  return ::setsockopt(fd, SOL_SOCKET, SO_TIMESTAMP, &one, sizeof one) == 0;
}

void take_control_data(msghdr& message, Received& result) {
  for (cmsghdr* c = CMSG_FIRSTHDR(&message); c != nullptr; c = CMSG_NXTHDR(&message, c)) {
    if (c->cmsg_level == SOL_SOCKET && c->cmsg_type == SCM_TIMESTAMP) {
      timeval arrived{};
      std::memcpy(&arrived, CMSG_DATA(c), sizeof arrived);
      result.stamp = static_cast<double>(arrived.tv_sec) + static_cast<double>(arrived.tv_usec) / 1e6;
      result.kernel_stamp = true;
    }
  }
}

bool read_drop_total(int, uint64_t&) { return false; }  // macOS keeps no such count

ssize_t receive_queued(int fd, msghdr& message) {
  pollfd watched{fd, POLLIN, 0};
  const int ready = ::poll(&watched, 1, 0);
  if (ready <= 0) {
    if (ready == 0) errno = EAGAIN;
    return -1;
  }
  return ::recvmsg(fd, &message, 0);
}

int open_wake_up(int wake[2]) {
  wake[0] = wake[1] = -1;
  int ends[2];
  if (::pipe(ends) != 0) return errno;
  // The write end never blocks: a full pipe already wakes the receiver.
  if (!set_close_on_exec(ends[0]) || !set_close_on_exec(ends[1]) ||
      ::fcntl(ends[1], F_SETFL, O_NONBLOCK) != 0) {
    const int error = errno;
    ::close(ends[0]);
    ::close(ends[1]);
    return error;
  }
  wake[0] = ends[0];
  wake[1] = ends[1];
  return 0;
}

void close_wake_up(int wake[2]) {
  for (int i = 0; i < 2; ++i) {
    if (wake[i] >= 0) ::close(wake[i]);
    wake[i] = -1;
  }
}

int wait_for_datagram(int fd, const int wake[2]) {
  // The pipe is never read: once written, it wakes every later wait too.
  pollfd watched[2] = {{fd, POLLIN, 0}, {wake[0], POLLIN, 0}};
  if (::poll(watched, 2, -1) < 0) return -1;
  if (watched[1].revents != 0) return 0;
  return 1;
}

void wake_up(int, const int wake[2]) {
  const char byte = 1;
  if (wake[1] >= 0) (void)!::write(wake[1], &byte, 1);
}

}  // namespace kivo::net::facilities
