#include "core/exit_status.h"
#include "core/output.h"
#include "platform/process.h"
#include "platform/readiness.h"
#include "platform/socket.h"
#include "ssm_monitor/metrics_file.h"
#include "ssm_monitor/metrics_server.h"
#include "ssm_monitor/monitor_loop.h"
#include "ssm_monitor/monitor_pace.h"

#include <cstdio>
#include <numeric>
#include <string>
#include <unordered_map>

namespace {

// How often every channel is looked at: renewals, silences, the events of
// the second.
const std::int64_t look_every_us = 100000;

// How many ready sockets one wait hands over at most.
const int ready_most = 256;

int look_at_all(monitor* m, std::int64_t now_us) {
  std::int64_t unix_ms = platform_wall_clock_ms();
  return std::accumulate(m->slots.begin(), m->slots.end(), 0,
                         [&](int failed, monitor_channel* channel) {
                           return channel == nullptr
                                      ? failed
                                      : failed | look_at_channel(m, channel, now_us, unix_ms);
                         });
}

// Takes what the sockets that are ready hold, and counts it in *round.
// Returns 0, or -1 when standard output cannot be written.
int take_ready(monitor* m, const readiness_event* ready, int count, monitor_round* round) {
  std::int64_t now_us = platform_monotonic_us();
  std::int64_t unix_ms = platform_wall_clock_ms();
  const int receive_most = take_most < platform_batch_limit() ? take_most : platform_batch_limit();
  for (int i = 0; i < count; ++i) {
    std::uint32_t tag = ready[i].tag;
    if (tag == wake_tag) {
      // A stop shut it, or a stray datagram came: the loop looks.
      unsigned char head[4];
      long length = 0;
      ssm_address sender;
      (void)platform_receive_heads(m->wake, head, sizeof head, 1, &length, &sender);
      continue;
    }
    if (metrics_tag(tag)) {
      serve_metrics(m, tag, now_us);
      continue;
    }
    monitor_channel* channel = tag < m->slots.size() ? m->slots[tag] : nullptr;
    if (channel == nullptr) {
      continue;
    }
    std::int64_t before = channel->datagrams + channel->others;
    std::int64_t bytes = channel->bytes;
    if (take_datagrams(m, channel, now_us, unix_ms) != 0) {
      return -1;
    }
    std::int64_t taken = channel->datagrams + channel->others - before;
    round->taken += taken;
    round->bytes += channel->bytes - bytes;
    round->most_taken = taken > round->most_taken ? taken : round->most_taken;
    round->left_behind = round->left_behind || taken >= receive_most;
  }
  return 0;
}

// When the channels are looked at next, and the pacing of the receives.
struct loop_pace {
  std::int64_t next_look_us;
  long queue_bytes;  // the smallest receive queue granted
  monitor_round round;
};

// Looks at every channel when it is time. Returns 0 or -1 (output).
int look_when_due(monitor* m, loop_pace* pace, std::int64_t now_us) {
  if (now_us < pace->next_look_us) {
    return 0;
  }
  pace->next_look_us = now_us + look_every_us;
  look_at_clients(m, now_us);
  write_metrics_file(m, now_us);
  return look_at_all(m, now_us);
}

// Reads the file again: channels added are joined, channels gone are left,
// the others keep their counts. A file in error changes nothing.
int reload(monitor* m) {
  std::vector<channel_entry> wanted = m->operand_channels;
  char problem[channel_problem_room];
  if (list_file_channels(m->options->file, &wanted, problem, sizeof problem) != 0) {
    (void)std::fprintf(stderr, "%s: %s: keeping the %ld channel%s in use\n", m->program, problem,
                       m->channels, m->channels == 1 ? "" : "s");
    return 0;
  }
  std::int64_t now_us = platform_monotonic_us();
  std::int64_t unix_ms = platform_wall_clock_ms();
  // Each key made once: with thousands of channels, comparing every pair
  // would hold the loop for seconds.
  std::unordered_map<std::string, std::size_t> wanted_at;
  for (std::size_t i = 0; i < wanted.size(); ++i) {
    wanted_at.emplace(channel_key(wanted[i]), i);
  }
  std::vector<bool> kept(wanted.size(), false);
  for (std::size_t slot = 0; slot < m->slots.size(); ++slot) {
    monitor_channel* channel = m->slots[slot];
    if (channel == nullptr) {
      continue;
    }
    auto found = wanted_at.find(channel_key(channel->entry));
    if (found == wanted_at.end()) {
      if (drop_channel(m, slot, true, unix_ms) != 0) {
        return output_failure(m->program);
      }
      continue;
    }
    // The same channel: its counts go on; its name and line may change.
    const channel_entry& same = wanted[found->second];
    kept[found->second] = true;
    (void)std::snprintf(channel->entry.name, sizeof channel->entry.name, "%s", same.name);
    channel->entry.line = same.line;
  }
  for (std::size_t i = 0; i < wanted.size(); ++i) {
    if (!kept[i]) {
      int status = add_channel(m, wanted[i], now_us, unix_ms);
      if (status != 0) {
        return status;
      }
    }
  }
  return 0;
}

// Ends the watching: the events of the second still due are written, and
// every membership is left.
int finish(monitor* m) {
  std::int64_t unix_ms = platform_wall_clock_ms();
  int failed = 0;
  for (std::size_t slot = 0; slot < m->slots.size(); ++slot) {
    if (m->slots[slot] != nullptr) {
      failed |= say_pending(m, m->slots[slot], unix_ms);
      failed |= drop_channel(m, slot, false, unix_ms);
    }
  }
  if (failed != 0 || flush_output() != 0) {
    return output_failure(m->program);
  }
  return 0;
}

// The smallest receive queue the system granted a channel (0: it does not
// say): what the pauses are sized by.
long smallest_queue(const monitor* m) {
  long smallest = 0;
  for (const monitor_channel* channel : m->slots) {
    long granted = channel == nullptr ? 0 : platform_receive_queue_bytes(channel->receiver.socket);
    if (granted > 0 && (smallest == 0 || granted < smallest)) {
      smallest = granted;
    }
  }
  return smallest;
}

// Pauses after a round of receives as the stream allows, so that the next
// round finds several datagrams on each socket instead of waking for each
// one. Events do not wait on it: they are written out first.
void pause_after_round(monitor* m, loop_pace* pace, int ready_count) {
  pace->round.left_behind = pace->round.left_behind || ready_count == ready_most;
  std::int64_t now_us = platform_monotonic_us();
  int pause_us = monitor_pause_us(&pace->round, pace->queue_bytes, now_us,
                                  pace->next_look_us - now_us);
  if (pause_us > 0) {
    platform_pause(m->wake, pause_us);
  }
}

}  // namespace

int monitor_loop(monitor* m) {
  readiness_event ready[ready_most];
  loop_pace pace{platform_monotonic_us(), smallest_queue(m), monitor_round{}};
  pace.round.emptied_us = pace.next_look_us;
  for (;;) {
    if (stop_requested()) {
      return finish(m);
    }
    if (platform_reload_requested() && m->options->file != nullptr) {
      int status = reload(m);
      if (status != 0) {
        return status;
      }
    }
    std::int64_t now_us = platform_monotonic_us();
    // No event waits while the loop does.
    if (look_when_due(m, &pace, now_us) != 0 || (output_pending() && flush_output() != 0)) {
      return output_failure(m->program);
    }
    auto wait_ms = static_cast<int>((pace.next_look_us - now_us + 999) / 1000);
    int count = platform_wait_ready(m->ready, ready, ready_most, wait_ms);
    if (count == wait_cut_short) {
      continue;
    }
    if (count < 0) {
      print_failure(m->program, "wait for datagrams", platform_socket_error_text());
      return exit_failure;
    }
    if (take_ready(m, ready, count, &pace.round) != 0 ||
        (output_pending() && flush_output() != 0)) {
      return output_failure(m->program);
    }
    pause_after_round(m, &pace, count);
  }
}
