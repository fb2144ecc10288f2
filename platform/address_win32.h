// An ssm_address as a Winsock socket address, which the memberships and the
// route lookups of the platform's Windows files both hand the system. For
// the platform's Windows files only.
#ifndef PLATFORM_ADDRESS_WIN32_H
#define PLATFORM_ADDRESS_WIN32_H

#include <winsock2.h>
#include <ws2tcpip.h>

#include <cstring>

#include "platform/socket.h"

// The address as a socket address of its family, port 0.
inline void put_address(SOCKADDR_STORAGE* out, const ssm_address* address) {
  std::memset(out, 0, sizeof *out);
  if (address->family == ssm_ipv6) {
    sockaddr_in6* in6 = reinterpret_cast<sockaddr_in6*>(out);
    in6->sin6_family = AF_INET6;
    std::memcpy(&in6->sin6_addr, address->bytes, 16);
  } else {
    sockaddr_in* in4 = reinterpret_cast<sockaddr_in*>(out);
    in4->sin_family = AF_INET;
    std::memcpy(&in4->sin_addr, address->bytes, 4);
  }
}

#endif  // PLATFORM_ADDRESS_WIN32_H
