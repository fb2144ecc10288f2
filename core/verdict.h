// The verdict on a channel: whether its datagrams came, whether any are
// missing, and where they were lost, decided once from what was seen, for
// every program to word (ssm_check's report, the receivers' warnings, a
// monitor's events).
#ifndef CORE_VERDICT_H
#define CORE_VERDICT_H

#include <cstddef>
#include <cstdint>

#include "core/exit_status.h"
#include "core/host_findings.h"

// What was seen of a channel over some time.
struct verdict_facts {
  bool joined;                 // the membership was accepted
  const char* join_refusal;    // else why not
  std::int64_t received;       // datagrams from the source the program took
  std::int64_t others;         // datagrams to the port from other senders
  // Every datagram from the source the socket gave up to the moment the
  // link was last counted (received, and any taken after the end).
  std::int64_t taken;
  bool link_checked;           // a capture counted the channel on the interface
  const char* link_reason;     // else why not
  long long link_seen;         // the channel's datagrams the interface saw
  long long host_dropped;      // the socket's own drops (a full queue); -1 unknown
  // UDP datagrams this whole host received in error meanwhile (all its
  // sockets), where the system keeps no count per socket; -1 unknown.
  long long host_udp_errors;
  const char* queue_limit;     // the system limit that holds the queue down; nullptr none
  std::int64_t numbers;        // sequence numbers checked (datagrams of 4 bytes or more)
  std::int64_t missing;        // numbers missing
  std::int64_t expected;       // numbers expected
  const host_findings* host;   // the host's checks after the join
  bool ipv6;
  const char* firewall_advice; // how to look at this system's firewall
};

// What the verdict says of the datagrams.
enum verdict_kind {
  verdict_complete,    // every number came, and nothing was dropped here
  verdict_unnumbered,  // datagrams came, none with a number, nothing dropped here
  verdict_losses,      // numbers missing, or this host dropped datagrams
  verdict_nothing      // nothing came from the source
};

// Where datagrams were lost, or why nothing came.
enum verdict_cause {
  cause_none,
  cause_join_refused,   // the system refused the membership
  cause_reverse_path,   // the kernel's input route check (reverse-path filtering)
  cause_martian_source, // the source is an address of this host, coming in over a link
  cause_firewall,       // the firewall says it blocks them, or the link saw them and this
                        // host dropped them otherwise
  cause_not_on_link,    // the interface never saw them: the network or the sender
  cause_unknown         // the link could not be checked
};

struct channel_verdict {
  verdict_kind kind;
  verdict_cause cause;        // cause_none where nothing was lost
  long long after_link;       // datagrams the link saw that this host dropped; -1 not known
  long long queue_dropped;    // those the socket's full queue dropped (0 none, -1 unknown)
  int status;                 // the exit status: 0, exit_missing or exit_nothing
};

// Decides the verdict from the facts.
channel_verdict decide_verdict(const verdict_facts* facts);

// The cause's name for machines: "join_refused", "reverse_path",
// "martian_source", "firewall", "not_on_link", "unknown" ("" for none).
const char* verdict_cause_name(verdict_cause cause);

// Words the reverse-path filtering in force: "rp_filter 1 on eth0", or the
// setting for all interfaces where it is the higher ("rp_filter 1 on all
// interfaces, over 0 on eth0"), or "on eth0" where it is not known.
void word_filter_setting(const host_findings* found, char* out, std::size_t room);

// Words why the host refuses the channel, as every program says it:
// "reverse-path filtering (rp_filter 1 on eth0) drops datagrams from S: its
// route leaves by eth1", "the input route check on eth0 drops ...", or the
// martian source. source is the source's text.
void word_host_refusal(const host_findings* host, const char* source, char* out,
                       std::size_t room);

// Words why nothing came, after "nothing arrived from S: " (or a monitor's
// "silent for N s: cause: "). interface is the membership's interface's
// name, or nullptr where the system does not say which it is.
void word_nothing_reason(const verdict_facts* facts, const channel_verdict* verdict,
                         const char* interface, const char* source, char* out, std::size_t room);

// Words the whole verdict of ssm_check's report.
void word_verdict(const verdict_facts* facts, const channel_verdict* verdict,
                  const char* interface, const char* source, char* out, std::size_t room);

#endif  // CORE_VERDICT_H
