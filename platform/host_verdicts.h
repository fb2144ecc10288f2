// What the host itself does to a channel's datagrams: its routes and
// settings, its own addresses, the group membership protocol it speaks, its
// firewall, and what its socket dropped. The kernel's verdicts by netlink and
// /proc where it has them (host_verdicts_linux.cpp), the addresses by
// getifaddrs (host_verdicts_posix.cpp); on Windows the routes, the IGMP
// setting and the host's UDP counts (host_verdicts_win32.cpp) and the
// firewall (firewall_win32.cpp). Where the system cannot say
// (host_verdicts_none.cpp, host_routes_none.cpp, firewall_none.cpp), each
// answer says so, and the programs say nothing.
#ifndef PLATFORM_HOST_VERDICTS_H
#define PLATFORM_HOST_VERDICTS_H

#include <cstdint>

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

// Whether the system gives its own verdict on what comes in over an
// interface (platform_input_route, Linux). Where it does not, the programs
// compare the interface the system chose for a membership with the route to
// the source instead.
bool platform_judges_input_route();

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
  // The setting as the system names it, and its value, where it is not
  // Linux's force_igmp_version or force_mld_version (nullptr).
  const char* setting = nullptr;
  int setting_value = 0;
  const char* unknown_why = nullptr;  // version 0: why, where the system says so
};

// The family's group membership protocol on the interface with this index.
group_protocol platform_group_protocol(ssm_family family, unsigned index);

// How many datagrams the socket dropped before they were read, since it was
// opened; -1 where the system does not say.
long long platform_socket_drops(ssm_socket socket);

// How many UDP datagrams of the family this whole host received in error
// (all its sockets, a full queue among the causes) since it started, where
// the system keeps no count per socket (Windows); -1 elsewhere, or when it
// cannot be read.
long long platform_host_udp_errors(ssm_family family);

// The name of the system limit that holds the socket's receive queue below
// what platform_open_udp_socket asks for, or nullptr when the queue is as
// asked or the system does not say.
const char* platform_receive_queue_limit(ssm_socket socket);

// How the system answered one question about itself. Only answer_given is
// an answer: a call the system does not implement, or one that failed, says
// nothing, and neither does a question not asked (the zero value).
enum answer_kind { answer_not_asked, answer_given, answer_not_implemented, answer_failed };

struct system_answer {
  answer_kind kind;
  long error;  // answer_failed: the call's error code (an HRESULT on Windows)
};

// One active profile of the host's firewall.
struct firewall_profile {
  const char* name;        // "domain", "private" or "public"
  system_answer on_answer;
  bool on;                 // whether the firewall is on for it
};

// The most profiles a firewall has active at once.
const int firewall_profiles_most = 3;

// What the host's firewall says of inbound UDP to this program's port, in its
// own terms, each answer as the system gave it.
struct firewall_facts {
  bool asked;                 // false: this system's firewall is not asked here
  bool under_wine;            // the program runs under Wine, whose answers are its own
  system_answer profiles_answer;  // which profiles are active
  int profile_count;
  firewall_profile profiles[firewall_profiles_most];
  system_answer rules_answer;     // how many rules it has
  long rule_count;
  system_answer port_answer;      // its own evaluation of the program's port
  bool port_allowed;
  bool port_restricted;           // allowed from some remote addresses only
  char program[512];              // the program's path, as the system has it (UTF-8)
};

// Asks the host's firewall whether it lets inbound UDP of the family in to
// this program on port, and whether it is on for the active profiles
// (firewall_win32.cpp; elsewhere firewall_none.cpp, which asks nothing).
void platform_firewall_facts(ssm_family family, std::uint16_t port, firewall_facts* facts);

#endif  // PLATFORM_HOST_VERDICTS_H
