// What this host itself does to a channel's datagrams: whether it will drop
// them (reverse-path filtering; an interface that speaks only IGMPv2 or
// MLDv1, whose reports routers serving SSM ignore), and how many its socket
// dropped before they were read.
#ifndef RECEIVER_HOST_CHECKS_H
#define RECEIVER_HOST_CHECKS_H

#include <cstdint>

#include "ssm_receiver.h"

// What the checks found on the interface the membership is on.
struct host_findings {
  bool checked;                 // whether this system lets the checks be made at all
  bool stays_on_host;           // a loopback membership or a local source: nothing can block
  char interface_name[64];      // the membership's interface; "" when none is known
  bool reverse_path_drops;      // the kernel's input route check refuses the channel there
  int rp_filter;                // reverse-path filtering in force there (0, 1, 2); -1 unknown
  int rp_filter_own;            // as set for the interface itself; -1 unknown
  int rp_filter_all;            // as set for all interfaces; -1 unknown
  char route_back[64];          // the interface the route back to the source leaves by; "" none
  bool no_route_back;           // the system has no route back to the source at all
  int group_protocol_version;   // IGMP 1-3 (IPv4) or MLD 1-2 (IPv6) there; 0 unknown
  char version_cause[128];      // why below IGMPv3 or MLDv2: the setting, or (IGMP) a querier heard
};

// Looks for the host's blockers of the receiver's channel on the interface
// its membership is on. Call after an accepted join: before it, the kernel's
// route check refuses every channel.
void find_host_blockers(const ssm_receiver* receiver, host_findings* found);

// Whether the interface speaks a version whose reports name no source
// (IGMPv1 or v2, MLDv1), which routers serving SSM ignore.
bool speaks_old_group_protocol(const ssm_receiver* receiver, const host_findings* found);

// Words the reverse-path filtering in force: "rp_filter 1 on eth0", or the
// setting for all interfaces where it is the higher ("rp_filter 1 on all
// interfaces, over 0 on eth0"), or "on eth0" where it is not known.
void word_filter_setting(const host_findings* found, char* out, std::size_t room);

// Writes one warning line on standard error for each blocker found.
void warn_host_blockers(const char* program, const ssm_receiver* receiver,
                        const host_findings* found);

// find_host_blockers, then warn_host_blockers: what the receivers do after
// every accepted join.
void check_host_blockers(const char* program, const ssm_receiver* receiver);

// How many datagrams the socket dropped before they were read, since it was
// opened (a full queue, a bad checksum); -1 where the system does not say.
long long host_socket_drops(ssm_socket socket);

// The socket's drop count, as a receive loop watches it.
struct drop_watch {
  ssm_socket socket;
  long long said;          // the total the last line gave
  bool looked;             // whether the count was read yet
  std::int64_t looked_us;  // and when, last
  int receives;            // receives since the clock was last read for it
  bool backlog;            // the loop fell behind since the count was last read
};

// The count is read at most this often while a stream goes on.
const std::int64_t drop_look_every_us = 1000000;

// Starts watching the socket's drops; nothing is read yet.
void drop_watch_start(drop_watch* watch, ssm_socket socket);

// Reads the drop count if it was last read a second or more before now_us
// (the loop's steady clock, platform_monotonic_us), and when it grew says so
// in one line on standard error, with the total since start.
void watch_host_drops(const char* program, drop_watch* watch, std::int64_t now_us);

// Counts receives made while the queue was not found dry; every so many, it
// reads the clock and watches the drops: a receiver that never catches up
// hears of its drops too.
void watch_host_drops_after(const char* program, drop_watch* watch, int receives);

// Reads the drop count once more, whatever the time, and says if it grew:
// before the program ends, so that the last line gives the final total.
void watch_host_drops_at_end(const char* program, drop_watch* watch);

// Notes that the loop fell behind the stream (see pace_fell_behind): the
// queue may have overflowed since the count was last read.
void note_receive_backlog(drop_watch* watch);

// How long a loop that would block with no limit may wait before the count
// is due (watch_host_drops): receive_wait_forever unless a backlog was noted
// since it was last read; else what is left of the second since then, in
// milliseconds rounded up, so that the drops of a burst are said though no
// datagram follows it.
int drop_look_wait_ms(const drop_watch* watch, std::int64_t now_us);

#endif  // RECEIVER_HOST_CHECKS_H
