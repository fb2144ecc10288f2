#include "check_report.h"

#include <cstdio>
#include <cstring>

#include "output.h"
#include "report_line.h"

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

// The interface the membership is on, as the report names it.
void interface_text(const ssm_receiver* receiver, const check_facts* facts, char* out,
                    std::size_t room) {
  if (!receiver->joined) {
    (void)std::snprintf(out, room, "none: the join was refused");
  } else if (facts->host.interface_name[0] != '\0') {
    (void)std::snprintf(out, room, "%s", facts->host.interface_name);
  } else if (receiver->channel.interface_name != nullptr) {
    (void)std::snprintf(out, room, "%s", receiver->channel.interface_name);
  } else if (receiver->membership_interface != 0) {
    (void)std::snprintf(out, room, "index %u", receiver->membership_interface);
  } else {
    (void)std::snprintf(out, room, "the one the system chose (it does not say which)");
  }
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
    (void)std::snprintf(out, room, "not checked: this system does not say");
  } else if (speaks_old_group_protocol(receiver, host)) {
    (void)std::snprintf(out, room,
                        "%sv%d (%s): its reports name no source, and routers serving SSM "
                        "ignore them",
                        name, host->group_protocol_version, host->version_cause);
  } else {
    (void)std::snprintf(out, room, "%sv%d", name, host->group_protocol_version);
  }
}

// Why reverse-path filtering drops the channel, in a few words.
void reverse_path_reason(const ssm_receiver* receiver, const check_facts* facts, char* out,
                         std::size_t room) {
  const host_findings& host = facts->host;
  char source[address_text_max];
  (void)format_address(source, receiver->channel.source);
  char filter[192];
  word_filter_setting(&host, filter, sizeof filter);
  if (host.route_back[0] != '\0') {
    (void)std::snprintf(out, room,
                        "reverse-path filtering (%s; the route back to %s leaves by %s)", filter,
                        source, host.route_back);
  } else if (host.no_route_back) {
    (void)std::snprintf(out, room, "reverse-path filtering (%s; no route leads back to %s)",
                        filter, source);
  } else {
    (void)std::snprintf(out, room, "reverse-path filtering (%s)", filter);
  }
}

