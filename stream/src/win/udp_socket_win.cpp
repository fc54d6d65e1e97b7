// Windows realisation of the UDP socket (Winsock 2.2).
//
// A receive must be woken from another thread without closing the socket:
// once closed, the handle's value may be handed to a new socket at once, and
// a receiver that was about to call recvfrom would then read from a socket
// that is not its own. So the socket is closed only by its owner after the
// receiving thread has ended, and a receive waits for either a datagram or a
// wake-up event that interrupt() sets.
#include <winsock2.h>
#include <windows.h>
#include <ws2tcpip.h>

#include <atomic>
#include <climits>
#include <new>
#include <utility>

#include "kivo/clock.h"
#include "kivo/udp_socket.h"
#include "win_error_text.h"

namespace kivo::net {
namespace {

constexpr intptr_t kClosed = -1;

// What UdpSocket::handle_ points at.
struct WinSocket {
  SOCKET socket = INVALID_SOCKET;
  // Set by Winsock when a datagram may have arrived (auto-reset).
  HANDLE readable = nullptr;
  // Set by interrupt() and never reset (manual-reset).
  HANDLE wake = nullptr;
  std::atomic<bool> interrupted{false};
  // Receiving thread only: the socket reports arrivals through `readable`
  // (which also makes its calls non-blocking).
  bool arrivals_reported = false;

