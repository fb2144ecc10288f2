// What ssm_check gathers while it listens to the channel.
#ifndef SSM_CHECK_CHECK_RUN_H
#define SSM_CHECK_CHECK_RUN_H

#include <cstdint>

#include "core/sequence_tally.h"
#include "core/ssm_receiver.h"
#include "ssm_check/check_options.h"

// What ended the listening.
enum check_end { ended_by_time, ended_by_count, ended_by_stop };

// Everything the report tells.
struct check_facts {
  std::int64_t joined_us;      // when start-up (and its join) was done
  std::int64_t ended_us;
  check_end end;
  int stop;                    // the stop request that ended it, if one did
  // From the source:
  std::int64_t received;       // while listening: up to the -c count, before the time ran out
  std::int64_t taken;          // all the socket gave: received, and what was queued at the end
  std::int64_t first_us;       // when the first and the last came
  std::int64_t last_us;
  long smallest;
  long largest;
  std::int64_t bytes;
  std::int64_t without_sequence;  // shorter than the 4 bytes of a number
  sequence_tally tally;
  // From any other sender:
  std::int64_t others;
  ssm_address first_other;
  long long host_dropped;      // the socket's own drop count; -1 unknown
  // UDP datagrams the whole host received in error while listening, where the
  // system keeps no count per socket; -1 unknown.
  long long host_udp_errors;
  const char* queue_limit;     // the system limit that holds its queue down; nullptr none
  // The link, counted by a capture on the membership's interface:
  bool link_checked;
  const char* link_reason;     // why it was not checked
  long long link_seen;         // up to the end of the listening
};

// Sets up the facts before the listening: nothing received yet.
void start_facts(check_facts* facts, std::int64_t joined_us);

// Listens on the receiver's socket until the time is up, options->count
// datagrams came from the source or a stop request came, and counts what
// came; then reads the count of the capture (ssm_no_socket: none, and
// facts->link_checked false) and takes what the socket still holds into
// facts->taken. The host's UDP errors are counted over it all. Returns 0, or -1 when a wait failed (reason in
// platform_socket_error_text()).
int run_check(const ssm_receiver* receiver, ssm_socket capture, const check_options* options,
              check_facts* facts);

#endif  // SSM_CHECK_CHECK_RUN_H
