#include "ssm_check/check_report.h"

#include <cstdio>
#include <cstring>

#include "core/firewall_verdict.h"
#include "core/host_checks.h"
#include "core/output.h"
#include "core/report_line.h"
#include "core/sequence_text.h"
#include "core/verdict.h"
#include "platform/host_verdicts.h"

namespace {

// Room for the longest line: a verdict that names the interface, the
// source and the route back.
const std::size_t line_room = 1200;

// Adds one "name: value" line. Returns 0 or -1.
int put_line(const char* name, const char* value) {
  char line[line_room];
  // A value that would be longer is cut: the line still ends with a line feed.
  int size = std::snprintf(line, sizeof line - 1, "%s: %s", name, value);
  std::size_t length = size < 0 ? 0 : static_cast<std::size_t>(size);
  if (length > sizeof line - 2) {
    length = sizeof line - 2;
  }
  line[length++] = '\n';
  return append_output(line, length);
}

int put_number(const char* name, long long value) {
  char text[24];
  (void)std::snprintf(text, sizeof text, "%lld", value);
  return put_line(name, text);
}

double seconds(std::int64_t us) {
  return static_cast<double>(us) / 1e6;
}

int put_seconds(const char* name, std::int64_t us) {
  char text[32];
  (void)std::snprintf(text, sizeof text, "%.3f s", seconds(us));
  return put_line(name, text);
}

std::int32_t as_signed(std::uint32_t number) {
  return static_cast<std::int32_t>(number);
}

// The interface the membership is on, as the report names it. Returns
// false where the system does not say which it is.
bool interface_text(const ssm_receiver* receiver, char* out, std::size_t room) {
  if (!receiver->joined) {
    (void)std::snprintf(out, room, "none: the join was refused");
  } else if (receiver->host.interface_name[0] != '\0') {
    (void)std::snprintf(out, room, "%s", receiver->host.interface_name);
  } else if (receiver->channel.interface_name != nullptr) {
    (void)std::snprintf(out, room, "%s", receiver->channel.interface_name);
  } else if (receiver->membership_interface != 0) {
    (void)std::snprintf(out, room, "index %u", receiver->membership_interface);
  } else {
    (void)std::snprintf(out, room, "the one the system chose (it does not say which)");
    return false;
  }
  return true;
}

bool is_ipv6(const ssm_receiver* receiver) {
  return receiver->channel.group.family == ssm_ipv6;
}

void protocol_text(const ssm_receiver* receiver, const host_findings* host, char* out,
                   std::size_t room) {
  const char* name = is_ipv6(receiver) ? "MLD" : "IGMP";
  if (!receiver->joined) {
    (void)std::snprintf(out, room, "not checked: no membership");
  } else if (host->stays_on_host) {
    (void)std::snprintf(out, room, "not used: the channel stays on this host");
  } else if (host->group_protocol_version == 0) {
    (void)std::snprintf(out, room, "not checked: %s",
                        host->version_unknown_why != nullptr ? host->version_unknown_why
                                                             : "this system does not say");
  } else if (speaks_old_group_protocol(receiver, host)) {
    (void)std::snprintf(out, room,
                        "%sv%d (%s): its reports name no source, and routers serving SSM "
                        "ignore them",
                        name, host->group_protocol_version, host->version_cause);
  } else {
    (void)std::snprintf(out, room, "%sv%d", name, host->group_protocol_version);
  }
}

void reverse_path_text(const ssm_receiver* receiver, char* out, std::size_t room) {
  const host_findings& host = receiver->host;
  if (!receiver->joined) {
    (void)std::snprintf(out, room, "not checked: no membership");
  } else if (host.stays_on_host) {
    (void)std::snprintf(out, room, "not applied: the channel stays on this host");
  } else if (host.interface_down) {
    (void)std::snprintf(out, room, "not checked: %s is down", host.interface_name);
  } else if (!host.checked || (!is_ipv6(receiver) && !host.route_checked)) {
    (void)std::snprintf(out, room, "not checked: this system does not say");
  } else if (is_ipv6(receiver)) {
    (void)std::snprintf(out, room, "not filtered (Linux filters IPv4 only)");
  } else if (host.reverse_path_drops) {
    char source[address_text_max];
    (void)format_address(source, receiver->channel.source);
    word_host_refusal(&host, source, out, room);
  } else {
    char filter[192];
    word_filter_setting(&host, filter, sizeof filter);
    (void)std::snprintf(out, room, "lets the channel in (%s)", filter);
  }
}

// Writes the ranges of missing numbers: "17, 40-41, ... (12 ranges in all)".
void missing_text(const sequence_tally* tally, char* out, std::size_t room) {
  sequence_range ranges[tally_ranges_kept];
  std::int64_t total = 0;
  int count = tally_missing_ranges(tally, ranges, tally_ranges_kept, &total);
  write_ranges(ranges, count, total, out, room);
}

void jumps_text(const sequence_tally* tally, char* out, std::size_t room) {
  std::size_t used = 0;
  int size = std::snprintf(out, room, "%lld", static_cast<long long>(tally->jumps));
  used += static_cast<std::size_t>(size);
  for (int i = 0; i < tally->jumps && i < tally_jumps_kept && used < room; ++i) {
    size = std::snprintf(out + used, room - used, "%s%d to %d", i == 0 ? " (" : ", ",
                         as_signed(tally->jumps_kept[i].from), as_signed(tally->jumps_kept[i].to));
    used += static_cast<std::size_t>(size);
  }
  if (tally->jumps > 0 && used < room) {
    (void)std::snprintf(out + used, room - used, "%s)",
                        tally->jumps > tally_jumps_kept ? ", ..." : "");
  }
}

void ended_text(const check_options* options, const check_facts* facts, char* out,
                std::size_t room) {
  if (facts->end == ended_by_count) {
    (void)std::snprintf(out, room, "count: %lld datagrams came (-c)", options->count);
  } else if (facts->end == ended_by_stop) {
    (void)std::snprintf(out, room, "stop request");
  } else {
    (void)std::snprintf(out, room, "time: %lld s (-t)", options->seconds);
  }
}

// The facts as the verdict weighs them.
verdict_facts weigh(const ssm_receiver* receiver, const check_facts* facts) {
  verdict_facts weighed{};
  weighed.joined = receiver->joined;
  weighed.join_refusal = receiver->join_refusal;
  weighed.received = facts->received;
  weighed.taken = facts->taken;
  weighed.others = facts->others;
  weighed.link_checked = facts->link_checked;
  weighed.link_reason = facts->link_reason;
  weighed.link_seen = facts->link_seen;
  weighed.host_dropped = facts->host_dropped;
  weighed.host_udp_errors = facts->host_udp_errors;
  weighed.queue_limit = facts->queue_limit;
  weighed.numbers = facts->tally.counted;
  // tally_missing and tally_expected read the numbers still held as strays.
  weighed.missing = tally_missing(&facts->tally);
  weighed.expected = tally_expected(&facts->tally);
  weighed.host = &receiver->host;
  weighed.ipv6 = is_ipv6(receiver);
  weighed.firewall_advice = platform_firewall_advice();
  return weighed;
}

int put_source_lines(const check_options* options, const check_facts* facts) {
  int failed = 0;
  char text[line_room];
  std::int64_t span = facts->last_us - facts->first_us;
  failed |= put_seconds("received_over", span);
  if (facts->received > 1 && span > 0) {
    double per_second = static_cast<double>(facts->received - 1) / seconds(span);
    double bits = per_second * static_cast<double>(facts->bytes) * 8 /
                  static_cast<double>(facts->received);
    (void)std::snprintf(text, sizeof text, "%.1f datagrams/s, %.1f kbit/s of payload",
                        per_second, bits / 1000);
    failed |= put_line("rate", text);
  } else {
    failed |= put_line("rate", "not measured (one datagram, or all at once)");
  }
  failed |= put_number("length_smallest", facts->smallest);
  failed |= put_number("length_largest", facts->largest);
  failed |= put_seconds("first_after_join", facts->first_us - facts->joined_us);
  // The numbers still held read as they would should the stream end here.
  sequence_tally tally;
  tally_settled(&facts->tally, &tally);
  failed |=
      put_line("sequence_bytes", options->big_endian ? "0-3, big-endian" : "0-3, little-endian");
  if (tally.started) {
    failed |= put_number("sequence_first", as_signed(tally.first));
    failed |= put_number("sequence_last", as_signed(tally.last));
  }
  failed |= put_number("missing", tally_missing(&tally));
  missing_text(&tally, text, sizeof text);
  failed |= put_line("missing_numbers", text);
  failed |= put_number("duplicates", tally.duplicates);
  failed |= put_number("out_of_order", tally.out_of_order);
  jumps_text(&tally, text, sizeof text);
  failed |= put_line("jumps", text);
  failed |= put_number("without_sequence", facts->without_sequence);
  return failed;
}

}  // namespace