  ~WinSocket() {
    if (socket != INVALID_SOCKET) closesocket(socket);
    if (readable != nullptr) CloseHandle(readable);
    if (wake != nullptr) CloseHandle(wake);
  }
};

WinSocket* box_of(intptr_t handle) {
  return handle == kClosed ? nullptr : reinterpret_cast<WinSocket*>(handle);
}

SOCKET socket_of(intptr_t handle) {
  const WinSocket* box = box_of(handle);
  return box != nullptr ? box->socket : INVALID_SOCKET;
}

int last_error() { return WSAGetLastError(); }

// What a non-blocking recv of at most `length` bytes returned (`n`) makes of
// `result`; false when nothing was queued. Winsock stamps nothing: a
// datagram is stamped with the clock as its receive returns.
bool take_result(int n, int length, Received& result) {
  if (n != SOCKET_ERROR) {
    result.length = n;
    result.stamp = unix_time_seconds();
    return true;
  }
  const int error = last_error();
  if (error == WSAEMSGSIZE) {
    // Winsock fills the buffer and reports the rest as lost: a longer
    // datagram is cut to the capacity, as on every other platform, and its
    // own length is not told.
    result.length = length;
    result.cut = true;
    result.stamp = unix_time_seconds();
    return true;
  }
  if (error == WSAEWOULDBLOCK) return false;
  result.error = error;
  return true;
}

// A datagram socket that has sent to a closed port would otherwise report
// the ICMP answer as a failed receive (WSAECONNRESET).
void ignore_port_unreachable(SOCKET socket) {
#ifdef SIO_UDP_CONNRESET
  BOOL report = FALSE;
  DWORD returned = 0;
  WSAIoctl(socket, SIO_UDP_CONNRESET, &report, sizeof report, nullptr, 0, &returned, nullptr, nullptr);
#else
  (void)socket;
#endif
}

}  // namespace

SocketLibrary::SocketLibrary() {
  WSADATA data;
  started_ = WSAStartup(MAKEWORD(2, 2), &data) == 0;
}

SocketLibrary::~SocketLibrary() {
  if (started_) WSACleanup();
}

bool parse_ipv4(const std::string& text, uint16_t port, Endpoint& out) {
  in_addr address{};
  const std::string host = text == "localhost" ? "127.0.0.1" : text;
  if (inet_pton(AF_INET, host.c_str(), &address) != 1) return false;
  out.address_be = address.s_addr;
  out.port = port;
  return true;
}

UdpSocket::~UdpSocket() { close(); }

UdpSocket::UdpSocket(UdpSocket&& other) noexcept : handle_(std::exchange(other.handle_, kClosed)) {}

UdpSocket& UdpSocket::operator=(UdpSocket&& other) noexcept {
  if (this != &other) {
    close();
    handle_ = std::exchange(other.handle_, kClosed);
  }
  return *this;
}

int UdpSocket::create() {
  close();
  WinSocket* box = new (std::nothrow) WinSocket;
  if (box == nullptr) return WSA_NOT_ENOUGH_MEMORY;
  box->socket = ::socket(AF_INET, SOCK_DGRAM, 0);
  if (box->socket == INVALID_SOCKET) {
    const int error = last_error();
    delete box;
    return error;
  }
  // Child processes do not inherit the socket.
  SetHandleInformation(reinterpret_cast<HANDLE>(box->socket), HANDLE_FLAG_INHERIT, 0);
  box->readable = CreateEventW(nullptr, FALSE, FALSE, nullptr);
  box->wake = CreateEventW(nullptr, TRUE, FALSE, nullptr);
  if (box->readable == nullptr || box->wake == nullptr) {
    const int error = static_cast<int>(GetLastError());
    delete box;
    return error;
  }
  ignore_port_unreachable(box->socket);
  handle_ = reinterpret_cast<intptr_t>(box);
  return 0;
}

// SO_REUSEADDR would let a second socket bind the port and take the
// datagrams (Winsock gives them to the newest socket), and a socket of any
// program that sets it could do so unless the holder binds exclusively.
int UdpSocket::set_address_option() {
  const BOOL exclusive = TRUE;
  if (::setsockopt(socket_of(handle_), SOL_SOCKET, SO_EXCLUSIVEADDRUSE,
                   reinterpret_cast<const char*>(&exclusive), sizeof exclusive) == SOCKET_ERROR) {
    return last_error();
  }
  return 0;
}

const char* address_option_name() { return "SO_EXCLUSIVEADDRUSE"; }

int UdpSocket::bind_any(uint16_t port) {
  sockaddr_in address{};
  address.sin_family = AF_INET;
  address.sin_port = htons(port);
  address.sin_addr.s_addr = htonl(INADDR_ANY);
  if (::bind(socket_of(handle_), reinterpret_cast<const sockaddr*>(&address), sizeof address) ==
      SOCKET_ERROR) {
    return last_error();
  }
  return 0;
}

int UdpSocket::request_receive_buffer(int bytes) {
  const SOCKET socket = socket_of(handle_);
  ::setsockopt(socket, SOL_SOCKET, SO_RCVBUF, reinterpret_cast<const char*>(&bytes), sizeof bytes);
  int granted = 0;
  int length = sizeof granted;
  if (::getsockopt(socket, SOL_SOCKET, SO_RCVBUF, reinterpret_cast<char*>(&granted), &length) != 0) {
    return 0;
  }
  return granted;
}

// Winsock keeps no count of the datagrams it drops.
bool UdpSocket::enable_drop_count() { return false; }

// Winsock stamps no datagram: receive() reads the clock as it returns.
bool UdpSocket::enable_kernel_stamps() { return false; }

uint16_t UdpSocket::local_port() const {
  sockaddr_in address{};
  int length = sizeof address;
  if (::getsockname(socket_of(handle_), reinterpret_cast<sockaddr*>(&address), &length) != 0) return 0;
  return ntohs(address.sin_port);
}

Received UdpSocket::receive(uint8_t* into, size_t capacity) {
  Received result;
  WinSocket* box = box_of(handle_);
  if (box == nullptr) {
    result.error = WSAENOTSOCK;
    return result;
  }
  if (!box->arrivals_reported) {
    if (WSAEventSelect(box->socket, box->readable, FD_READ) == SOCKET_ERROR) {
      result.error = last_error();
      return result;
    }
    box->arrivals_reported = true;
  }
  const int length = capacity > static_cast<size_t>(INT_MAX) ? INT_MAX : static_cast<int>(capacity);
  for (;;) {
    // After interrupt() every receive returns at once, empty, as a shut-down
    // socket does elsewhere.
    if (box->interrupted.load()) {
      result.length = 0;
      result.shut_down = true;
      return result;
    }
    sockaddr_in sender{};
    int sender_length = sizeof sender;
    const int n = ::recvfrom(box->socket, reinterpret_cast<char*>(into), length, 0,
                             reinterpret_cast<sockaddr*>(&sender), &sender_length);
    if (take_result(n, length, result)) return result;
    // Nothing there yet: wait for an arrival or a wake-up. The event of an
    // arrival that the last recvfrom already took may still be set; the
    // loop then finds nothing and waits again.
    const HANDLE events[2] = {box->readable, box->wake};
    if (WaitForMultipleObjects(2, events, FALSE, INFINITE) == WAIT_FAILED) {
      result.error = static_cast<int>(GetLastError());
      return result;
    }
  }
}

long long UdpSocket::send_to(const uint8_t* data, size_t size, const Endpoint& to) {
  sockaddr_in address{};
  address.sin_family = AF_INET;
  address.sin_port = htons(to.port);
  address.sin_addr.s_addr = to.address_be;
  const int length = size > static_cast<size_t>(INT_MAX) ? INT_MAX : static_cast<int>(size);
  const int n = ::sendto(socket_of(handle_), reinterpret_cast<const char*>(data), length, 0,
                         reinterpret_cast<const sockaddr*>(&address), sizeof address);
  return n == SOCKET_ERROR ? -1 : n;
}

void UdpSocket::interrupt() {
  WinSocket* box = box_of(handle_);
  if (box == nullptr) return;
  box->interrupted.store(true);
  SetEvent(box->wake);
}

void UdpSocket::close() { delete box_of(std::exchange(handle_, kClosed)); }

bool UdpSocket::is_open() const { return handle_ != kClosed; }

std::string socket_error_text(int code) { return win::error_text(static_cast<unsigned long>(code)); }

}  // namespace kivo::net

// What the socket tells and takes at the end of an acquisition.
namespace kivo::net {

Received UdpSocket::receive_queued(uint8_t* into, size_t capacity) {
  Received result;
  WinSocket* box = box_of(handle_);
  if (box == nullptr) {
    result.error = WSAENOTSOCK;
    return result;
  }
  u_long non_blocking = 1;
  if (!box->arrivals_reported && ::ioctlsocket(box->socket, FIONBIO, &non_blocking) == SOCKET_ERROR) {
    result.error = last_error();
    return result;
  }
  const int length = capacity > static_cast<size_t>(INT_MAX) ? INT_MAX : static_cast<int>(capacity);
  const int n = ::recv(box->socket, reinterpret_cast<char*>(into), length, 0);
  if (!take_result(n, length, result)) result.error = WSAEWOULDBLOCK;
  return result;
}

// Winsock keeps no count of the datagrams it drops.
bool UdpSocket::read_drop_total(uint64_t&) const { return false; }

int receive_buffer_as_requested(int reported) { return reported; }

}  // namespace kivo::net
