// One channel of the monitor: its membership and renewals as ssm_watch keeps
// them, what comes on its socket, and its silences and why, as ssm_check
// finds them.
#include <cstdio>
#include <new>

#include "core/exit_status.h"
#include "core/host_checks.h"
#include "core/report_line.h"
#include "core/sequence_text.h"
#include "core/verdict.h"
#include "platform/capture.h"
#include "platform/host_verdicts.h"
#include "platform/membership.h"
#include "platform/process.h"
#include "platform/socket.h"
#include "ssm_monitor/monitor.h"
#include "ssm_monitor/monitor_events.h"

namespace {

const std::int64_t second_us = 1000000;

// How much of each datagram is kept: the sequence number.
const std::size_t head_size = 4;

event_channel who(const monitor_channel* channel) {
  return event_channel{channel->group, channel->source, channel->receiver.channel.port,
                       channel->receiver.host.interface_name, channel->entry.name};
}

int say(const monitor* m, const monitor_channel* channel, const monitor_event& event,
        std::int64_t unix_ms) {
  event_channel about = who(channel);
  return write_event(&about, &event, m->options->json, unix_ms);
}

// Notes the membership's interface name for the events, where it is known.
void name_interface(monitor_channel* channel) {
  ssm_receiver& receiver = channel->receiver;
  if (receiver.membership_interface == 0 ||
      !platform_interface_name(receiver.membership_interface, receiver.host.interface_name,
                               sizeof receiver.host.interface_name)) {
    receiver.host.interface_name[0] = '\0';
  }
}

// Asks for the membership (first: join; then: renew) and says what changed.
int request_membership(monitor* m, monitor_channel* channel, bool first, std::int64_t now_us,
                       std::int64_t unix_ms) {
  ssm_receiver& receiver = channel->receiver;
  const char* reason = nullptr;
  unsigned held = receiver.membership_interface;
  int result = first ? join_ssm_channel(&receiver, &reason)
                     : renew_ssm_membership(&receiver, &reason);
  channel->renewed_us = now_us;
  // Refused as one in place is: where the system does not say which
  // interface holds it (Windows), that is all a refusal can mean.
  bool in_place = !first && !channel->refused && held == 0;
  if (result == renewal_held || (result != 0 && in_place)) {
    return 0;
  }
  monitor_event event{};
  if (result == 0) {
    receiver.joined = true;
    name_interface(channel);
    bool news = first || channel->refused;
    channel->refused = false;
    channel->refusal_said = false;
    if (!news) {
      return 0;
    }
    event.kind = event_joined;
    return say(m, channel, event, unix_ms);
  }
  receiver.joined = false;
  channel->refused = true;
  (void)std::snprintf(receiver.join_refusal, sizeof receiver.join_refusal, "%s", reason);
  if (channel->refusal_said) {
    return 0;  // once per run of refusals
  }
  channel->refusal_said = true;
  event.kind = event_refused;
  event.reason = receiver.join_refusal;
  return say(m, channel, event, unix_ms);
}

// Starts counting the channel on its interface, for the silence to come.
void start_capture(monitor* m, monitor_channel* channel, std::int64_t now_us) {
  const ssm_receiver& receiver = channel->receiver;
  channel->link_seen = 0;
  channel->link_checked = false;
  if (channel->refused) {
    channel->link_reason = "no membership";
    return;
  }
  if (m->captures >= capture_most) {
    channel->link_reason = "too many channels are being counted at once";
    return;
  }
  const ssm_channel& wanted = receiver.channel;
  channel->capture = platform_open_link_capture(receiver.membership_interface, &wanted.group,
                                                &wanted.source, wanted.port,
                                                &channel->link_reason);
  if (channel->capture != ssm_no_socket) {
    ++m->captures;
    channel->capture_us = now_us;
    channel->link_checked = true;
  }
}

void stop_capture(monitor* m, monitor_channel* channel) {
  if (channel->capture == ssm_no_socket) {
    return;
  }
  if (platform_link_capture_count(channel->capture, &channel->link_seen) != 0) {
    channel->link_checked = false;
    channel->link_reason = "the capture's count could not be read";
  }
  platform_close_link_capture(channel->capture);
  channel->capture = ssm_no_socket;
  --m->captures;
}

// Says the channel silent, with why as ssm_check would find it.
int say_silent(monitor* m, monitor_channel* channel, std::int64_t now_us, std::int64_t unix_ms) {
  stop_capture(m, channel);
  ssm_receiver& receiver = channel->receiver;
  if (!channel->refused) {
    find_host_blockers(&receiver, &receiver.host);
    name_interface(channel);
  }
  verdict_facts facts{};
  facts.joined = !channel->refused;
  facts.join_refusal = receiver.join_refusal;
  facts.link_checked = channel->link_checked;
  facts.link_reason = channel->link_reason;
  facts.link_seen = channel->link_seen;
  facts.host_dropped = channel->host_dropped;
  facts.host = &receiver.host;
  facts.ipv6 = receiver.channel.group.family == ssm_ipv6;
  facts.firewall_advice = platform_firewall_advice();
  channel_verdict verdict = decide_verdict(&facts);
  char reason[1000];
  const char* interface = receiver.host.interface_name[0] != '\0' ? receiver.host.interface_name
                                                                  : nullptr;
  word_nothing_reason(&facts, &verdict, interface, channel->source, reason, sizeof reason);
  channel->silent = true;
  channel->up = false;
  channel->silence_cause = verdict_cause_name(verdict.cause);
  monitor_event event{};
  event.kind = event_silent;
  event.for_s = (now_us - channel->quiet_us) / second_us;
  event.cause = channel->silence_cause;
  event.reason = reason;
  event.link_datagrams = channel->link_checked ? channel->link_seen : -1;
  return say(m, channel, event, unix_ms);
}

// The silence and its count on the link: the count starts a second before
// the silence is due (half of it for -s 1), so that the cause is known the
// moment the channel is silent.
int look_at_silence(monitor* m, monitor_channel* channel, std::int64_t now_us,
                    std::int64_t unix_ms) {
  std::int64_t due_us = m->options->silence_s * second_us;
  std::int64_t lead_us = due_us > 2 * second_us ? second_us : due_us / 2;
  std::int64_t quiet_us = now_us - channel->quiet_us;
  if (channel->silent || quiet_us < due_us - lead_us) {
    return 0;
  }
  bool counting = channel->capture != ssm_no_socket;
  if (!counting && quiet_us < due_us) {
    start_capture(m, channel, now_us);
    return 0;
  }
  if (quiet_us < due_us) {
    return 0;
  }
  if (counting) {
    // A capture that began late runs its while, unless the link saw the
    // channel already.
    if (platform_link_capture_count(channel->capture, &channel->link_seen) == 0 &&
        channel->link_seen == 0 && now_us - channel->capture_us < lead_us) {
      return 0;
    }
  } else if (channel->link_reason == nullptr || !channel->refused) {
    start_capture(m, channel, now_us);
    if (channel->capture != ssm_no_socket) {
      return 0;
    }
  }
  return say_silent(m, channel, now_us, unix_ms);
}

}  // namespace