int check_status(const ssm_receiver* receiver, const check_facts* facts) {
  verdict_facts weighed = weigh(receiver, facts);
  return decide_verdict(&weighed).status;
}

int write_check_report(const ssm_receiver* receiver, const check_options* options,
                       const check_facts* facts) {
  const ssm_channel& channel = receiver->channel;
  char text[line_room];
  char interface[160];
  bool interface_known = interface_text(receiver, interface, sizeof interface);
  int failed = 0;
  (void)format_address(text, channel.group);
  failed |= put_line("group", text);
  (void)format_address(text, channel.source);
  failed |= put_line("source", text);
  failed |= put_number("port", channel.port);
  if (receiver->host.chosen_off_route) {
    char source[address_text_max];
    source[format_address(source, channel.source)] = '\0';
    (void)std::snprintf(text, sizeof text, "%s (the system's choice; the route to %s leaves by %s)",
                        interface, source, receiver->host.route_back);
    failed |= put_line("interface", text);
  } else {
    failed |= put_line("interface", interface);
  }
  protocol_text(receiver, &receiver->host, text, sizeof text);
  failed |= put_line("interface_protocol", text);
  if (receiver->joined) {
    failed |= put_line("membership", "joined");
  } else {
    (void)std::snprintf(text, sizeof text, "refused: %s", receiver->join_refusal);
    failed |= put_line("membership", text);
  }
  failed |= put_seconds("listened", facts->ended_us - facts->joined_us);
  ended_text(options, facts, text, sizeof text);
  failed |= put_line("ended_by", text);
  failed |= put_number("received", facts->received);
  if (facts->received > 0) {
    failed |= put_source_lines(options, facts);
  }
  if (facts->others > 0) {
    char sender[address_text_max];
    (void)format_address(sender, facts->first_other);
    (void)std::snprintf(text, sizeof text, "%lld (the first from %s)",
                        static_cast<long long>(facts->others), sender);
    failed |= put_line("other_senders", text);
  } else {
    failed |= put_line("other_senders", "0");
  }
  if (facts->host_dropped >= 0) {
    failed |= put_number("host_dropped", facts->host_dropped);
  } else {
    failed |= put_line("host_dropped", "not known on this system");
  }
  if (facts->host_udp_errors >= 0) {
    // The whole host's count, where the system keeps none per socket.
    (void)std::snprintf(text, sizeof text, "%lld (all UDP on this host)", facts->host_udp_errors);
    failed |= put_line("host_udp_errors", text);
  }
  reverse_path_text(receiver, text, sizeof text);
  failed |= put_line("reverse_path", text);
  if (receiver->host.firewall.state != firewall_not_asked) {
    word_firewall(&receiver->host.firewall, text, sizeof text);
    failed |= put_line("firewall", text);
  }
  if (facts->link_checked) {
    (void)std::snprintf(text, sizeof text, "%lld (on %s)", facts->link_seen, interface);
    failed |= put_line("link_datagrams", text);
  } else {
    (void)std::snprintf(text, sizeof text, "not checked: %s", facts->link_reason);
    failed |= put_line("link_datagrams", text);
  }
  verdict_facts weighed = weigh(receiver, facts);
  channel_verdict verdict = decide_verdict(&weighed);
  char source[address_text_max];
  (void)format_address(source, channel.source);
  word_verdict(&weighed, &verdict, interface_known ? interface : nullptr, source, text,
               sizeof text);
  failed |= put_line("verdict", text);
  if (failed != 0) {
    return -1;
  }
  return flush_output();
}