void reverse_path_text(const ssm_receiver* receiver, const check_facts* facts, char* out,
                       std::size_t room) {
  const host_findings& host = facts->host;
  if (!receiver->joined) {
    (void)std::snprintf(out, room, "not checked: no membership");
  } else if (host.stays_on_host) {
    (void)std::snprintf(out, room, "not applied: the channel stays on this host");
  } else if (!host.checked) {
    (void)std::snprintf(out, room, "not checked: this system does not say");
  } else if (is_ipv6(receiver)) {
    (void)std::snprintf(out, room, "not filtered (Linux filters IPv4 only)");
  } else if (host.reverse_path_drops) {
    char reason[400];
    reverse_path_reason(receiver, facts, reason, sizeof reason);
    (void)std::snprintf(out, room, "drops the channel: %s", reason);
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
  if (count == 0) {
    (void)std::snprintf(out, room, "none");
    return;
  }
  std::size_t used = 0;
  out[0] = '\0';
  for (int i = 0; i < count && used < room; ++i) {
    const char* comma = i > 0 ? ", " : "";
    int size = ranges[i].first == ranges[i].last
                   ? std::snprintf(out + used, room - used, "%s%d", comma,
                                   as_signed(ranges[i].first))
                   : std::snprintf(out + used, room - used, "%s%d-%d", comma,
                                   as_signed(ranges[i].first), as_signed(ranges[i].last));
    used += static_cast<std::size_t>(size);
  }
  if (total > count && used < room) {
    (void)std::snprintf(out + used, room - used, ", ... (%lld ranges in all)",
                        static_cast<long long>(total));
  }
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

// Why nothing came from the source, as far as the facts tell.
void nothing_reason(const ssm_receiver* receiver, const check_facts* facts, const char* interface,
                    char* out, std::size_t room) {
  const host_findings& host = facts->host;
  char reason[400] = "";
  if (host.reverse_path_drops) {
    reverse_path_reason(receiver, facts, reason, sizeof reason);
  }
  const char* elsewhere =
      "look at the sender, its TTL, the routers' PIM-SSM and IGMP snooping";
  char protocol[320] = "";
  if (speaks_old_group_protocol(receiver, &host)) {
    (void)std::snprintf(protocol, sizeof protocol,
                        "; %s speaks %sv%d, whose reports routers serving SSM ignore", interface,
                        is_ipv6(receiver) ? "MLD" : "IGMP", host.group_protocol_version);
  }
  if (!receiver->joined) {
    (void)std::snprintf(out, room, "the join was refused: %s", receiver->join_refusal);
  } else if (facts->link_checked && facts->link_seen > 0) {
    if (facts->host_dropped > 0) {
      (void)std::snprintf(out, room,
                          "%s saw %lld datagrams of the channel, and this host's receive queue "
                          "dropped %lld datagrams before they were read",
                          interface, facts->link_seen, facts->host_dropped);
    } else if (host.reverse_path_drops) {
      (void)std::snprintf(out, room, "%s saw %lld datagrams of the channel, but this host drops "
                          "them: %s", interface, facts->link_seen, reason);
    } else if (facts->martian_source) {
      char source[address_text_max];
      (void)format_address(source, receiver->channel.source);
      (void)std::snprintf(out, room,
                          "%s saw %lld datagrams of the channel, but this host drops them: %s is "
                          "an address of this host, and what comes in from it on %s is dropped "
                          "as a martian (net.ipv4.conf.%s.accept_local=1 lets it in); else a "
                          "firewall (look with nft list ruleset)",
                          interface, facts->link_seen, source, interface, interface);
    } else {
      (void)std::snprintf(out, room,
                          "%s saw %lld datagrams of the channel, but this host drops them: not "
                          "reverse-path filtering, so a firewall (look with nft list ruleset)",
                          interface, facts->link_seen);
    }
  } else if (facts->link_checked) {
    (void)std::snprintf(out, room, "the stream does not reach %s: %s%s", interface, elsewhere,
                        protocol);
  } else if (host.reverse_path_drops) {
    (void)std::snprintf(out, room, "this host drops it: %s", reason);
  } else {
    (void)std::snprintf(out, room,
                        "the link was not checked (%s): either the stream does not reach %s (%s%s)"
                        " or a firewall here drops it (look with nft list ruleset)",
                        facts->link_reason, interface, elsewhere, protocol);
  }
}

void verdict_text(const ssm_receiver* receiver, const check_facts* facts, const char* interface,
                  char* out, std::size_t room) {
  char source[address_text_max];
  (void)format_address(source, receiver->channel.source);
  if (facts->received == 0) {
    char reason[900];
    nothing_reason(receiver, facts, interface, reason, sizeof reason);
    char others[64] = "";
    if (facts->others > 0) {
      // Another address may be the source seen through a translation.
      (void)std::snprintf(others, sizeof others, " (%lld datagrams came from other senders)",
                          static_cast<long long>(facts->others));
    }
    (void)std::snprintf(out, room, "nothing arrived from %s%s: %s", source, others, reason);
    return;
  }
  long long received = facts->received;
  long long missing = tally_missing(&facts->tally);
  long long dropped = facts->host_dropped;
  char here[256];
  if (dropped > 0) {
    (void)std::snprintf(here, sizeof here,
                        "this host dropped %lld datagrams before they were read (its receive "
                        "queue was full: raise net.core.rmem_max, or read faster)",
                        dropped);
  } else if (dropped == 0 && facts->link_checked && facts->link_seen <= received) {
    // Lost before they reached this host: the network's or the sender's.
    (void)std::snprintf(here, sizeof here, "not dropped by this host; %s did not see them either",
                        interface);
  } else if (dropped == 0) {
    (void)std::snprintf(here, sizeof here, "not dropped by this host");
  } else {
    (void)std::snprintf(here, sizeof here, "whether this host dropped them is not known here");
  }
  if (missing > 0) {
    (void)std::snprintf(out, room, "%lld missing of %lld: %s", missing, missing + received, here);
  } else if (dropped > 0) {
    (void)std::snprintf(out, room, "%lld datagrams, none missing, but %s", received, here);
  } else {
    (void)std::snprintf(out, room, "complete: %lld datagrams, none missing", received);
  }
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
  const sequence_tally& tally = facts->tally;
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

int check_status(const check_facts* facts) {
  if (facts->received == 0) {
    return exit_nothing;
  }
  if (tally_missing(&facts->tally) > 0 || facts->host_dropped > 0) {
    return exit_missing;
  }
  return 0;
}

int write_check_report(const ssm_receiver* receiver, const check_options* options,
                       const check_facts* facts) {
  const ssm_channel& channel = receiver->channel;
  char text[line_room];
  char interface[160];
  interface_text(receiver, facts, interface, sizeof interface);
  int failed = 0;
  (void)format_address(text, channel.group);
  failed |= put_line("group", text);
  (void)format_address(text, channel.source);
  failed |= put_line("source", text);
  failed |= put_number("port", channel.port);
  failed |= put_line("interface", interface);
  protocol_text(receiver, &facts->host, text, sizeof text);
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
  reverse_path_text(receiver, facts, text, sizeof text);
  failed |= put_line("reverse_path", text);
  if (facts->link_checked) {
    (void)std::snprintf(text, sizeof text, "%lld (on %s)", facts->link_seen, interface);
    failed |= put_line("link_datagrams", text);
  } else {
    (void)std::snprintf(text, sizeof text, "not checked: %s", facts->link_reason);
    failed |= put_line("link_datagrams", text);
  }
  verdict_text(receiver, facts, interface, text, sizeof text);
  failed |= put_line("verdict", text);
  if (failed != 0) {
    return -1;
  }
  return flush_output();
}
