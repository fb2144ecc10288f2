#include "core/verdict.h"

#include <cstdio>

#include "core/firewall_verdict.h"

namespace {

const char elsewhere_advice[] =
    "look at the sender, its TTL, the routers' PIM-SSM and IGMP snooping";

const char* plural(long long count) {
  return count == 1 ? "" : "s";
}

bool old_group_protocol(const verdict_facts* facts) {
  int version = facts->host->group_protocol_version;
  return version != 0 && version < (facts->ipv6 ? 2 : 3);
}

// Why nothing came from the source, from what the link and the host said.
verdict_cause nothing_cause(const verdict_facts* facts) {
  const host_findings* host = facts->host;
  if (!facts->joined) {
    return cause_join_refused;
  }
  if (host->interface_down) {
    return cause_not_on_link;
  }
  if (facts->link_checked && facts->link_seen == 0) {
    return cause_not_on_link;
  }
  if (host->martian_source) {
    return cause_martian_source;
  }
  if (host->reverse_path_drops) {
    return cause_reverse_path;
  }
  if (host->firewall.state == firewall_blocked) {
    return cause_firewall;
  }
  return facts->link_checked ? cause_firewall : cause_unknown;
}

// What dropped the datagrams the link saw and the socket never got.
verdict_cause after_link_cause(const host_findings* host) {
  if (host->martian_source) {
    return cause_martian_source;
  }
  return host->reverse_path_drops ? cause_reverse_path : cause_firewall;
}

// The words of a cause of drops after the link: the kernel's refusal, or a
// firewall by elimination.
void word_drop_cause(const verdict_facts* facts, verdict_cause cause, const char* source,
                     char* out, std::size_t room) {
  if (cause == cause_reverse_path || cause == cause_martian_source) {
    word_host_refusal(facts->host, source, out, room);
  } else if (facts->host->checked) {
    (void)std::snprintf(out, room, "not reverse-path filtering, so a firewall (%s)",
                        facts->firewall_advice);
  } else {
    (void)std::snprintf(out, room, "a firewall, or a check this system does not show (%s)",
                        facts->firewall_advice);
  }
}

void word_queue_drops(const verdict_facts* facts, char* out, std::size_t room) {
  long long dropped = facts->host_dropped;
  if (facts->queue_limit != nullptr) {
    (void)std::snprintf(out, room,
                        "this host dropped %lld datagram%s before %s read (its receive queue "
                        "was full: raise %s, or read faster)",
                        dropped, plural(dropped), dropped == 1 ? "it was" : "they were",
                        facts->queue_limit);
  } else {
    (void)std::snprintf(out, room,
                        "this host dropped %lld datagram%s before %s read (its receive queue "
                        "was full)",
                        dropped, plural(dropped), dropped == 1 ? "it was" : "they were");
  }
}

// Where the datagrams this host dropped were lost: after the link, in the
// receive queue, or both.
void word_host_drops(const verdict_facts* facts, const channel_verdict* verdict,
                     const char* interface, const char* source, char* out, std::size_t room) {
  char queue[256] = "";
  if (facts->host_dropped > 0) {
    word_queue_drops(facts, queue, sizeof queue);
  }
  if (verdict->after_link <= 0) {
    (void)std::snprintf(out, room, "%s", queue);
    return;
  }
  char cause[600];
  word_drop_cause(facts, verdict->cause, source, cause, sizeof cause);
  long long reached = facts->link_seen - verdict->after_link;
  (void)std::snprintf(out, room,
                      "%s saw %lld datagram%s of the channel and %lld reached the socket: this "
                      "host dropped %lld after the link: %s%s%s",
                      interface, facts->link_seen, plural(facts->link_seen), reached,
                      verdict->after_link, cause, queue[0] != '\0' ? "; " : "", queue);
}

// Where the missing numbers went, when this host dropped nothing it could see.
void word_missing_elsewhere(const verdict_facts* facts, const char* interface, char* out,
                            std::size_t room) {
  long long errors = facts->host_udp_errors;
  if (facts->host_dropped < 0 && errors > 0) {
    // A count of the whole host: it cannot say these were the channel's.
    (void)std::snprintf(out, room,
                        "this host counted %lld UDP datagram%s received in error meanwhile (all "
                        "UDP on this host): some may have been dropped here",
                        errors, plural(errors));
  } else if (facts->host_dropped < 0) {
    (void)std::snprintf(out, room, "whether this host dropped them is not known here");
  } else if (facts->link_checked) {
    // Lost before they reached this host: the network's or the sender's.
    (void)std::snprintf(out, room, "not dropped by this host; %s did not see them either",
                        interface);
  } else {
    (void)std::snprintf(out, room,
                        "its receive queue dropped none, but the link was not checked (%s): "
                        "whether a firewall here dropped them is not known",
                        facts->link_reason);
  }
}

}  // namespace

