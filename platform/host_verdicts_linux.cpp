// The host's own verdicts on Linux: the kernel's routing verdicts by
// netlink, the settings and the IGMP table from /proc, the socket's drop
// count.
#include "platform/host_verdicts.h"

#include <linux/netlink.h>
#include <linux/rtnetlink.h>
#include <net/if.h>
#include <sys/socket.h>
#include <unistd.h>
#ifdef SSM_HAVE_SO_MEMINFO
#include <linux/sock_diag.h>
#endif

#include <cerrno>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "platform/socket_posix.h"

namespace {

// A number a /proc file begins with; -1 when it cannot be read.
long long read_number(const char* path) {
  std::FILE* file = std::fopen(path, "re");
  if (file == nullptr) {
    return -1;
  }
  char text[32];
  long long value = -1;
  if (std::fgets(text, sizeof text, file) != nullptr) {
    char* end = nullptr;
    errno = 0;
    value = std::strtoll(text, &end, 10);
    if (end == text || errno != 0) {
      value = -1;
    }
  }
  (void)std::fclose(file);
  return value;
}

// A setting of net.<family>.conf.<interface> ("all" for all interfaces).
long long read_interface_setting(const char* family, const char* interface,
                                 const char* setting) {
  char path[128];
  int size = std::snprintf(path, sizeof path, "/proc/sys/net/%s/conf/%s/%s", family, interface,
                           setting);
  if (size < 0 || static_cast<std::size_t>(size) >= sizeof path) {
    return -1;
  }
  return read_number(path);
}

// One RTM_GETROUTE request with its attributes.
struct route_request {
  nlmsghdr header;
  rtmsg route;
  // Room for the attributes, written after the header by add_attribute.
  // cppcheck-suppress unusedStructMember
  unsigned char attributes[3 * RTA_SPACE(16)];
};

void start_route_request(route_request* request, const ssm_address* destination) {
  std::memset(request, 0, sizeof *request);
  request->header.nlmsg_len = NLMSG_LENGTH(sizeof(rtmsg));
  request->header.nlmsg_type = RTM_GETROUTE;
  request->header.nlmsg_flags = NLM_F_REQUEST;
  request->route.rtm_family = destination->family == ssm_ipv6 ? AF_INET6 : AF_INET;
}

void add_attribute(route_request* request, unsigned short type, const void* data,
                   std::size_t size) {
  unsigned char* at = reinterpret_cast<unsigned char*>(request) +
                      NLMSG_ALIGN(request->header.nlmsg_len);
  rtattr attribute{};
  attribute.rta_type = type;
  attribute.rta_len = static_cast<unsigned short>(RTA_LENGTH(size));
  std::memcpy(at, &attribute, sizeof attribute);
  std::memcpy(at + RTA_LENGTH(0), data, size);
  request->header.nlmsg_len = NLMSG_ALIGN(request->header.nlmsg_len) + RTA_SPACE(size);
}

std::size_t address_size(const ssm_address* address) {
  return address->family == ssm_ipv6 ? 16 : 4;
}

// Sends the request and takes the kernel's answer into reply. Returns 0 for a
// route, the error number the kernel refused it with, or -1 when it could
// not be asked.
int ask_for_route(const route_request* request, unsigned char* reply, std::size_t size) {
  int fd = socket(AF_NETLINK, SOCK_RAW | SOCK_CLOEXEC, NETLINK_ROUTE);
  if (fd < 0) {
    return -1;
  }
  sockaddr_nl kernel{};
  kernel.nl_family = AF_NETLINK;
  int answer = -1;
  // The kernel answers within the send: the reply is queued when it returns.
  if (sendto(fd, request, request->header.nlmsg_len, 0, reinterpret_cast<sockaddr*>(&kernel),
             sizeof kernel) == static_cast<ssize_t>(request->header.nlmsg_len)) {
    ssize_t got = recv(fd, reply, size, MSG_DONTWAIT);
    if (got >= static_cast<ssize_t>(NLMSG_LENGTH(sizeof(nlmsgerr)))) {
      nlmsghdr header;
      std::memcpy(&header, reply, sizeof header);
      if (header.nlmsg_type == NLMSG_ERROR) {
        nlmsgerr failure;
        std::memcpy(&failure, reply + NLMSG_HDRLEN, sizeof failure);
        answer = failure.error < 0 ? -failure.error : -1;
      } else if (header.nlmsg_type == RTM_NEWROUTE) {
        answer = 0;
      }
    }
  }
  close(fd);
  return answer;
}

}  // namespace

int platform_input_route(const ssm_address* group, const ssm_address* source, unsigned index) {
  if (group->family != ssm_ipv4) {
    return route_unknown;
  }
  // As `ip route get GROUP from SOURCE iif INTERFACE`.
  route_request request;
  start_route_request(&request, group);
  request.route.rtm_dst_len = 32;
  request.route.rtm_src_len = 32;
  add_attribute(&request, RTA_DST, group->bytes, 4);
  add_attribute(&request, RTA_SRC, source->bytes, 4);
  std::uint32_t interface = index;
  add_attribute(&request, RTA_IIF, &interface, sizeof interface);
  unsigned char reply[4096];
  int answer = ask_for_route(&request, reply, sizeof reply);
  if (answer == 0) {
    return route_delivered;
  }
  // EXDEV is what the source check itself returns; the lookup turns it
  // into EINVAL on the kernels measured.
  return answer == EINVAL || answer == EXDEV ? route_refused : route_unknown;
}

