// What the POSIX platform files share of the sockets: a receive's sender, the
// mark of a receive cut short by a stop, and the receive queue asked for. For
// the platform's POSIX files only.
#ifndef PLATFORM_SOCKET_POSIX_H
#define PLATFORM_SOCKET_POSIX_H

#include <netinet/in.h>
#include <sys/socket.h>

#include <cstring>

#include "platform/socket.h"

#ifndef SSM_DEFAULT_RCVBUF
// The receive queue platform_open_udp_socket asks for, in bytes. Asked for,
// not required: the system caps it at its own maximum. (The benchmark builds
// a variant without it, to measure the default queue.)
const int wanted_receive_queue_bytes = 4 * 1024 * 1024;
#endif

// Room for a receive's sender of either family: an IPv6 socket address is
// the larger.
typedef sockaddr_in6 sender_room;

// The sender a receive filled in, as an ssm_address.
inline void take_sender(const sender_room* from, ssm_address* sender) {
  if (from->sin6_family == AF_INET6) {
    sender->family = ssm_ipv6;
    std::memcpy(sender->bytes, &from->sin6_addr, 16);
  } else {
    sender->family = ssm_ipv4;
    std::memcpy(sender->bytes, &reinterpret_cast<const sockaddr_in*>(from)->sin_addr, 4);
  }
}

// Whether a receive gave what a socket whose receiving side a stop shut
// gives: length 0, and no sender, which every datagram has.
inline bool shut_not_datagram(long length, socklen_t sender_size) {
  return length == 0 && sender_size == 0;
}

#endif  // PLATFORM_SOCKET_POSIX_H
