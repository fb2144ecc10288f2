#include "core/pace.h"

namespace {

// Where the system does not say how large the queue is: the usual default.
const long assumed_queue_bytes = 212992;

double smaller(double a, double b) {
  return a < b ? a : b;
}

}  // namespace

long pace_queue_share(long queue_bytes) {
  return (queue_bytes > 0 ? queue_bytes : assumed_queue_bytes) / 2;
}

double pace_longest_pause_us(double rate_per_us, double bytes_per_datagram,
                             long queue_share_bytes) {
  double by_count = pace_gather_most / rate_per_us;
  double by_queue = static_cast<double>(queue_share_bytes) / (rate_per_us * bytes_per_datagram);
  return smaller(by_count, by_queue);
}

void pace_start(pace_state* pace, long queue_bytes, std::int64_t now_us) {
  *pace = pace_state{};
  pace->queue_share_bytes = pace_queue_share(queue_bytes);
  pace->bytes_per_datagram = pace_queue_cost_per_datagram;
  pace->dry_us = now_us;
}

void pace_took(pace_state* pace, int count, long bytes) {
  pace->taken += count;
  pace->taken_bytes += bytes;
}

pace_step pace_when_dry(pace_state* pace, bool held, std::int64_t now_us) {
  std::int64_t window_us = now_us - pace->dry_us;
  if (pace->paused && pace->taken == 0) {
    // The pause gathered nothing: the stream slowed down or stopped.
    pace->rate_per_us = 0;
  } else {
    double sample = static_cast<double>(pace->taken) /
                    static_cast<double>(window_us > 0 ? window_us : 1);
    // A faster stream is believed at once, so that the next pause does not
    // overfill the batch; a slower one is averaged over the last few.
    pace->rate_per_us = sample > pace->rate_per_us ? sample : (pace->rate_per_us + sample) / 2;
  }
  if (pace->taken > 0) {
    double cost = static_cast<double>(pace->taken_bytes) / static_cast<double>(pace->taken) +
                  pace_queue_cost_per_datagram;
    pace->bytes_per_datagram = (pace->bytes_per_datagram + cost) / 2;
  }
  if (!held) {
    pace->holding = false;
  } else if (!pace->holding) {
    // The oldest line held cannot have reached the queue before it was last
    // seen dry.
    pace->holding = true;
    pace->held_since_us = pace->dry_us;
  }
  pace->dry_us = now_us;
  pace->taken = 0;
  pace->taken_bytes = 0;

  pace_step step{false, 0};
  double pause_us = 0;
  if (pace->rate_per_us > 0) {
    double longest =
        pace_longest_pause_us(pace->rate_per_us, pace->bytes_per_datagram, pace->queue_share_bytes);
    double room = pace->holding
                      ? static_cast<double>(pace->held_since_us + line_wait_most_us - now_us)
                      : static_cast<double>(line_wait_most_us);
    pause_us = smaller(longest, room);
    if (pace->holding && pace->rate_per_us * pause_us < pace_worth_a_pause) {
      // Too little time left for these lines: out they go, and the next
      // pause gathers lines of its own.
      step.write_out = true;
      pace->holding = false;
      pause_us = smaller(longest, static_cast<double>(line_wait_most_us));
    }
    if (pace->rate_per_us * pause_us < pace_worth_a_pause) {
      pause_us = 0;
    }
  }
  step.pause_us = static_cast<int>(pause_us);
  if (step.pause_us <= 0 && pace->holding) {
    // No pause: the loop blocks next, with no line held.
    step.write_out = true;
    pace->holding = false;
  }
  pace->paused = step.pause_us > 0;
  return step;
}

bool pace_fast(const pace_state* pace, std::int64_t now_us) {
  std::int64_t window_us = now_us - pace->dry_us;
  double sample =
      static_cast<double>(pace->taken) / static_cast<double>(window_us > 0 ? window_us : 1);
  double rate = sample > pace->rate_per_us ? sample : pace->rate_per_us;
  return rate * static_cast<double>(line_wait_most_us) >= pace_worth_a_pause;
}

bool pace_write_due(const pace_state* pace, std::int64_t now_us) {
  // While the queue never runs dry, a line cannot have been held since
  // before the last write-out, whenever its datagram queued.
  std::int64_t since = pace->holding ? pace->held_since_us : pace->dry_us;
  if (pace->wrote_us > since) {
    since = pace->wrote_us;
  }
  return now_us - since >= line_wait_most_us;
}

void pace_wrote_out(pace_state* pace, std::int64_t now_us) {
  pace->holding = false;
  pace->wrote_us = now_us;
}

bool pace_fell_behind(const pace_state* pace) {
  return pace->taken >= 2L * pace_gather_most;
}
