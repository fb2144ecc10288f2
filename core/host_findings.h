// What the host's checks found on the interface a channel's membership is
// on: the facts the receivers' warnings, ssm_check's report and verdicts
// are worded from.
#ifndef CORE_HOST_FINDINGS_H
#define CORE_HOST_FINDINGS_H

// What the host's firewall does to inbound UDP to the program's port, decided
// from the firewall's own answers (core/firewall_verdict.h).
enum firewall_state {
  firewall_not_asked,   // this system's firewall is not asked: nothing is said of it
  firewall_cannot_say,  // asked, and no real answer came
  firewall_off,         // off for every active profile
  firewall_allowed,     // on, and its own evaluation lets the port in
  firewall_blocked      // on, and its own evaluation keeps the port out
};

struct firewall_finding {
  firewall_state state;
  bool restricted;        // allowed from some remote addresses only
  char profiles[40];      // the active profiles it is on for ("private and public"); off: all
  char profile_list[32];  // the same as netsh takes them ("private,public")
  char why[160];          // cannot say: why
  char program[512];      // the program's path, as the system has it
  unsigned port;
};

struct host_findings {
  bool checked;                 // whether this system lets the checks be made at all
  bool stays_on_host;           // a loopback membership, or a source on that interface itself
  bool interface_down;          // the membership's interface is down: nothing comes in on it
  char interface_name[64];      // the membership's interface; "" when none is known
  bool route_checked;           // the kernel's input route check answered for the channel there
  bool reverse_path_drops;      // the kernel's input route check refuses the channel there
  bool martian_source;          // refused so because the source is an address of this host
  int rp_filter;                // reverse-path filtering in force there (0, 1, 2); -1 unknown
  int rp_filter_own;            // as set for the interface itself; -1 unknown
  int rp_filter_all;            // as set for all interfaces; -1 unknown
  char route_back[64];          // the interface the route back to the source leaves by; "" none
  bool no_route_back;           // the system has no route back to the source at all
  // No interface named, and the system chose another than the one the route
  // to the source leaves by (route_back; its index below).
  bool chosen_off_route;
  unsigned route_back_index;
  int group_protocol_version;   // IGMP 1-3 (IPv4) or MLD 1-2 (IPv6) there; 0 unknown
  char version_cause[128];      // why below IGMPv3 or MLDv2: the setting, or (IGMP) a querier heard
  const char* version_unknown_why;  // version unknown: why, where the system says
  firewall_finding firewall;
};

#endif  // CORE_HOST_FINDINGS_H
