// What this host will do to the stream: the blockers found after a join,
// said on standard error.
#include "core/host_checks.h"

#include <cstdio>
#include <cstring>

#include "core/firewall_verdict.h"
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
  if (speaks.forced == speaks.version && speaks.setting != nullptr) {
    (void)std::snprintf(found->version_cause, sizeof found->version_cause, "%s=%d",
                        speaks.setting, speaks.setting_value);
  } else if (speaks.forced == speaks.version) {
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
  found->route_checked = true;
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

// Where the system gives no verdict of its own on what comes in over the
// interface it chose, whether the route to the source leaves by another:
// the stream would come in there.
void find_chosen_interface(const ssm_receiver* receiver, unsigned index, host_findings* found) {
  const ssm_channel& channel = receiver->channel;
  unsigned route = 0;
  if (channel.interface_name != nullptr || channel.interface_index != 0 ||
      platform_judges_input_route() || platform_route_interface(&channel.source, &route) != 1 ||
      route == index ||
      !platform_interface_name(route, found->route_back, sizeof found->route_back)) {
    found->route_back[0] = '\0';
    return;
  }
  found->chosen_off_route = true;
  found->route_back_index = route;
}

// What the firewall does to inbound UDP to the port the socket is bound to.
void find_firewall(const ssm_receiver* receiver, host_findings* found) {
  const ssm_channel& channel = receiver->channel;
  std::uint16_t port = channel.port;
  if (port == 0 && platform_bound_port(receiver->socket, &port) != 0) {
    port = 0;
  }
  firewall_facts facts;
  platform_firewall_facts(channel.group.family, port, &facts);
  decide_firewall(&facts, port, &found->firewall);
}

}  // namespace

void find_host_blockers(const ssm_receiver* receiver, host_findings* found) {
  *found = host_findings{};
  found->rp_filter = -1;
  found->rp_filter_own = -1;
  found->rp_filter_all = -1;
  find_firewall(receiver, found);
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
  find_chosen_interface(receiver, index, found);
  // IPv6 has no reverse-path filtering in Linux.
  if (channel.group.family == ssm_ipv4) {
    find_reverse_path(receiver, index, found);
  }
  group_protocol speaks = platform_group_protocol(channel.group.family, index);
  if (speaks.version == 0) {
    found->version_unknown_why = speaks.unknown_why;
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
  if (found->stays_on_host) {
    return;
  }
  if (found->firewall.state == firewall_blocked) {
    char said[1700];
    word_firewall_block(&found->firewall, said, sizeof said);
    (void)std::fprintf(stderr, "%s: warning: %s\n", program, said);
  }
  if (found->chosen_off_route) {
    char source[address_text_max];
    source[format_address(source, receiver->channel.source)] = '\0';
    char group[address_text_max];
    group[format_address(group, receiver->channel.group)] = '\0';
    (void)std::fprintf(stderr,
                       "%s: warning: the system chose %s for the membership, but the route to %s "
                       "leaves by %s: name that interface, as %s%%%u\n",
                       program, found->interface_name, source, found->route_back, group,
                       found->route_back_index);
  }
  if (!found->checked) {
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
  bool was_blocked = receiver->host.firewall.state == firewall_blocked;
  find_host_blockers(receiver, &receiver->host);
  if (was_down && receiver->host.interface_down) {
    return;  // said already
  }
  if (!was_blocked || receiver->host.firewall.state != firewall_blocked) {
    warn_host_blockers(program, receiver, &receiver->host);
    return;
  }
  host_findings unsaid = receiver->host;
  unsaid.firewall.state = firewall_not_asked;  // said already
  warn_host_blockers(program, receiver, &unsaid);
}
