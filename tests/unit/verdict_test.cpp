// The verdict as a table: from what was seen to what is said, and the exit
// status that goes with it.
#include "core/verdict.h"

#include <gtest/gtest.h>

#include <cstring>
#include <string>

namespace {

host_findings clean_host() {
  host_findings host{};
  host.checked = true;
  std::strcpy(host.interface_name, "eth1");
  host.rp_filter = 0;
  host.rp_filter_own = 0;
  host.rp_filter_all = 0;
  host.group_protocol_version = 3;
  return host;
}

// A stream of 100 numbered datagrams, all seen on the link and all taken.
verdict_facts stream(const host_findings* host) {
  verdict_facts facts{};
  facts.joined = true;
  facts.join_refusal = "";
  facts.received = 100;
  facts.taken = 100;
  facts.link_checked = true;
  facts.link_reason = "";
  facts.link_seen = 100;
  facts.host_dropped = 0;
  facts.numbers = 100;
  facts.expected = 100;
  facts.host = host;
  facts.firewall_advice = "look with nft list ruleset";
  return facts;
}

struct said {
  channel_verdict verdict;
  std::string words;
};

said judge(const verdict_facts& facts, const char* interface = "eth1") {
  said result{decide_verdict(&facts), ""};
  char text[1200];
  word_verdict(&facts, &result.verdict, interface, "10.9.9.1", text, sizeof text);
  result.words = text;
  return result;
}

}  // namespace

TEST(Verdict, WhatCameAndWasKept) {
  host_findings host = clean_host();
  verdict_facts facts = stream(&host);
  said complete = judge(facts);
  EXPECT_EQ(complete.verdict.kind, verdict_complete);
  EXPECT_EQ(complete.verdict.status, 0);
  EXPECT_EQ(complete.words, "complete: 100 datagrams, none missing");
  facts.received = facts.taken = facts.link_seen = facts.numbers = facts.expected = 1;
  EXPECT_EQ(judge(facts).words, "complete: 1 datagram, none missing");

  // Lost before the link: the network's.
  facts = stream(&host);
  facts.received = facts.taken = facts.link_seen = facts.numbers = 97;
  facts.missing = 3;
  said gaps = judge(facts);
  EXPECT_EQ(gaps.verdict.status, exit_missing);
  EXPECT_EQ(gaps.verdict.cause, cause_not_on_link);
  EXPECT_EQ(gaps.words, "3 missing of 100: not dropped by this host; eth1 did not see them either");

  // Without the link, no claim that this host dropped none.
  facts.link_checked = false;
  facts.link_reason = "it needs root or CAP_NET_RAW";
  said unchecked = judge(facts);
  EXPECT_EQ(unchecked.verdict.cause, cause_unknown);
  EXPECT_EQ(unchecked.words,
            "3 missing of 100: its receive queue dropped none, but the link was not checked "
            "(it needs root or CAP_NET_RAW): whether a firewall here dropped them is not known");

  // Short datagrams only: nothing to check, and said so.
  facts = stream(&host);
  facts.numbers = facts.expected = 0;
  said unnumbered = judge(facts);
  EXPECT_EQ(unnumbered.verdict.kind, verdict_unnumbered);
  EXPECT_EQ(unnumbered.verdict.status, 0);
  EXPECT_EQ(unnumbered.words, "100 datagrams, none with a sequence number (shorter than 4 "
                              "bytes): no gap could be checked");
}

