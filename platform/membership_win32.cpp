// Winsock memberships and interfaces: IPv4 by ip_mreq_source, IPv6 by
// GROUP_SOURCE_REQ, the interfaces by their NDIS names, the interface of a
// membership by the system's table of them.
#include "platform/membership.h"

#include <winsock2.h>
#include <ws2tcpip.h>
// After the Winsock headers, which it needs.
#include <iphlpapi.h>

#include <cstring>

#include "platform/address_win32.h"
#include "platform/host_verdicts.h"

namespace {

SOCKET as_socket(ssm_socket socket) {
  return static_cast<SOCKET>(socket);
}

// iphlpapi's table of the groups each interface has joined, and how to free
// it: Windows Vista and later have them, Wine and older systems do not, so
// they are looked up when the program runs rather than imported.
typedef NETIO_STATUS(WINAPI* multicast_table_call)(ADDRESS_FAMILY, PMIB_MULTICASTIPADDRESS_TABLE*);
typedef VOID(WINAPI* free_table_call)(PVOID);

// What GetProcAddress finds, as a function pointer of no arguments: cast to
// its real type from that, as from any function.
typedef void (*found_call)();

// A function of iphlpapi by name, or nullptr.
found_call iphlpapi_function(const char* name) {
  HMODULE library = GetModuleHandleA("iphlpapi.dll");
  if (library == nullptr) {
    return nullptr;
  }
  return reinterpret_cast<found_call>(GetProcAddress(library, name));
}

bool row_is(const SOCKADDR_INET& row, const ssm_address* group) {
  if (group->family == ssm_ipv6) {
    return row.si_family == AF_INET6 && std::memcmp(&row.Ipv6.sin6_addr, group->bytes, 16) == 0;
  }
  return row.si_family == AF_INET && std::memcmp(&row.Ipv4.sin_addr, group->bytes, 4) == 0;
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
  // IP_ADD_SOURCE_MEMBERSHIP of ws2tcpip.h (15); winsock.h's numbering differs.
  return setsockopt(as_socket(socket), IPPROTO_IP, IP_ADD_SOURCE_MEMBERSHIP,
                    reinterpret_cast<const char*>(&request), static_cast<int>(sizeof request));
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
  if (group->family == ssm_ipv4) {
    // Winsock reads an interface in 0.0.0.0/8 as an index, in network byte
    // order, and this record is the one Windows stacks have always taken.
    std::uint32_t group4;
    std::uint32_t source4;
    std::memcpy(&group4, group->bytes, 4);
    std::memcpy(&source4, source->bytes, 4);
    return platform_add_source_membership(socket, group4, source4, htonl(interface_index));
  }
  GROUP_SOURCE_REQ request;
  platform_fill_group_source_request(&request, interface_index, group, source);
  // MCAST_JOIN_SOURCE_GROUP of ws2ipdef.h (45).
  return setsockopt(as_socket(socket), IPPROTO_IPV6, MCAST_JOIN_SOURCE_GROUP,
                    reinterpret_cast<const char*>(&request), static_cast<int>(sizeof request));
}

unsigned platform_interface_index(const char* name) {
  return if_nametoindex(name);
}

std::size_t platform_interface_name_most() {
  // if_nametoindex takes the interface's NDIS name ("ethernet_32768").
  return IF_MAX_STRING_SIZE;
}

// Winsock cannot say which interface the stack picked for the socket's
// membership; the system's table says which interfaces joined the group,
// and one that alone did is the one. Where there is no table, the stack
// picks the interface of the route to the group.
unsigned platform_membership_interface(ssm_socket /*socket*/, const ssm_address* group) {
  auto get_table =
      reinterpret_cast<multicast_table_call>(iphlpapi_function("GetMulticastIpAddressTable"));
  auto free_table = reinterpret_cast<free_table_call>(iphlpapi_function("FreeMibTable"));
  if (get_table == nullptr || free_table == nullptr) {
    unsigned index = 0;
    return platform_route_interface(group, &index) == 1 ? index : 0;
  }
  MIB_MULTICASTIPADDRESS_TABLE* table = nullptr;
  if (get_table(group->family == ssm_ipv6 ? AF_INET6 : AF_INET, &table) != NO_ERROR) {
    return 0;
  }
  unsigned found = 0;
  bool several = false;
  for (ULONG i = 0; i < table->NumEntries; ++i) {
    const MIB_MULTICASTIPADDRESS_ROW& row = table->Table[i];
    if (!row_is(row.Address, group)) {
      continue;
    }
    several = several || (found != 0 && found != row.InterfaceIndex);
    found = row.InterfaceIndex;
  }
  free_table(table);
  // Another program's membership of the group on another interface leaves
  // the choice open.
  return several ? 0 : found;
}

bool platform_interface_exists(unsigned index) {
  char name[IF_MAX_STRING_SIZE + 1];
  return if_indextoname(index, name) != nullptr;
}

int platform_leave_group(ssm_socket socket, const ssm_address* group, unsigned index) {
  GROUP_REQ request;
  std::memset(&request, 0, sizeof request);
  request.gr_interface = index;
  put_address(&request.gr_group, group);
  return setsockopt(as_socket(socket), group->family == ssm_ipv6 ? IPPROTO_IPV6 : IPPROTO_IP,
                    MCAST_LEAVE_GROUP, reinterpret_cast<const char*>(&request),
                    static_cast<int>(sizeof request));
}

// Winsock keeps an IPv6 membership per interface and delivers a group's
// datagram only to sockets that joined it on the interface it came in on:
// nothing more to do.
int platform_bind_to_interface(ssm_socket /*socket*/, unsigned /*index*/) {
  return 0;
}

bool platform_interface_name(unsigned index, char* name, std::size_t size) {
  char found[IF_MAX_STRING_SIZE + 1];
  if (if_indextoname(index, found) == nullptr || std::strlen(found) >= size) {
    return false;
  }
  std::memcpy(name, found, std::strlen(found) + 1);
  return true;
}

// Winsock says nothing of an interface's state; the host's checks are not
// made here.
bool platform_is_loopback(unsigned /*index*/) {
  return false;
}

int platform_interface_up(unsigned /*index*/) {
  return -1;
}
