// What the host itself does to a channel's datagrams: its routes and
// settings, its own addresses, the group membership protocol it speaks, and
// what its socket dropped. The kernel's verdicts by netlink and /proc where it
// has them (host_verdicts_linux.cpp), the addresses by getifaddrs
// (host_verdicts_posix.cpp). Where the system cannot say
// (host_verdicts_none.cpp, host_verdicts_win32.cpp), each answer says so, and
// the programs say nothing.
#ifndef PLATFORM_HOST_VERDICTS_H
#define PLATFORM_HOST_VERDICTS_H

#include "platform/socket.h"

// platform_input_route's verdicts.
const int route_refused = 0;
const int route_delivered = 1;
const int route_unknown = -1;

// The kernel's own verdict on a datagram from source to group arriving on the
// interface with this index (IPv4; call while the socket holds the
// membership there): whether its input route check, reverse-path filtering
// included, lets it through.
int platform_input_route(const ssm_address* group, const ssm_address* source, unsigned index);

// The interface the route to address leaves by: 1 with its index in *index,
// 0 when there is no route, route_unknown when the system cannot say.
int platform_route_interface(const ssm_address* address, unsigned* index);

// Whether address is one of this host's own.
bool platform_is_local_address(const ssm_address* address);

// Whether address is one of the addresses of the interface with this index.
bool platform_address_on_interface(const ssm_address* address, unsigned index);

// Whether datagrams from this host's own addresses are let in over the
// interface with this index (IPv4; Linux: accept_local there or for all):
// 1, 0 when they are dropped as martians, -1 when the system cannot say.
int platform_accepts_local_source(unsigned index);

// How to look at this system's firewall, in a few words for a verdict.
const char* platform_firewall_advice();

// Reverse-path filtering (IPv4) as set for the interface (*own) and for all
// interfaces (*all): 0 off, 1 strict, 2 loose; -1 where the system does not
// say.
void platform_reverse_path_filter(unsigned index, int* own, int* all);

// The group membership protocol an interface speaks: IGMP (IPv4) or MLD (IPv6).
struct group_protocol {
  int version;          // 1 to 3 for IGMP, 1 or 2 for MLD; 0 when the system cannot say
  int forced;           // the version a setting holds it to; 0 none
  bool forced_for_all;  // that setting is the one for all interfaces
};

// The family's group membership protocol on the interface with this index.
group_protocol platform_group_protocol(ssm_family family, unsigned index);

// How many datagrams the socket dropped before they were read, since it was
// opened; -1 where the system does not say.
long long platform_socket_drops(ssm_socket socket);

// The name of the system limit that holds the socket's receive queue below
// what platform_open_udp_socket asks for, or nullptr when the queue is as
// asked or the system does not say.
const char* platform_receive_queue_limit(ssm_socket socket);

#endif  // PLATFORM_HOST_VERDICTS_H