TEST(Verdict, WhatTheLinkSawBeyondTheSocketWasDroppedHere) {
  // One in ten dropped by a firewall: the tally sees gaps, the link all.
  host_findings host = clean_host();
  verdict_facts facts = stream(&host);
  facts.link_seen = 1000;
  facts.received = facts.taken = facts.numbers = 900;
  facts.missing = 99;
  facts.expected = 999;
  said firewall = judge(facts);
  EXPECT_EQ(firewall.verdict.status, exit_missing);
  EXPECT_EQ(firewall.verdict.cause, cause_firewall);
  EXPECT_EQ(firewall.verdict.after_link, 100);
  EXPECT_EQ(firewall.words,
            "99 missing of 999: eth1 saw 1000 datagrams of the channel and 900 reached the "
            "socket: this host dropped 100 after the link: not reverse-path filtering, so a "
            "firewall (look with nft list ruleset)");

  // Everything above 50 dropped: no gap shows, yet not complete.
  facts = stream(&host);
  facts.received = facts.taken = facts.numbers = facts.expected = 50;
  said tail = judge(facts);
  EXPECT_EQ(tail.verdict.kind, verdict_losses);
  EXPECT_EQ(tail.verdict.status, exit_missing);
  EXPECT_EQ(tail.words.rfind("50 datagrams, none missing, but eth1 saw 100 datagrams", 0), 0u)
      << tail.words;

  // The queue's own drops are not counted twice; datagrams taken after
  // the end are not drops at all.
  facts = stream(&host);
  facts.received = 60;
  facts.taken = 80;
  facts.host_dropped = 20;
  facts.queue_limit = "net.core.rmem_max";
  said queue = judge(facts);
  EXPECT_EQ(queue.verdict.after_link, 0);
  EXPECT_EQ(queue.words,
            "60 datagrams, none missing, but this host dropped 20 datagrams before they were "
            "read (its receive queue was full: raise net.core.rmem_max, or read faster)");
  facts.queue_limit = nullptr;
  facts.host_dropped = 1;
  facts.taken = 99;
  EXPECT_EQ(judge(facts).words,
            "60 datagrams, none missing, but this host dropped 1 datagram before it was read "
            "(its receive queue was full)");
}

TEST(Verdict, WhyNothingCame) {
  host_findings host = clean_host();
  verdict_facts facts = stream(&host);
  facts.received = facts.taken = facts.numbers = facts.expected = 0;
  struct row {
    const char* what;
    void (*set)(verdict_facts*, host_findings*);
    verdict_cause cause;
    const char* reason;
  };
  const row rows[] = {
      {"refused", [](verdict_facts* f, host_findings*) { f->joined = false;
                                                         f->join_refusal = "No such device"; },
       cause_join_refused, "the join was refused: No such device"},
      {"not on the link", [](verdict_facts* f, host_findings*) { f->link_seen = 0; },
       cause_not_on_link,
       "eth1 saw no datagram of the channel: look at the sender, its TTL, the routers' "
       "PIM-SSM and IGMP snooping"},
      {"down", [](verdict_facts*, host_findings* h) { h->interface_down = true; },
       cause_not_on_link, "eth1 is down: nothing comes in on it"},
      {"firewall", [](verdict_facts*, host_findings*) {}, cause_firewall,
       "eth1 saw 100 datagrams of the channel, but this host drops them: not reverse-path "
       "filtering, so a firewall (look with nft list ruleset)"},
      {"strict", [](verdict_facts*, host_findings* h) { h->reverse_path_drops = true;
                                                         h->rp_filter = h->rp_filter_own = 1;
                                                         std::strcpy(h->route_back, "eth0"); },
       cause_reverse_path,
       "eth1 saw 100 datagrams of the channel, but reverse-path filtering (rp_filter 1 on "
       "eth1) drops datagrams from 10.9.9.1: its route leaves by eth0"},
      // Filtering off, refused all the same: never "rp_filter 0".
      {"input route", [](verdict_facts*, host_findings* h) { h->reverse_path_drops = true; },
       cause_reverse_path,
       "eth1 saw 100 datagrams of the channel, but the input route check on eth1 drops "
       "datagrams from 10.9.9.1"},
      {"martian", [](verdict_facts*, host_findings* h) { h->reverse_path_drops = true;
                                                          h->martian_source = true; },
       cause_martian_source,
       "eth1 saw 100 datagrams of the channel, but 10.9.9.1 is an address of this host: what "
       "comes in from it on eth1 is dropped as a martian (net.ipv4.conf.eth1.accept_local=1 "
       "lets it in)"},
      {"unchecked", [](verdict_facts* f, host_findings*) { f->link_checked = false;
                                                           f->link_reason = "no right"; },
       cause_unknown,
       "the link was not checked (no right): either the stream does not reach eth1 (look at "
       "the sender, its TTL, the routers' PIM-SSM and IGMP snooping) or a firewall here drops "
       "it (look with nft list ruleset)"},
  };
  for (const row& r : rows) {
    host_findings changed = host;
    verdict_facts seen = facts;
    seen.host = &changed;
    r.set(&seen, &changed);
    said nothing = judge(seen);
    EXPECT_EQ(nothing.verdict.kind, verdict_nothing) << r.what;
    EXPECT_EQ(nothing.verdict.status, exit_nothing) << r.what;
    EXPECT_EQ(nothing.verdict.cause, r.cause) << r.what;
    EXPECT_EQ(nothing.words, std::string("nothing arrived from 10.9.9.1: ") + r.reason) << r.what;
  }
  // Where the system does not say which interface it chose.
  facts.link_checked = false;
  facts.link_reason = "not made on this system";
  EXPECT_EQ(judge(facts, nullptr).words,
            "nothing arrived from 10.9.9.1: the link was not checked (not made on this system): "
            "either the stream does not reach this host (look at the sender, its TTL, the "
            "routers' PIM-SSM and IGMP snooping) or a firewall here drops it (look with nft list "
            "ruleset)");
  EXPECT_STREQ(verdict_cause_name(cause_martian_source), "martian_source");
  EXPECT_STREQ(verdict_cause_name(cause_not_on_link), "not_on_link");
}