int add_channel(monitor* m, const channel_entry& entry, std::int64_t now_us,
                std::int64_t unix_ms) {
  auto* channel = new (std::nothrow) monitor_channel();
  if (channel == nullptr) {
    print_failure(m->program, "add a channel", "out of memory");
    return exit_failure;
  }
  channel->entry = entry;
  char problem[operand_problem_room];
  ssm_receiver& receiver = channel->receiver;
  // Checked when the list was read: the texts are the channel's own now.
  (void)read_channel_operands(channel->entry.group_text, channel->entry.source_text,
                              channel->entry.port_text, &receiver.channel, problem,
                              sizeof problem);
  const ssm_channel& wanted = receiver.channel;
  channel->group[format_address(channel->group, wanted.group)] = '\0';
  channel->source[format_address(channel->source, wanted.source)] = '\0';
  receiver.host.rp_filter = -1;
  receiver.host.rp_filter_own = -1;
  receiver.host.rp_filter_all = -1;
  receiver.socket = platform_open_udp_socket(wanted.group.family);
  char what[256];
  if (receiver.socket == ssm_no_socket) {
    (void)std::snprintf(what, sizeof what, "open a UDP socket for %s %s %s", entry.group_text,
                        entry.source_text, entry.port_text);
    print_failure(m->program, what, platform_socket_error_text());
    delete channel;
    return exit_failure;
  }
  unsigned scope = wanted.interface_name != nullptr ? platform_interface_index(wanted.interface_name)
                                                    : wanted.interface_index;
  if (platform_bind_group(receiver.socket, &wanted.group, wanted.port, scope) != 0) {
    (void)std::snprintf(what, sizeof what, "bind to %s port %s", channel->group,
                        entry.port_text);
    print_failure(m->program, what, platform_socket_error_text());
    platform_close_socket(receiver.socket);
    delete channel;
    return exit_failure;
  }
  channel->capture = ssm_no_socket;
  channel->host_dropped = -1;
  channel->joined_us = now_us;
  channel->quiet_us = now_us;
  channel->second_us = now_us + second_us;
  tally_start(&channel->tally);
  std::size_t slot = 0;
  while (slot < m->slots.size() && m->slots[slot] != nullptr) {
    ++slot;
  }
  if (slot == m->slots.size()) {
    m->slots.push_back(nullptr);
  }
  m->slots[slot] = channel;
  ++m->channels;
  if (platform_watch_socket(m->ready, receiver.socket, static_cast<std::uint32_t>(slot), false) !=
      0) {
    print_failure(m->program, "wait for datagrams", platform_socket_error_text());
    return exit_failure;
  }
  if (request_membership(m, channel, true, now_us, unix_ms) != 0) {
    return output_failure(m->program);
  }
  return 0;
}

