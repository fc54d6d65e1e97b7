// POSIX realisation of the UDP socket. What differs between Linux and other
// POSIX systems sits in socket_facilities_*.cpp.
#include <unistd.h>
#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>

#include <cerrno>
#include <system_error>
#include <utility>

#include "kivo/clock.h"
#include "kivo/udp_socket.h"
#include "socket_facilities.h"

namespace kivo::net {
namespace {

int fd_of(intptr_t handle) { return static_cast<int>(handle); }

int last_error() { return errno; }

// SO_REUSEADDR's value. Linux lets a second UDP socket bind a port whose
// holder set SO_REUSEADDR, when it sets it too, and hands the newest socket
// the datagrams: there it stays off, and a second bind fails. BSD systems
// (macOS) refuse a second socket on the same address and port with it on.
#ifdef __linux__
constexpr int kReuseAddress = 0;
#else
constexpr int kReuseAddress = 1;
#endif

// The length of what recvmsg returned (`n` >= 0) into `capacity` bytes.
void take_length(ssize_t n, const msghdr& message, size_t capacity, Received& result) {
  result.cut = (message.msg_flags & MSG_TRUNC) != 0 || static_cast<size_t>(n) > capacity;
  result.length = result.cut ? static_cast<long long>(capacity) : n;
  if (result.cut && static_cast<size_t>(n) > capacity) result.full_length = n;
}

// The kernel's drop count and stamp where the message brought them; without
// the kernel's stamp, the clock now that the receive has returned.
void take_control_data(msghdr& message, Received& result) {
  facilities::take_control_data(message, result);
  if (!result.kernel_stamp) result.stamp = unix_time_seconds();
}

}  // namespace

SocketLibrary::SocketLibrary() : started_(true) {}
SocketLibrary::~SocketLibrary() = default;

bool parse_ipv4(const std::string& text, uint16_t port, Endpoint& out) {
  in_addr address{};
  const std::string host = text == "localhost" ? "127.0.0.1" : text;
  if (inet_pton(AF_INET, host.c_str(), &address) != 1) return false;
  out.address_be = address.s_addr;
  out.port = port;
  return true;
}

UdpSocket::~UdpSocket() { close(); }

UdpSocket::UdpSocket(UdpSocket&& other) noexcept
    : handle_(std::exchange(other.handle_, -1)),
      wake_{std::exchange(other.wake_[0], -1), std::exchange(other.wake_[1], -1)} {}

UdpSocket& UdpSocket::operator=(UdpSocket&& other) noexcept {
  if (this != &other) {
    close();
    handle_ = std::exchange(other.handle_, -1);
    wake_[0] = std::exchange(other.wake_[0], -1);
    wake_[1] = std::exchange(other.wake_[1], -1);
  }
  return *this;
}

int UdpSocket::create() {
  close();
  const int fd = facilities::open_datagram_socket();
  if (fd < 0) return last_error();
  if (const int error = facilities::open_wake_up(wake_)) {
    ::close(fd);
    return error;
  }
  handle_ = fd;
  return 0;
}

int UdpSocket::set_address_option() {
  if (::setsockopt(fd_of(handle_), SOL_SOCKET, SO_REUSEADDR, &kReuseAddress, sizeof kReuseAddress) == -1) {
    return last_error();
  }
  return 0;
}

const char* address_option_name() { return "SO_REUSEADDR"; }

int UdpSocket::bind_any(uint16_t port) {
  sockaddr_in address{};
  address.sin_family = AF_INET;
  address.sin_port = htons(port);
  address.sin_addr.s_addr = htonl(INADDR_ANY);
  if (::bind(fd_of(handle_), reinterpret_cast<const sockaddr*>(&address), sizeof address) != 0) {
    return last_error();
  }
  return 0;
}

int UdpSocket::request_receive_buffer(int bytes) {
  const int fd = fd_of(handle_);
  facilities::ask_receive_buffer(fd, bytes);
  int granted = 0;
  socklen_t length = sizeof granted;
  if (::getsockopt(fd, SOL_SOCKET, SO_RCVBUF, &granted, &length) != 0) return 0;
  return granted;
}

bool UdpSocket::enable_drop_count() { return facilities::enable_drop_count(fd_of(handle_)); }

bool UdpSocket::enable_kernel_stamps() { return facilities::enable_kernel_stamps(fd_of(handle_)); }

uint16_t UdpSocket::local_port() const {
  sockaddr_in address{};
  socklen_t length = sizeof address;
  if (::getsockname(fd_of(handle_), reinterpret_cast<sockaddr*>(&address), &length) != 0) return 0;
  return ntohs(address.sin_port);
}

Received UdpSocket::receive(uint8_t* into, size_t capacity) {
  Received result;
  const int ready = facilities::wait_for_datagram(fd_of(handle_), wake_);
  if (ready <= 0) {  // woken: as from a socket shut down
    result.length = ready < 0 ? -1 : 0;
    result.error = ready < 0 ? errno : 0;
    result.interrupted = ready < 0 && errno == EINTR;
    result.shut_down = ready == 0;
    return result;
  }
  sockaddr_in sender{};
  iovec buffer{into, capacity};
  alignas(cmsghdr) char control[facilities::kControlBytes];
  msghdr message{};
  message.msg_name = &sender;
  message.msg_namelen = sizeof sender;
  message.msg_iov = &buffer;
  message.msg_iovlen = 1;
  message.msg_control = control;
  message.msg_controllen = sizeof control;
  const ssize_t n = ::recvmsg(fd_of(handle_), &message, facilities::receive_flags());
  if (n < 0) {
    result.error = errno;
    result.interrupted = errno == EINTR;
    return result;
  }
  // A shut-down socket returns 0 without a sender, where an empty datagram
  // names its sender.
  if (n == 0 && message.msg_namelen == 0) {
    result.length = 0;
    result.shut_down = true;
    return result;
  }
  take_length(n, message, capacity, result);
  take_control_data(message, result);
  return result;
}

Received UdpSocket::receive_queued(uint8_t* into, size_t capacity) {
  Received result;
  if (handle_ < 0) {
    result.error = EBADF;
    return result;
  }
  sockaddr_in sender{};
  iovec buffer{into, capacity};
  alignas(cmsghdr) char control[facilities::kControlBytes];
  msghdr message{};
  message.msg_name = &sender;
  message.msg_namelen = sizeof sender;
  message.msg_iov = &buffer;
  message.msg_iovlen = 1;
  message.msg_control = control;
  message.msg_controllen = sizeof control;
  ssize_t n = -1;
  do {
    n = facilities::receive_queued(fd_of(handle_), message);
  } while (n < 0 && errno == EINTR);
  // A shut-down socket with nothing queued may return 0 without a sender,
  // where an empty datagram names its sender.
  if (n < 0 || (n == 0 && message.msg_namelen == 0)) {
    result.error = n < 0 ? errno : 0;
    return result;
  }
  take_length(n, message, capacity, result);
  take_control_data(message, result);
  return result;
}

long long UdpSocket::send_to(const uint8_t* data, size_t size, const Endpoint& to) {
  sockaddr_in address{};
  address.sin_family = AF_INET;
  address.sin_port = htons(to.port);
  address.sin_addr.s_addr = to.address_be;
  return ::sendto(fd_of(handle_), data, size, 0, reinterpret_cast<const sockaddr*>(&address), sizeof address);
}

void UdpSocket::interrupt() {
  if (handle_ >= 0) facilities::wake_up(fd_of(handle_), wake_);
}

void UdpSocket::close() {
  if (handle_ >= 0) {
    ::close(fd_of(handle_));
    handle_ = -1;
  }
  facilities::close_wake_up(wake_);
}

bool UdpSocket::is_open() const { return handle_ >= 0; }

std::string socket_error_text(int code) { return std::system_category().message(code); }

}  // namespace kivo::net