channel_verdict decide_verdict(const verdict_facts* facts) {
  channel_verdict verdict{};
  verdict.after_link = -1;
  verdict.queue_dropped = facts->host_dropped;
  if (facts->received == 0) {
    verdict.kind = verdict_nothing;
    verdict.cause = nothing_cause(facts);
    verdict.status = exit_nothing;
    if (facts->link_checked) {
      verdict.after_link = facts->link_seen;
    }
    return verdict;
  }
  if (facts->link_checked) {
    // What the link saw beyond what the socket gave and what its queue
    // dropped: this host dropped it in between.
    long long queue = facts->host_dropped > 0 ? facts->host_dropped : 0;
    long long lost = facts->link_seen - facts->taken - queue;
    verdict.after_link = lost > 0 ? lost : 0;
  }
  bool dropped_here = verdict.after_link > 0 || facts->host_dropped > 0;
  if (verdict.after_link > 0) {
    verdict.cause = after_link_cause(facts->host);
  } else if (facts->missing > 0 && facts->host_dropped <= 0) {
    verdict.cause = facts->link_checked && facts->host_dropped == 0 ? cause_not_on_link
                                                                    : cause_unknown;
  }
  if (facts->missing > 0 || dropped_here) {
    verdict.kind = verdict_losses;
    verdict.status = exit_missing;
  } else {
    verdict.kind = facts->numbers == 0 ? verdict_unnumbered : verdict_complete;
  }
  return verdict;
}

const char* verdict_cause_name(verdict_cause cause) {
  switch (cause) {
    case cause_join_refused:
      return "join_refused";
    case cause_reverse_path:
      return "reverse_path";
    case cause_martian_source:
      return "martian_source";
    case cause_firewall:
      return "firewall";
    case cause_not_on_link:
      return "not_on_link";
    case cause_unknown:
      return "unknown";
    case cause_none:
      break;
  }
  return "";
}

void word_filter_setting(const host_findings* found, char* out, std::size_t room) {
  const char* name = found->interface_name;
  if (found->rp_filter_all > found->rp_filter_own && found->rp_filter_own >= 0) {
    (void)std::snprintf(out, room, "rp_filter %d on all interfaces, over %d on %s",
                        found->rp_filter_all, found->rp_filter_own, name);
  } else if (found->rp_filter >= 0) {
    (void)std::snprintf(out, room, "rp_filter %d on %s", found->rp_filter, name);
  } else {
    (void)std::snprintf(out, room, "on %s", name);
  }
}

void word_host_refusal(const host_findings* host, const char* source, char* out,
                       std::size_t room) {
  const char* name = host->interface_name;
  if (host->martian_source) {
    (void)std::snprintf(out, room,
                        "%s is an address of this host: what comes in from it on %s is dropped "
                        "as a martian (net.ipv4.conf.%s.accept_local=1 lets it in)",
                        source, name, name);
    return;
  }
  char cause[192];
  if (host->rp_filter > 0) {
    char setting[160];
    word_filter_setting(host, setting, sizeof setting);
    (void)std::snprintf(cause, sizeof cause, "reverse-path filtering (%s)", setting);
  } else {
    // Refused although no filtering is set: policy routing, a local route.
    (void)std::snprintf(cause, sizeof cause, "the input route check on %s", name);
  }
  char back[128] = "";
  if (host->route_back[0] != '\0') {
    (void)std::snprintf(back, sizeof back, ": its route leaves by %s", host->route_back);
  } else if (host->no_route_back) {
    (void)std::snprintf(back, sizeof back, ": no route leads back to it");
  }
  (void)std::snprintf(out, room, "%s drops datagrams from %s%s", cause, source, back);
}