int drop_channel(monitor* m, std::size_t slot, bool say_left, std::int64_t unix_ms) {
  monitor_channel* channel = m->slots[slot];
  int failed = 0;
  if (say_left) {
    monitor_event event{};
    event.kind = event_left;
    failed = say(m, channel, event, unix_ms);
  }
  stop_capture(m, channel);
  platform_unwatch_socket(m->ready, channel->receiver.socket);
  // Closing the socket leaves its membership.
  platform_close_socket(channel->receiver.socket);
  delete channel;
  m->slots[slot] = nullptr;
  --m->channels;
  return failed;
}

int take_datagrams(monitor* m, monitor_channel* channel, std::int64_t now_us,
                   std::int64_t unix_ms) {
  unsigned char heads[take_most][head_size];
  long lengths[take_most];
  ssm_address senders[take_most];
  int count = platform_receive_heads(channel->receiver.socket, &heads[0][0], head_size,
                                     take_most, lengths, senders);
  const ssm_address& source = channel->receiver.channel.source;
  bool came = false;
  for (int i = 0; i < count; ++i) {
    long length = lengths[i];
    if (length < 0) {
      continue;  // a failed receive (a bad checksum): nothing to count
    }
    if (!same_address(senders[i], source)) {
      ++channel->others;
      continue;
    }
    came = true;
    ++channel->datagrams;
    channel->bytes += length;
    if (length >= 4) {
      tally_number(&channel->tally, read_tally_number(heads[i], m->options->big_endian));
    }
  }
  if (count > 0) {
    channel->took = true;
  }
  if (!came) {
    return 0;
  }
  channel->last_unix_ms = unix_ms;
  int failed = 0;
  if (!channel->up) {
    stop_capture(m, channel);
    monitor_event event{};
    event.kind = event_up;
    event.after_s = static_cast<double>(now_us - channel->quiet_us) / 1e6;
    failed = say(m, channel, event, unix_ms);
    channel->up = true;
    channel->silent = false;
    channel->silence_cause = nullptr;
  } else if (channel->capture != ssm_no_socket) {
    stop_capture(m, channel);  // a silence that never came
  }
  channel->quiet_us = now_us;
  return failed;
}

int say_pending(monitor* m, monitor_channel* channel, std::int64_t unix_ms) {
  int failed = 0;
  sequence_range ranges[tally_ranges_kept];
  std::int64_t numbers = 0;
  std::int64_t total = 0;
  int count = tally_take_new_missing(&channel->tally, ranges, tally_ranges_kept, &numbers, &total);
  monitor_event event{};
  if (numbers > 0) {
    char text[600];
    write_ranges(ranges, count, total, text, sizeof text);
    event.kind = event_missing;
    event.count = numbers;
    event.numbers = text;
    failed |= say(m, channel, event, unix_ms);
  }
  if (channel->tally.jumps > channel->jumps_said) {
    // One a second at most: a sender read in the wrong byte order would
    // jump at every datagram.
    channel->jumps_said = channel->tally.jumps;
    event = monitor_event{};
    event.kind = event_jump;
    event.from = static_cast<std::int32_t>(channel->tally.latest_jump.from);
    event.to = static_cast<std::int32_t>(channel->tally.latest_jump.to);
    failed |= say(m, channel, event, unix_ms);
  }
  if (channel->took) {
    channel->took = false;
    long long dropped = platform_socket_drops(channel->receiver.socket);
    if (dropped >= 0) {
      channel->host_dropped = dropped;
    }
    if (dropped > channel->dropped_said) {
      event = monitor_event{};
      event.kind = event_host_dropped;
      event.count = dropped - channel->dropped_said;
      event.total = dropped;
      channel->dropped_said = dropped;
      failed |= say(m, channel, event, unix_ms);
    }
  }
  return failed;
}

int look_at_channel(monitor* m, monitor_channel* channel, std::int64_t now_us,
                    std::int64_t unix_ms) {
  int failed = 0;
  // As ssm_watch: a request after every silent second.
  if (now_us - channel->quiet_us >= second_us && now_us - channel->renewed_us >= second_us) {
    failed |= request_membership(m, channel, false, now_us, unix_ms);
  }
  failed |= look_at_silence(m, channel, now_us, unix_ms);
  if (now_us >= channel->second_us) {
    channel->second_us += second_us;
    if (channel->second_us <= now_us) {
      channel->second_us = now_us + second_us;
    }
    failed |= say_pending(m, channel, unix_ms);
  }
  return failed;
}