TEST(Verdict, WindowsFirewallAndTheHostWideErrorCount) {
  // As on Windows: the link not checked, no drop count of the socket.
  host_findings host{};
  std::strcpy(host.interface_name, "ethernet_32768");
  verdict_facts facts = stream(&host);
  facts.link_checked = false;
  facts.link_reason = "not made on this system";
  facts.host_dropped = -1;
  facts.firewall_advice = "look with netsh advfirewall firewall show rule name=all";
  facts.missing = 3;
  facts.expected = 103;
  facts.host_udp_errors = 0;
  EXPECT_EQ(judge(facts).words,
            "3 missing of 103: whether this host dropped them is not known here");
  facts.host_udp_errors = 7;
  said errors = judge(facts);
  EXPECT_EQ(errors.verdict.status, exit_missing);
  EXPECT_EQ(errors.words, "3 missing of 103: this host counted 7 UDP datagrams received in error "
                          "meanwhile (all UDP on this host): some may have been dropped here");
  facts.missing = 0;
  facts.expected = 100;
  EXPECT_EQ(judge(facts).words, "complete: 100 datagrams, none missing")
      << "errors of the host without a gap say nothing of the channel";

  // Nothing came, and the firewall's own evaluation blocks the port.
  facts.received = facts.taken = facts.numbers = facts.expected = 0;
  host.firewall.state = firewall_blocked;
  std::strcpy(host.firewall.program, "C:\\ssm\\ssm_check.exe");
  std::strcpy(host.firewall.profiles, "public");
  std::strcpy(host.firewall.profile_list, "public");
  host.firewall.port = 5000;
  said blocked = judge(facts);
  EXPECT_EQ(blocked.verdict.cause, cause_firewall);
  EXPECT_EQ(blocked.words,
            "nothing arrived from 10.9.9.1: Windows Firewall blocks inbound UDP to "
            "C:\\ssm\\ssm_check.exe port 5000 on the public profile: allow it with netsh "
            "advfirewall firewall add rule name=\"ssm_check 5000\" dir=in action=allow "
            "program=\"C:\\ssm\\ssm_check.exe\" protocol=UDP localport=5000 profile=public");
  host.firewall.state = firewall_cannot_say;
  EXPECT_EQ(judge(facts).verdict.cause, cause_unknown) << "no answer names no cause";

  // The system chose another interface than the route to the source.
  host.chosen_off_route = true;
  std::strcpy(host.route_back, "ethernet_1");
  EXPECT_EQ(judge(facts, "ethernet_32768").words,
            "nothing arrived from 10.9.9.1: the link was not checked (not made on this system): "
            "either the stream does not reach ethernet_32768 (look at the sender, its TTL, the "
            "routers' PIM-SSM and IGMP snooping; the route to 10.9.9.1 leaves by ethernet_1, not "
            "ethernet_32768) or a firewall here drops it (look with netsh advfirewall firewall "
            "show rule name=all)");
}
