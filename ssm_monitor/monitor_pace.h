// How long ssm_monitor's loop pauses after a round of receives, so that the
// next round finds several datagrams on each socket instead of waking for
// each one: sized by the fastest channel and the receive queue, as
// ssm_listen sizes its pauses by its stream.
#ifndef SSM_MONITOR_MONITOR_PACE_H
#define SSM_MONITOR_MONITOR_PACE_H

#include <cstdint>

// What the receives took since every socket was last left empty: the
// pacing's own record, zeroed to start.
struct monitor_round {
  std::int64_t emptied_us;  // when every socket was last left empty
  std::int64_t taken;       // datagrams taken since, from every socket
  std::int64_t bytes;       // their payload
  std::int64_t most_taken;  // the most that one receive took from one socket
  bool left_behind;         // the last wait or a receive was full: more may be queued
};

// The longest pause, in microseconds: as long as ssm_listen holds a line.
const int monitor_pause_most_us = 1000;

// The pause after a round of receives, in microseconds (0: none). A round
// that left datagrams behind gets none and counts on into the next; any
// other is measured from emptied_us to now_us and begun anew. The pause lets
// the fastest socket gather at most pace_gather_most datagrams and fill at
// most half of queue_bytes (0: unknown), lasts at most monitor_pause_most_us
// and room_us, and is made only when it is expected to gather two datagrams
// or more in all.
int monitor_pause_us(monitor_round* round, long queue_bytes, std::int64_t now_us,
                     std::int64_t room_us);

#endif  // SSM_MONITOR_MONITOR_PACE_H
