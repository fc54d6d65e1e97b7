// One IPv4 UDP socket. The realisations live in src/posix and src/win; this
// header is all the rest of the project sees of the socket layer.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>

namespace kivo::net {

// Starts the platform's socket library for the lifetime of the object
// (Winsock on Windows; nothing elsewhere). Objects may nest.
class SocketLibrary {
 public:
  SocketLibrary();
  ~SocketLibrary();
  SocketLibrary(const SocketLibrary&) = delete;
  SocketLibrary& operator=(const SocketLibrary&) = delete;
  bool started() const { return started_; }

 private:
  bool started_ = false;
};

// An IPv4 address and port to send to.
struct Endpoint {
  uint32_t address_be = 0;  // network byte order
  uint16_t port = 0;        // host byte order
};
// Parses dotted-quad text ("127.0.0.1") or "localhost"; false when it is neither.
bool parse_ipv4(const std::string& text, uint16_t port, Endpoint& out);

// What one receive produced.
struct Received {
  long long length = -1;          // bytes taken; < 0 on failure
  bool cut = false;               // the datagram was longer than the capacity
  long long full_length = 0;      // when cut: its own length; 0 where the platform cannot tell
  int error = 0;                  // platform error code when length < 0
  bool interrupted = false;       // the call was interrupted by a signal
  bool shut_down = false;         // no datagram: the socket was shut down (interrupt(), or another process)
  bool drop_count_valid = false;  // kernel_drops holds the kernel's count
  uint32_t kernel_drops = 0;      // datagrams the kernel dropped on this socket so far
  // When length >= 0: the receive time, seconds since 1970 on the system's
  // wall clock; the kernel's, taken as the datagram arrived, where
  // enable_kernel_stamps() succeeded, else the clock read when the receive
  // returned (later by the scheduling of the receiving thread).
  double stamp = 0;
  bool kernel_stamp = false;
};

class UdpSocket {
 public:
  UdpSocket() = default;
  ~UdpSocket();
  UdpSocket(UdpSocket&& other) noexcept;
  UdpSocket& operator=(UdpSocket&& other) noexcept;
  UdpSocket(const UdpSocket&) = delete;
  UdpSocket& operator=(const UdpSocket&) = delete;

  // Set-up steps; each returns 0 or the platform's error code.
  int create();
  // The address option, set so that the port bound next is this socket's
  // alone: no second socket, of this process or another, can bind it and
  // take the datagrams. Which option that is differs (address_option_name()).
  int set_address_option();
  int bind_any(uint16_t port);
  // Asks for a receive buffer of `bytes` and returns what the kernel granted
  // (as the kernel reports it), or 0 when it cannot be read back.
  int request_receive_buffer(int bytes);
  // Asks the kernel to count the datagrams it drops on this socket, where the
  // platform can; false elsewhere.
  bool enable_drop_count();
  // Asks the kernel to stamp every datagram as it arrives (Linux, macOS);
  // false where it cannot, and receives are then stamped as they return.
  bool enable_kernel_stamps();
  uint16_t local_port() const;

  // Receiving thread only: one blocking receive of at most `capacity` bytes.
  // A longer datagram is cut to `capacity`, and says so. Once the socket is
  // shut down it returns at once with shut_down set, never as an empty
  // datagram (which has length 0 and shut_down clear).
  Received receive(uint8_t* into, size_t capacity);
  // Sending: one datagram to `to`; returns bytes sent or -1.
  long long send_to(const uint8_t* data, size_t size, const Endpoint& to);

  // Any thread: makes a blocked receive, and every later one, return at once.
  void interrupt();

  // Owner, once the receiving thread has stopped (interrupted or not): takes
  // one datagram still queued on the socket, as receive() does, but never
  // waits; length < 0 when none is queued.
  Received receive_queued(uint8_t* into, size_t capacity);
  // Any thread: the datagrams the system has dropped on this socket since it
  // was created, including any after the last one received, where the
  // platform keeps that count (Linux); false elsewhere.
  bool read_drop_total(uint64_t& drops) const;
  // Owner only, after the receiving thread has stopped.
  void close();
  bool is_open() const;

 private:
  intptr_t handle_ = -1;
  // A POSIX realisation's wake-up pipe (read end, write end), where the
  // system has no other way to wake a blocked receive; -1 elsewhere. Set by
  // create() and close() only, while no receive runs.
  int wake_[2] = {-1, -1};
};

// The request that a receive buffer of `reported` bytes, as
// request_receive_buffer() returns it, answers in full: Linux reports twice
// the bytes it grants for data, keeping the other half for its bookkeeping.
int receive_buffer_as_requested(int reported);

// The option set_address_option() sets, as the system names it.
const char* address_option_name();

// The platform's text for an error code of the socket layer.
std::string socket_error_text(int code);

}  // namespace kivo::net
