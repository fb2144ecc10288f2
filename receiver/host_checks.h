// What this host itself does to a channel's datagrams: whether it will drop
// them (reverse-path filtering; an interface that speaks only IGMPv2 or
// MLDv1, whose reports routers serving SSM ignore), and how many its socket
// dropped before they were read.
#ifndef RECEIVER_HOST_CHECKS_H
#define RECEIVER_HOST_CHECKS_H

#include "ssm_receiver.h"

// What the checks found on the interface the membership is on.
struct host_findings {
  bool checked;                 // whether this system lets the checks be made at all
  char interface_name[64];      // the membership's interface; "" when none is known
  bool reverse_path_drops;      // the kernel's input route check refuses the channel there
  int rp_filter;                // reverse-path filtering in force there (0, 1, 2); -1 unknown
  char route_back[64];          // the interface the route back to the source leaves by; "" none
  int group_protocol_version;   // IGMP 1-3 (IPv4) or MLD 1-2 (IPv6) there; 0 unknown
  char version_cause[128];      // why it is below IGMPv3 or MLDv2: the setting, or the querier heard
};

// Looks for the host's blockers of the receiver's channel on the interface
// its membership is on. Call after an accepted join: before it, the kernel's
// route check refuses every channel.
void find_host_blockers(const ssm_receiver* receiver, host_findings* found);

// Writes one warning line on standard error for each blocker found.
void warn_host_blockers(const char* program, const ssm_receiver* receiver,
                        const host_findings* found);

// How many datagrams the socket dropped before they were read, since it was
// opened (a full queue, a bad checksum); -1 where the system does not say.
long long host_socket_drops(ssm_socket socket);

#endif  // RECEIVER_HOST_CHECKS_H
