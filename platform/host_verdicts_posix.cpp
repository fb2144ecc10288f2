// The host's own addresses, by getifaddrs, and where to look at its firewall:
// what any POSIX system answers of the host's verdicts. The host-wide UDP
// error count is not read: the socket's own drop count is asked instead.
#include "platform/host_verdicts.h"

#include <ifaddrs.h>
#include <net/if.h>
#include <netinet/in.h>
#include <sys/socket.h>

#include <cstring>

namespace {

// Whether address is one of this host's, on the interface named so or (for
// nullptr) on any.
bool address_held(const ssm_address* address, const char* interface) {
  ifaddrs* all = nullptr;
  if (getifaddrs(&all) != 0) {
    return false;
  }
  bool found = false;
  for (const ifaddrs* i = all; i != nullptr && !found; i = i->ifa_next) {
    const sockaddr* at = i->ifa_addr;
    if (at == nullptr || (interface != nullptr && std::strcmp(i->ifa_name, interface) != 0)) {
      continue;
    }
    if (at->sa_family == AF_INET && address->family == ssm_ipv4) {
      found = std::memcmp(&reinterpret_cast<const sockaddr_in*>(at)->sin_addr, address->bytes,
                          4) == 0;
    } else if (at->sa_family == AF_INET6 && address->family == ssm_ipv6) {
      found = std::memcmp(&reinterpret_cast<const sockaddr_in6*>(at)->sin6_addr, address->bytes,
                          16) == 0;
    }
  }
  freeifaddrs(all);
  return found;
}

}  // namespace

bool platform_is_local_address(const ssm_address* address) {
  return address_held(address, nullptr);
}

bool platform_address_on_interface(const ssm_address* address, unsigned index) {
  char name[IF_NAMESIZE];
  return if_indextoname(index, name) != nullptr && address_held(address, name);
}

// The advice is worded only where the link capture counted what the host
// then dropped, which is on Linux alone.
const char* platform_firewall_advice() {
  return "look with nft list ruleset";
}

long long platform_host_udp_errors(ssm_family /*family*/) {
  return -1;
}