void word_nothing_reason(const verdict_facts* facts, const channel_verdict* verdict,
                         const char* interface, const char* source, char* out, std::size_t room) {
  const char* where = interface != nullptr ? interface : "this host";
  char protocol[320] = "";
  std::size_t used = 0;
  if (old_group_protocol(facts)) {
    used = static_cast<std::size_t>(
        std::snprintf(protocol, sizeof protocol,
                      "; %s speaks %sv%d, whose reports routers serving SSM ignore", where,
                      facts->ipv6 ? "MLD" : "IGMP", facts->host->group_protocol_version));
  }
  if (facts->host->chosen_off_route && used < sizeof protocol) {
    (void)std::snprintf(protocol + used, sizeof protocol - used,
                        "; the route to %s leaves by %s, not %s", source,
                        facts->host->route_back, where);
  }
  char cause[600];
  switch (verdict->cause) {
    case cause_join_refused:
      (void)std::snprintf(out, room, "the join was refused: %s", facts->join_refusal);
      return;
    case cause_not_on_link:
      if (facts->host->interface_down) {
        (void)std::snprintf(out, room, "%s is down: nothing comes in on it", where);
      } else {
        (void)std::snprintf(out, room, "%s saw no datagram of the channel: %s%s", where,
                            elsewhere_advice, protocol);
      }
      return;
    case cause_unknown:
      (void)std::snprintf(out, room,
                          "the link was not checked (%s): either the stream does not reach %s "
                          "(%s%s) or a firewall here drops it (%s)",
                          facts->link_reason, where, elsewhere_advice, protocol,
                          facts->firewall_advice);
      return;
    default:
      break;
  }
  if (verdict->cause == cause_firewall && facts->host->firewall.state == firewall_blocked) {
    word_firewall_block(&facts->host->firewall, out, room);
    return;
  }
  word_drop_cause(facts, verdict->cause, source, cause, sizeof cause);
  // The kernel's refusal is a sentence of its own; a firewall is named by
  // elimination.
  const char* drops = verdict->cause == cause_firewall ? "this host drops them: " : "";
  if (facts->link_checked) {
    (void)std::snprintf(out, room, "%s saw %lld datagram%s of the channel, but %s%s", where,
                        facts->link_seen, plural(facts->link_seen), drops, cause);
  } else {
    (void)std::snprintf(out, room, "%s%s", drops, cause);
  }
}

void word_verdict(const verdict_facts* facts, const channel_verdict* verdict,
                  const char* interface, const char* source, char* out, std::size_t room) {
  const char* where = interface != nullptr ? interface : "the interface";
  if (verdict->kind == verdict_nothing) {
    char reason[900];
    word_nothing_reason(facts, verdict, interface, source, reason, sizeof reason);
    char others[64] = "";
    if (facts->others > 0) {
      // Another address may be the source seen through a translation.
      (void)std::snprintf(others, sizeof others, " (%lld datagram%s came from other senders)",
                          static_cast<long long>(facts->others), plural(facts->others));
    }
    (void)std::snprintf(out, room, "nothing arrived from %s%s: %s", source, others, reason);
    return;
  }
  long long received = facts->received;
  bool dropped_here = verdict->after_link > 0 || facts->host_dropped > 0;
  char drops[1000] = "";
  if (dropped_here) {
    word_host_drops(facts, verdict, where, source, drops, sizeof drops);
  }
  if (facts->missing > 0) {
    char elsewhere[300];
    if (!dropped_here) {
      word_missing_elsewhere(facts, where, elsewhere, sizeof elsewhere);
    }
    (void)std::snprintf(out, room, "%lld missing of %lld: %s",
                        static_cast<long long>(facts->missing),
                        static_cast<long long>(facts->expected), dropped_here ? drops : elsewhere);
  } else if (facts->numbers == 0) {
    (void)std::snprintf(out, room,
                        "%lld datagram%s, none with a sequence number (shorter than 4 bytes): "
                        "no gap could be checked%s%s",
                        received, plural(received), dropped_here ? ", and " : "", drops);
  } else if (dropped_here) {
    (void)std::snprintf(out, room, "%lld datagram%s, none missing, but %s", received,
                        plural(received), drops);
  } else {
    (void)std::snprintf(out, room, "complete: %lld datagram%s, none missing", received,
                        plural(received));
  }
}
