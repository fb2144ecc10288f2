#include "bench/bench_send.h"

#include <arpa/inet.h>
#include <ifaddrs.h>
#include <net/if.h>
#include <netinet/in.h>
#include <time.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstring>

#include "core/operands.h"

namespace {

// A deep send queue: at full speed the sender must not stall on its own
// buffer before the receiver's.
const int send_queue_bytes = 4 * 1024 * 1024;

// Reads one address operand: IPv6 when it has a ':', as the receivers read it.
bool parse_address(const char* text, int* family, unsigned char* address) {
  if (std::strchr(text, ':') != nullptr) {
    *family = AF_INET6;
    return parse_ipv6_operand(text, address);
  }
  std::uint32_t value = 0;
  if (!parse_ipv4_operand(text, &value)) {
    return false;
  }
  *family = AF_INET;
  std::memcpy(address, &value, sizeof value);
  return true;
}

// The index of the interface that holds the IPv6 address, or 0.
unsigned interface_with_address(const unsigned char* address) {
  ifaddrs* all = nullptr;
  if (getifaddrs(&all) != 0) {
    return 0;
  }
  unsigned found = 0;
  for (const ifaddrs* a = all; a != nullptr && found == 0; a = a->ifa_next) {
    if (a->ifa_addr == nullptr || a->ifa_addr->sa_family != AF_INET6) {
      continue;
    }
    sockaddr_in6 held{};
    std::memcpy(&held, a->ifa_addr, sizeof held);
    if (std::memcmp(&held.sin6_addr, address, 16) == 0) {
      found = if_nametoindex(a->ifa_name);
    }
  }
  freeifaddrs(all);
  return found;
}

// The interface the group's suffix names: its index, 0 without a suffix, or
// -1 after a message when no interface has that name.
long named_interface(const char* program, const bench_channel* channel) {
  if (channel->interface_index != 0) {
    return channel->interface_index;
  }
  if (channel->interface_name == nullptr) {
    return 0;
  }
  unsigned index = if_nametoindex(channel->interface_name);
  if (index == 0) {
    (void)std::fprintf(stderr, "%s: no interface %s\n", program, channel->interface_name);
    return -1;
  }
  return index;
}

int fail(const char* program, int fd) {
  (void)std::fprintf(stderr, "%s: set up the sending socket: %s\n", program,
                     std::strerror(errno));
  if (fd >= 0) {
    close(fd);
  }
  return -1;
}

int open_ipv4_sender(const char* program, const bench_channel* channel, long interface,
                     std::uint16_t port, sockaddr_storage* destination,
                     socklen_t* destination_size) {
  int fd = socket(AF_INET, SOCK_DGRAM, IPPROTO_UDP);
  sockaddr_in local{};
  local.sin_family = AF_INET;
  std::memcpy(&local.sin_addr, channel->source, 4);
  if (fd < 0 || bind(fd, reinterpret_cast<sockaddr*>(&local), sizeof local) != 0) {
    return fail(program, fd);
  }
  int chosen = 0;
  if (interface == 0) {
    // The source's own interface, found by its address.
    chosen = setsockopt(fd, IPPROTO_IP, IP_MULTICAST_IF, &local.sin_addr, sizeof local.sin_addr);
  } else {
    ip_mreqn named{};
    named.imr_address = local.sin_addr;
    named.imr_ifindex = static_cast<int>(interface);
    chosen = setsockopt(fd, IPPROTO_IP, IP_MULTICAST_IF, &named, sizeof named);
  }
  if (chosen != 0) {
    return fail(program, fd);
  }
  setsockopt(fd, SOL_SOCKET, SO_SNDBUF, &send_queue_bytes, sizeof send_queue_bytes);
  sockaddr_in group{};
  group.sin_family = AF_INET;
  std::memcpy(&group.sin_addr, channel->group, 4);
  group.sin_port = htons(port);
  std::memset(destination, 0, sizeof *destination);
  std::memcpy(destination, &group, sizeof group);
  *destination_size = sizeof group;
  return fd;
}

int open_ipv6_sender(const char* program, const bench_channel* channel, long interface,
                     std::uint16_t port, sockaddr_storage* destination,
                     socklen_t* destination_size) {
  // Unnamed, the interface is the source's: the system's own choice for a
  // multicast group need not be the link the source is on.
  unsigned index = interface != 0 ? static_cast<unsigned>(interface)
                                  : interface_with_address(channel->source);
  if (index == 0) {
    (void)std::fprintf(stderr,
                       "%s: no interface holds the source address: name one after '%%' on "
                       "the group\n",
                       program);
    return -1;
  }
  int fd = socket(AF_INET6, SOCK_DGRAM, IPPROTO_UDP);
  sockaddr_in6 local{};
  local.sin6_family = AF_INET6;
  std::memcpy(&local.sin6_addr, channel->source, 16);
  if (IN6_IS_ADDR_LINKLOCAL(&local.sin6_addr)) {
    local.sin6_scope_id = index;  // a link-local address is only bound with its link
  }
  int hops = 1;  // the receivers are one link away, and nothing goes further
  if (fd < 0 || bind(fd, reinterpret_cast<sockaddr*>(&local), sizeof local) != 0 ||
      setsockopt(fd, IPPROTO_IPV6, IPV6_MULTICAST_IF, &index, sizeof index) != 0 ||
      setsockopt(fd, IPPROTO_IPV6, IPV6_MULTICAST_HOPS, &hops, sizeof hops) != 0) {
    return fail(program, fd);
  }
  setsockopt(fd, SOL_SOCKET, SO_SNDBUF, &send_queue_bytes, sizeof send_queue_bytes);
  sockaddr_in6 group{};
  group.sin6_family = AF_INET6;
  std::memcpy(&group.sin6_addr, channel->group, 16);
  group.sin6_port = htons(port);
  std::memset(destination, 0, sizeof *destination);
  std::memcpy(destination, &group, sizeof group);
  *destination_size = sizeof group;
  return fd;
}

}  // namespace

