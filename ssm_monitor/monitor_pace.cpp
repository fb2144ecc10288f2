#include "ssm_monitor/monitor_pace.h"

#include <algorithm>

#include "core/pace.h"

int monitor_pause_us(monitor_round* round, long queue_bytes, std::int64_t now_us,
                     std::int64_t room_us) {
  if (round->left_behind) {
    round->left_behind = false;
    return 0;
  }
  double window_us = static_cast<double>(now_us - round->emptied_us);
  double pause_us = 0;
  if (round->taken > 0 && window_us > 0) {
    double all_per_us = static_cast<double>(round->taken) / window_us;
    double fastest_per_us = static_cast<double>(round->most_taken) / window_us;
    double per_datagram = pace_queue_cost_per_datagram + static_cast<double>(round->bytes) /
                                                             static_cast<double>(round->taken);
    pause_us = std::min({pace_longest_pause_us(fastest_per_us, per_datagram,
                                               pace_queue_share(queue_bytes)),
                         static_cast<double>(monitor_pause_most_us),
                         static_cast<double>(room_us)});
    if (all_per_us * pause_us < pace_worth_a_pause) {
      pause_us = 0;
    }
  }
  *round = monitor_round{};
  round->emptied_us = now_us;
  return static_cast<int>(pause_us);
}
