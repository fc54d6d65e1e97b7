// Linux realisation of the socket's facilities: SOCK_CLOEXEC, SO_RCVBUFFORCE,
// MSG_TRUNC's full length, the kernel's drop counters (SO_RXQ_OVFL with each
// datagram, SO_MEMINFO at the end), SO_TIMESTAMPNS's stamps, MSG_DONTWAIT and
// shutdown() as the wake-up.
#include <linux/sock_diag.h>

#include <cstring>

#include "socket_facilities.h"

namespace kivo::net::facilities {

int open_datagram_socket() { return ::socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0); }

void ask_receive_buffer(int fd, int bytes) {
  // SO_RCVBUFFORCE passes the system's limit when the process may; otherwise
  // SO_RCVBUF grants up to net.core.rmem_max.
  if (::setsockopt(fd, SOL_SOCKET, SO_RCVBUFFORCE, &bytes, sizeof bytes) != 0) {
    ::setsockopt(fd, SOL_SOCKET, SO_RCVBUF, &bytes, sizeof bytes);
  }
}

int receive_flags() { return MSG_TRUNC; }

bool enable_drop_count(int fd) {
  const int one = 1;
  return ::setsockopt(fd, SOL_SOCKET, SO_RXQ_OVFL, &one, sizeof one) == 0;
}

bool enable_kernel_stamps(int fd) {
  const int one = 1;
  return ::setsockopt(fd, SOL_SOCKET, SO_TIMESTAMPNS, &one, sizeof one) == 0;
}

void take_control_data(msghdr& message, Received& result) {
  for (cmsghdr* c = CMSG_FIRSTHDR(&message); c != nullptr; c = CMSG_NXTHDR(&message, c)) {
    if (c->cmsg_level != SOL_SOCKET) continue;
    if (c->cmsg_type == SO_RXQ_OVFL) {
      std::memcpy(&result.kernel_drops, CMSG_DATA(c), sizeof result.kernel_drops);
      result.drop_count_valid = true;
    } else if (c->cmsg_type == SCM_TIMESTAMPNS) {
      timespec arrived{};
      std::memcpy(&arrived, CMSG_DATA(c), sizeof arrived);
      result.stamp = static_cast<double>(arrived.tv_sec) + static_cast<double>(arrived.tv_nsec) / 1e9;
      result.kernel_stamp = true;
    }
  }
}

bool read_drop_total(int fd, uint64_t& drops) {
  uint32_t memory[SK_MEMINFO_VARS] = {};
  socklen_t length = sizeof memory;
  if (::getsockopt(fd, SOL_SOCKET, SO_MEMINFO, memory, &length) != 0) return false;
  if (length < (SK_MEMINFO_DROPS + 1) * sizeof(uint32_t)) return false;
  drops = memory[SK_MEMINFO_DROPS];
  return true;
}

// A shut-down socket still gives what is queued, then reports EAGAIN (or 0).
ssize_t receive_queued(int fd, msghdr& message) { return ::recvmsg(fd, &message, MSG_DONTWAIT | MSG_TRUNC); }

int open_wake_up(int wake[2]) {
  wake[0] = wake[1] = -1;  // shutdown() needs none
  return 0;
}

void close_wake_up(int[2]) {}

int wait_for_datagram(int, const int[2]) { return 1; }  // the receive itself blocks

void wake_up(int fd, const int[2]) {
  // On an unbound or unconnected datagram socket shutdown() reports ENOTCONN,
  // yet it marks the socket shut and wakes a blocked receive, which then
  // returns 0; later receives return at once.
  ::shutdown(fd, SHUT_RDWR);
}

}  // namespace kivo::net::facilities