bool parse_bench_channel(const char* group_text, const char* source_text,
                         bench_channel* channel) {
  interface_suffix suffix{};
  char address[64];
  if (!parse_interface_suffix(group_text, IF_NAMESIZE - 1, &suffix) ||
      suffix.address_size >= sizeof address) {
    return false;
  }
  std::memcpy(address, group_text, suffix.address_size);
  address[suffix.address_size] = '\0';
  int source_family = 0;
  std::memset(channel, 0, sizeof *channel);
  if (!parse_address(address, &channel->family, channel->group) ||
      !parse_address(source_text, &source_family, channel->source) ||
      source_family != channel->family) {
    return false;
  }
  channel->interface_name = suffix.index == 0 ? suffix.name : nullptr;
  channel->interface_index = suffix.index;
  return true;
}

int open_bench_sender(const char* program, const bench_channel* channel, std::uint16_t port,
                      sockaddr_storage* destination, socklen_t* destination_size) {
  long interface = named_interface(program, channel);
  if (interface < 0) {
    return -1;
  }
  return channel->family == AF_INET6
             ? open_ipv6_sender(program, channel, interface, port, destination, destination_size)
             : open_ipv4_sender(program, channel, interface, port, destination, destination_size);
}

long long now_ns() {
  timespec now{};
  clock_gettime(CLOCK_MONOTONIC, &now);
  return static_cast<long long>(now.tv_sec) * 1000000000LL + now.tv_nsec;
}

void put_sequence(unsigned char* payload, std::uint32_t sequence) {
  payload[0] = static_cast<unsigned char>(sequence);
  payload[1] = static_cast<unsigned char>(sequence >> 8);
  payload[2] = static_cast<unsigned char>(sequence >> 16);
  payload[3] = static_cast<unsigned char>(sequence >> 24);
}
