// What the host's checks found on the interface a channel's membership is
// on: the facts the receivers' warnings, ssm_check's report and verdicts
// are worded from.
#ifndef CORE_HOST_FINDINGS_H
#define CORE_HOST_FINDINGS_H

struct host_findings {
  bool checked;                 // whether this system lets the checks be made at all
  bool stays_on_host;           // a loopback membership, or a source on that interface itself
  bool interface_down;          // the membership's interface is down: nothing comes in on it
  char interface_name[64];      // the membership's interface; "" when none is known
  bool reverse_path_drops;      // the kernel's input route check refuses the channel there
  bool martian_source;          // refused so because the source is an address of this host
  int rp_filter;                // reverse-path filtering in force there (0, 1, 2); -1 unknown
  int rp_filter_own;            // as set for the interface itself; -1 unknown
  int rp_filter_all;            // as set for all interfaces; -1 unknown
  char route_back[64];          // the interface the route back to the source leaves by; "" none
  bool no_route_back;           // the system has no route back to the source at all
  int group_protocol_version;   // IGMP 1-3 (IPv4) or MLD 1-2 (IPv6) there; 0 unknown
  char version_cause[128];      // why below IGMPv3 or MLDv2: the setting, or (IGMP) a querier heard
};

#endif  // CORE_HOST_FINDINGS_H