int platform_route_interface(const ssm_address* address, unsigned* index) {
  route_request request;
  start_route_request(&request, address);
  request.route.rtm_dst_len = static_cast<unsigned char>(8 * address_size(address));
  add_attribute(&request, RTA_DST, address->bytes, address_size(address));
  unsigned char reply[4096];
  int answer = ask_for_route(&request, reply, sizeof reply);
  if (answer == ENETUNREACH || answer == EHOSTUNREACH) {
    return 0;
  }
  if (answer != 0) {
    return route_unknown;
  }
  nlmsghdr header;
  std::memcpy(&header, reply, sizeof header);
  std::size_t end = header.nlmsg_len < sizeof reply ? header.nlmsg_len : sizeof reply;
  std::size_t at = NLMSG_LENGTH(sizeof(rtmsg));
  while (at + sizeof(rtattr) <= end) {
    rtattr attribute;
    std::memcpy(&attribute, reply + at, sizeof attribute);
    if (attribute.rta_len < sizeof attribute || at + attribute.rta_len > end) {
      break;
    }
    if (attribute.rta_type == RTA_OIF && attribute.rta_len >= RTA_LENGTH(sizeof(std::uint32_t))) {
      std::uint32_t out = 0;
      std::memcpy(&out, reply + at + RTA_LENGTH(0), sizeof out);
      *index = out;
      return 1;
    }
    at += RTA_ALIGN(attribute.rta_len);
  }
  return route_unknown;
}

bool platform_judges_input_route() {
  return true;
}

int platform_accepts_local_source(unsigned index) {
  char name[IF_NAMESIZE];
  if (if_indextoname(index, name) == nullptr) {
    return -1;
  }
  // The kernel lets them in when either setting is on.
  long long own = read_interface_setting("ipv4", name, "accept_local");
  long long all = read_interface_setting("ipv4", "all", "accept_local");
  if (own < 0 || all < 0) {
    return -1;
  }
  return own > 0 || all > 0 ? 1 : 0;
}

void platform_reverse_path_filter(unsigned index, int* own, int* all) {
  char name[IF_NAMESIZE];
  *own = if_indextoname(index, name) != nullptr
             ? static_cast<int>(read_interface_setting("ipv4", name, "rp_filter"))
             : -1;
  *all = static_cast<int>(read_interface_setting("ipv4", "all", "rp_filter"));
}

namespace {

// The IGMP version /proc/net/igmp shows for the interface (its Querier
// column: the version forced, or the oldest heard lately); 0 when it is not
// listed.
int igmp_version_listed(unsigned index) {
  std::FILE* table = std::fopen("/proc/net/igmp", "re");
  if (table == nullptr) {
    return 0;
  }
  int version = 0;
  char row[256];
  while (version == 0 && std::fgets(row, sizeof row, table) != nullptr) {
    // A device's row: "<index>\t<name>: <count> V<version>"; its groups'
    // rows begin with a tab.
    char* end = nullptr;
    unsigned long listed = std::strtoul(row, &end, 10);
    const char* colon = std::strrchr(row, ':');
    if (end == row || listed != index || colon == nullptr) {
      continue;
    }
    const char* querier = std::strchr(colon, 'V');
    if (querier != nullptr && querier[1] >= '1' && querier[1] <= '3') {
      version = querier[1] - '0';
    }
  }
  (void)std::fclose(table);
  return version;
}

}  // namespace

group_protocol platform_group_protocol(ssm_family family, unsigned index) {
  group_protocol speaks{0, 0, false};
  char name[IF_NAMESIZE];
  if (if_indextoname(index, name) == nullptr) {
    return speaks;
  }
  const char* net = family == ssm_ipv6 ? "ipv6" : "ipv4";
  const char* setting = family == ssm_ipv6 ? "force_mld_version" : "force_igmp_version";
  long long own = read_interface_setting(net, name, setting);
  long long all = read_interface_setting(net, "all", setting);
  if (family == ssm_ipv6) {
    if (own < 0 || all < 0) {
      return speaks;
    }
    // MLDv2 forced anywhere wins; a querier heard lately is not shown.
    speaks.version = 2;
    if (own != 2 && all != 2 && (own == 1 || all == 1)) {
      speaks.version = 1;
      speaks.forced = 1;
      speaks.forced_for_all = own != 1;
    }
    return speaks;
  }
  speaks.version = igmp_version_listed(index);
  // The oldest version forced on either wins, as the kernel takes it.
  for (long long forced = 1; forced <= 2 && speaks.forced == 0; ++forced) {
    if (own == forced || all == forced) {
      speaks.forced = static_cast<int>(forced);
      speaks.forced_for_all = own != forced;
    }
  }
  return speaks;
}

long long platform_socket_drops(ssm_socket socket) {
#ifdef SSM_HAVE_SO_MEMINFO
  std::uint32_t info[SK_MEMINFO_VARS] = {};
  socklen_t size = sizeof info;
  if (getsockopt(static_cast<int>(socket), SOL_SOCKET, SO_MEMINFO, info, &size) != 0 ||
      size < (SK_MEMINFO_DROPS + 1) * sizeof info[0]) {
    return -1;
  }
  return info[SK_MEMINFO_DROPS];
#else
  (void)socket;
  return -1;
#endif
}

const char* platform_receive_queue_limit(ssm_socket socket) {
  (void)socket;
#ifndef SSM_DEFAULT_RCVBUF
  // Linux grants at most this; what it says it granted is doubled.
  long long most = read_number("/proc/sys/net/core/rmem_max");
  if (most >= 0 && most < wanted_receive_queue_bytes) {
    return "net.core.rmem_max";
  }
#endif
  return nullptr;
}
