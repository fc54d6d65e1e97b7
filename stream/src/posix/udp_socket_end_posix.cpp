// POSIX realisation of what the UDP socket tells and takes at the end of an
// acquisition: the datagrams still queued, and the system's own drop count.
#include <errno.h>
#include <netinet/in.h>
#include <sys/socket.h>
#ifdef __linux__
#include <linux/sock_diag.h>
#endif

#include "kivo/udp_socket.h"

namespace kivo::net {

uint64_t UdpSocket::drain_queued(uint8_t* scratch, size_t capacity, uint64_t limit) {
  const int fd = static_cast<int>(handle_);
  uint64_t taken = 0;
  while (fd >= 0 && taken < limit) {
    sockaddr_in sender{};
    iovec buffer{scratch, capacity};
    msghdr message{};
    message.msg_name = &sender;
    message.msg_namelen = sizeof sender;
    message.msg_iov = &buffer;
    message.msg_iovlen = 1;
    const ssize_t n = ::recvmsg(fd, &message, MSG_DONTWAIT);
    if (n < 0 && errno == EINTR) continue;
    // A shut-down socket with nothing queued returns 0 without a sender,
    // where an empty datagram names its sender.
    if (n < 0 || (n == 0 && message.msg_namelen == 0)) break;
    ++taken;
  }
  return taken;
}

bool UdpSocket::read_drop_total(uint64_t& drops) const {
#if defined(__linux__) && defined(SO_MEMINFO)
  uint32_t memory[SK_MEMINFO_VARS] = {};
  socklen_t length = sizeof memory;
  if (::getsockopt(static_cast<int>(handle_), SOL_SOCKET, SO_MEMINFO, memory, &length) != 0) return false;
  if (length < (SK_MEMINFO_DROPS + 1) * sizeof(uint32_t)) return false;
  drops = memory[SK_MEMINFO_DROPS];
  return true;
#else
  (void)drops;
  return false;
#endif
}

int receive_buffer_as_requested(int reported) {
#ifdef __linux__
  return reported / 2;
#else
  return reported;
#endif
}

}  // namespace kivo::net
