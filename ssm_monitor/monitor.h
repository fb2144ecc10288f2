// ssm_monitor's state: the channels it watches, what it knows of each, and
// what they are waited on with.
#ifndef SSM_MONITOR_MONITOR_H
#define SSM_MONITOR_MONITOR_H

#include <cstdint>
#include <vector>

#include "core/report_line.h"
#include "core/sequence_tally.h"
#include "core/ssm_receiver.h"
#include "platform/readiness.h"
#include "platform/socket.h"
#include "ssm_monitor/channel_list.h"
#include "ssm_monitor/monitor_options.h"

// One channel watched.
struct monitor_channel {
  channel_entry entry;      // as given; receiver.channel's interface name points into it
  ssm_receiver receiver;    // the socket, the channel, the membership and the host's findings
  char group[address_text_max];   // the addresses as the events write them
  char source[address_text_max];
  // Its state.
  bool refused;             // the last membership request was refused
  bool refusal_said;        // and a refused event said so
  bool up;                  // a datagram came within -s seconds
  bool silent;              // said silent, and nothing came since
  const char* silence_cause;  // the cause the silent event gave; nullptr while up
  std::int64_t joined_us;   // when watching it began (the steady clock)
  std::int64_t quiet_us;    // the last datagram from the source, or the join
  std::int64_t renewed_us;  // the last membership request
  std::int64_t second_us;   // when its events of the second are due next
  std::int64_t last_unix_ms;  // the last datagram, on the wall clock; 0 none
  // Its counts.
  std::int64_t datagrams;   // from the source
  std::int64_t bytes;       // their payload
  std::int64_t others;      // datagrams to its socket from any other sender
  long long host_dropped;   // the socket's own drops as last read; -1 unknown
  long long dropped_said;   // the total the last host_dropped event gave
  bool took;                // datagrams came since the drops were last read
  std::int64_t jumps_said;
  sequence_tally tally;
  // The count on the link that finds why a silence is one.
  ssm_socket capture;       // ssm_no_socket: none running
  std::int64_t capture_us;  // when it began
  long long link_seen;
  bool link_checked;
  const char* link_reason;  // why the link was not checked
};

// Tags of the sockets that are not channels' in the readiness set (those of
// the metrics endpoint are in metrics_server.h).
const std::uint32_t wake_tag = 0xffffffffU;

// The metrics endpoint (-l) and file (-o), where asked for.
struct metrics_server;
struct metrics_file;

// The whole monitor.
struct monitor {
  const char* program;
  const monitor_options* options;
  std::vector<monitor_channel*> slots;  // a channel's readiness tag is its slot; nullptr: free
  std::vector<channel_entry> operand_channels;  // those of the command line, kept at a reload
  readiness_set* ready;
  ssm_socket wake;          // what a stop request cuts short
  int captures;             // links being counted now
  long channels;
  metrics_server* server;   // nullptr without -l
  metrics_file* file;       // nullptr without -o
};

// How many datagrams take_datagrams takes from a socket in one receive at
// most (and at most platform_batch_limit()).
const int take_most = 64;

// How many links may be counted at once: each count costs a filter run for
// every packet on the interface.
const int capture_most = 64;

// Opens, binds and joins the channel of the entry into a new slot. Returns 0,
// or the exit status after one line on standard error (the socket cannot be
// opened or bound).
int add_channel(monitor* m, const channel_entry& entry, std::int64_t now_us,
                std::int64_t unix_ms);

// Leaves the channel in the slot and frees it; says "left" where asked.
int drop_channel(monitor* m, std::size_t slot, bool say_left, std::int64_t unix_ms);

// Takes what is queued on the channel's socket and counts it. Returns 0, or
// -1 when standard output cannot be written.
int take_datagrams(monitor* m, monitor_channel* channel, std::int64_t now_us,
                   std::int64_t unix_ms);

// Does what is due for the channel by now: renewals while silent, the
// silence and why, the events of the last second. Returns 0 or -1 (output).
int look_at_channel(monitor* m, monitor_channel* channel, std::int64_t now_us,
                    std::int64_t unix_ms);

// Says the channel's events of the second now, whatever the time (before the
// program ends). Returns 0 or -1 (output).
int say_pending(monitor* m, monitor_channel* channel, std::int64_t unix_ms);

#endif  // SSM_MONITOR_MONITOR_H
