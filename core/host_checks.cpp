// What this host will do to the stream: the blockers found after a join,
// said on standard error.
#include "core/host_checks.h"

#include <cstdio>
#include <cstring>

#include "core/report_line.h"
#include "platform/host_verdicts.h"
#include "platform/membership.h"
#include "platform/socket.h"

namespace {

// Says why the interface speaks an older protocol than SSM needs.
void word_version_cause(const ssm_receiver* receiver, const group_protocol& speaks,
                        host_findings* found) {
  bool ipv6 = receiver->channel.group.family == ssm_ipv6;
  const char* protocol = ipv6 ? "MLD" : "IGMP";
  if (speaks.forced == speaks.version) {
    (void)std::snprintf(found->version_cause, sizeof found->version_cause,
                        "net.%s.conf.%s.%s=%d", ipv6 ? "ipv6" : "ipv4",
                        speaks.forced_for_all ? "all" : found->interface_name,
                        ipv6 ? "force_mld_version" : "force_igmp_version", speaks.forced);
  } else {
    (void)std::snprintf(found->version_cause, sizeof found->version_cause,
                        "a router on the link queries in %sv%d", protocol, speaks.version);
  }
}

void find_reverse_path(const ssm_receiver* receiver, unsigned index, host_findings* found) {
  const ssm_channel& channel = receiver->channel;
  int verdict = platform_input_route(&channel.group, &channel.source, index);
  if (verdict == route_unknown) {
    return;  // no verdict: say nothing rather than guess
  }
  found->checked = true;
  platform_reverse_path_filter(index, &found->rp_filter_own, &found->rp_filter_all);
  if (found->rp_filter_own >= 0 && found->rp_filter_all >= 0) {
    // The kernel takes the higher of the two.
    found->rp_filter = found->rp_filter_own > found->rp_filter_all ? found->rp_filter_own
                                                                   : found->rp_filter_all;
  }
  if (verdict != route_refused) {
    return;
  }
  found->reverse_path_drops = true;
  // The kernel refuses a source of this host's own coming in over a link
  // before any reverse path is looked at, unless accept_local lets it in;
  // then the refusal is the reverse path's.
  found->martian_source = platform_is_local_address(&channel.source) &&
                          platform_accepts_local_source(index) == 0;
  unsigned back = 0;
  int route = platform_route_interface(&channel.source, &back);
  if (route == 0) {
    found->no_route_back = true;
  } else if (route > 0 &&
             !platform_interface_name(back, found->route_back, sizeof found->route_back)) {
    found->route_back[0] = '\0';
  }
}

}  // namespace

void find_host_blockers(const ssm_receiver* receiver, host_findings* found) {
  *found = host_findings{};
  found->rp_filter = -1;
  found->rp_filter_own = -1;
  found->rp_filter_all = -1;
  unsigned index = receiver->membership_interface;
  if (index == 0 ||
      !platform_interface_name(index, found->interface_name, sizeof found->interface_name)) {
    found->interface_name[0] = '\0';
    return;
  }
  const ssm_channel& channel = receiver->channel;
  if (platform_is_loopback(index) || platform_address_on_interface(&channel.source, index)) {
    // Looped-back multicast takes no input route check, and no router
    // hears the reports: so on loopback, and for a sender of this host on
    // that very interface, whose datagrams reach the socket by the host's
    // own loop (no other host may send from its address).
    found->checked = true;
    found->stays_on_host = true;
    return;
  }
  if (platform_interface_up(index) == 0) {
    // The kernel refuses every route in over a down interface: its verdict
    // would say nothing of the stream once the interface is up.
    found->checked = true;
    found->interface_down = true;
    return;
  }
  // IPv6 has no reverse-path filtering in Linux.
  if (channel.group.family == ssm_ipv4) {
    find_reverse_path(receiver, index, found);
  }
  group_protocol speaks = platform_group_protocol(channel.group.family, index);
  if (speaks.version == 0) {
    return;
  }
  found->checked = true;
  found->group_protocol_version = speaks.version;
  if (speaks_old_group_protocol(receiver, found)) {
    word_version_cause(receiver, speaks, found);
  }
}

bool speaks_old_group_protocol(const ssm_receiver* receiver, const host_findings* found) {
  int version = found->group_protocol_version;
  return version != 0 && version < (receiver->channel.group.family == ssm_ipv6 ? 2 : 3);
}

void warn_host_blockers(const char* program, const ssm_receiver* receiver,
                        const host_findings* found) {
  if (!found->checked || found->stays_on_host) {
    return;
  }
  const char* name = found->interface_name;
  if (found->interface_down) {
    (void)std::fprintf(stderr, "%s: warning: %s is down: nothing comes in on it until it is up\n",
                       program, name);
    return;
  }
  bool ipv6 = receiver->channel.group.family == ssm_ipv6;
  if (found->reverse_path_drops) {
    char source[address_text_max];
    source[format_address(source, receiver->channel.source)] = '\0';
    char refusal[400];
    word_host_refusal(found, source, refusal, sizeof refusal);
    (void)std::fprintf(stderr, "%s: warning: %s\n", program, refusal);
  }
  if (speaks_old_group_protocol(receiver, found)) {
    (void)std::fprintf(stderr,
                       "%s: warning: %s speaks %sv%d (%s): its reports name no source, and "
                       "routers serving SSM ignore them\n",
                       program, name, ipv6 ? "MLD" : "IGMP", found->group_protocol_version,
                       found->version_cause);
  }
}

void check_host_blockers(const char* program, ssm_receiver* receiver) {
  bool was_down = receiver->host.interface_down;
  find_host_blockers(receiver, &receiver->host);
  if (was_down && receiver->host.interface_down) {
    return;  // said already
  }
  warn_host_blockers(program, receiver, &receiver->host);
}
