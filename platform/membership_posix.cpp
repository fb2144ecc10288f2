// POSIX memberships and interfaces: the protocol-independent requests by
// interface index, and the interfaces by if_nametoindex and getifaddrs.
#include "platform/membership.h"

#include <ifaddrs.h>
#include <net/if.h>
#include <netinet/in.h>
#include <sys/socket.h>

#include <cerrno>
#include <cstring>

namespace {

int level_of(ssm_family family) {
  return family == ssm_ipv6 ? IPPROTO_IPV6 : IPPROTO_IP;
}

// The address as a socket address of its family, port 0.
void put_address(sockaddr_storage* out, const ssm_address* address) {
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

}  // namespace

void platform_fill_source_membership(struct ip_mreq_source* request, std::uint32_t group,
                                     std::uint32_t source, std::uint32_t interface_address) {
  std::memset(request, 0, sizeof *request);
  request->imr_multiaddr.s_addr = group;
  request->imr_sourceaddr.s_addr = source;
  request->imr_interface.s_addr = interface_address;
}

int platform_add_source_membership(ssm_socket socket, std::uint32_t group, std::uint32_t source,
                                   std::uint32_t interface_address) {
  struct ip_mreq_source request;
  platform_fill_source_membership(&request, group, source, interface_address);
  return setsockopt(static_cast<int>(socket), IPPROTO_IP, IP_ADD_SOURCE_MEMBERSHIP, &request,
                    sizeof request);
}

void platform_fill_group_source_request(struct group_source_req* request, unsigned interface_index,
                                        const ssm_address* group, const ssm_address* source) {
  std::memset(request, 0, sizeof *request);
  request->gsr_interface = interface_index;
  put_address(&request->gsr_group, group);
  put_address(&request->gsr_source, source);
}

int platform_join_source_group(ssm_socket socket, const ssm_address* group,
                               const ssm_address* source, unsigned interface_index) {
  // By index for either family: an interface need not have an IPv4 address.
  struct group_source_req request;
  platform_fill_group_source_request(&request, interface_index, group, source);
  return setsockopt(static_cast<int>(socket), level_of(group->family), MCAST_JOIN_SOURCE_GROUP,
                    &request, sizeof request);
}

unsigned platform_interface_index(const char* name) {
  return if_nametoindex(name);
}

std::size_t platform_interface_name_most() {
  return IF_NAMESIZE - 1;
}

unsigned platform_membership_interface(ssm_socket socket, const ssm_address* group) {
  unsigned found = 0;
#ifdef MCAST_MSFILTER
  // The system picks the interface by route when none is named: ask it which
  // interface the socket's filter for the group is on.
  struct if_nameindex* interfaces = if_nameindex();
  if (interfaces == nullptr) {
    return 0;  // it needs a descriptor of its own, and there may be none left
  }
  for (struct if_nameindex* i = interfaces; i->if_index != 0; ++i) {
    group_filter filter{};
    filter.gf_interface = i->if_index;
    put_address(&filter.gf_group, group);
    socklen_t size = sizeof filter;
    if (getsockopt(static_cast<int>(socket), level_of(group->family), MCAST_MSFILTER, &filter,
                   &size) == 0) {
      found = i->if_index;
      break;
    }
  }
  if_freenameindex(interfaces);
#else
  (void)socket;
  (void)group;
#endif
  return found;
}

bool platform_interface_exists(unsigned index) {
  char name[IF_NAMESIZE];
  return if_indextoname(index, name) != nullptr;
}

int platform_leave_group(ssm_socket socket, const ssm_address* group, unsigned index) {
  // By index: the interface may be gone, and with it its address.
  group_req request{};
  request.gr_interface = index;
  put_address(&request.gr_group, group);
  return setsockopt(static_cast<int>(socket), level_of(group->family), MCAST_LEAVE_GROUP,
                    &request, sizeof request);
}

int platform_bind_to_interface(ssm_socket socket, unsigned index) {
  // Costs nothing per datagram: the kernel's lookup skips the socket for a
  // datagram of another link.
#if defined(SO_BINDTOIFINDEX)
  int value = static_cast<int>(index);
  return setsockopt(static_cast<int>(socket), SOL_SOCKET, SO_BINDTOIFINDEX, &value, sizeof value);
#elif defined(SO_BINDTODEVICE)
  char name[IF_NAMESIZE];
  if (if_indextoname(index, name) == nullptr) {
    return -1;
  }
  return setsockopt(static_cast<int>(socket), SOL_SOCKET, SO_BINDTODEVICE, name,
                    static_cast<socklen_t>(std::strlen(name)));
#else
  (void)socket;
  (void)index;
  errno = ENOPROTOOPT;
  return -1;
#endif
}

bool platform_interface_name(unsigned index, char* name, std::size_t size) {
  char found[IF_NAMESIZE];
  if (if_indextoname(index, found) == nullptr || std::strlen(found) >= size) {
    return false;
  }
  std::memcpy(name, found, std::strlen(found) + 1);
  return true;
}

bool platform_is_loopback(unsigned index) {
  char name[IF_NAMESIZE];
  if (if_indextoname(index, name) == nullptr) {
    return false;
  }
  ifaddrs* all = nullptr;
  if (getifaddrs(&all) != 0) {
    return false;
  }
  bool loopback = false;
  for (const ifaddrs* i = all; i != nullptr; i = i->ifa_next) {
    if (std::strcmp(i->ifa_name, name) == 0 && (i->ifa_flags & IFF_LOOPBACK) != 0) {
      loopback = true;
      break;
    }
  }
  freeifaddrs(all);
  return loopback;
}

int platform_interface_up(unsigned index) {
  char name[IF_NAMESIZE];
  if (if_indextoname(index, name) == nullptr) {
    return -1;
  }
  ifaddrs* all = nullptr;
  if (getifaddrs(&all) != 0) {
    return -1;
  }
  int up = -1;
  for (const ifaddrs* i = all; i != nullptr; i = i->ifa_next) {
    if (std::strcmp(i->ifa_name, name) == 0) {
      up = (i->ifa_flags & IFF_UP) != 0 ? 1 : 0;
      break;
    }
  }
  freeifaddrs(all);
  return up;
}
