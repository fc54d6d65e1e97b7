// What the POSIX socket does differently on Linux and on other POSIX systems
// (macOS). CMake compiles one realisation: socket_facilities_linux.cpp, or
// socket_facilities_portable.cpp for macOS and for a Linux build with
// KIVO_PORTABLE_POSIX=ON, which runs macOS's code paths here.
#pragma once

#include <time.h>
#include <sys/socket.h>
#include <sys/types.h>

#include <cstddef>
#include <cstdint>

#include "kivo/udp_socket.h"

namespace kivo::net::facilities {

// A close-on-exec IPv4 datagram socket; the descriptor, or -1 with errno set.
int open_datagram_socket();

// Asks for a receive buffer of `bytes` (beyond the system's limit where the
// process may).
void ask_receive_buffer(int fd, int bytes);

// The flags of each receive: where the system can, one that makes recvmsg
// return a cut datagram's own length (the message's MSG_TRUNC flag tells
// everywhere that it was cut).
int receive_flags();

// Asks the kernel to count the datagrams it drops on this socket and to say
// so with every datagram; false where it cannot.
bool enable_drop_count(int fd);
// Asks the kernel to stamp every datagram with its arrival time (Linux: to
// the nanosecond; macOS: to the microsecond); false where it cannot.
bool enable_kernel_stamps(int fd);
// Room for the control data a receive may bring: the drop count and the
// stamp (a timespec, or a timeval, which is no larger).
inline constexpr size_t kControlBytes = CMSG_SPACE(sizeof(uint32_t)) + CMSG_SPACE(sizeof(timespec));
// Takes the kernel's drop count and stamp from a received message's control
// data, where it brought them.
void take_control_data(msghdr& message, Received& result);

// The system's count of the datagrams it dropped on this socket since it was
// created, including any after the last one received; false where it keeps
// none.
bool read_drop_total(int fd, uint64_t& drops);

// Owner, the receiving thread stopped: recvmsg of a datagram still queued,
// never waiting, also after wake_up(); -1 with errno set when none is.
ssize_t receive_queued(int fd, msghdr& message);

// The wake-up of a blocked receive, for the owner's `wake` pair of
// descriptors (-1 where the realisation needs none).
int open_wake_up(int wake[2]);  // 0 or errno
void close_wake_up(int wake[2]);
// Receiving thread: waits for a datagram. 1: one is there; 0: wake_up()
// came (now and for every later call); -1: failed, errno set.
int wait_for_datagram(int fd, const int wake[2]);
// Any thread: makes a blocked receive, and every later one, return at once.
void wake_up(int fd, const int wake[2]);

}  // namespace kivo::net::facilities
