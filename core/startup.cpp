// From the command line to a bound socket with its source-specific membership.
#include <cstdio>
#include <cstring>

#include "core/exit_status.h"
#include "core/host_checks.h"
#include "core/operands.h"
#include "core/output.h"
#include "core/ssm_receiver.h"
#include "platform/membership.h"
#include "platform/process.h"
#include "platform/socket.h"

namespace {

int print_usage(const char* name) {
  // No line end: the line is as the receivers have always printed it.
  append_output(" Use: ", 6);
  append_output(name, std::strlen(name));
  append_output(" <group> <source> <port>", 24);
  flush_output();
  return exit_usage;
}

// Quotes an operand for a message: control characters would break the one
// line, and a huge operand would bury the reason.
void quote_operand(char* out, std::size_t room, const char* text) {
  std::size_t i = 0;
  for (; text[i] != '\0' && i + 4 < room; ++i) {
    unsigned char c = static_cast<unsigned char>(text[i]);
    out[i] = c < 0x20 || c == 0x7f ? '?' : static_cast<char>(c);
  }
  if (text[i] != '\0') {
    // Cut where a character begins, never inside a UTF-8 sequence.
    std::size_t cut = i - 3;
    while (cut > 0 && (static_cast<unsigned char>(text[cut]) & 0xc0) == 0x80) {
      --cut;
    }
    std::memcpy(out + cut, "...", 3);
    i = cut + 3;
  }
  out[i] = '\0';
}

// Words what is wrong with an operand into problem: "<what> '<text>': <expected>".
int bad_operand(char* problem, std::size_t room, const char* what, const char* text,
                const char* expected) {
  char quoted[80];
  quote_operand(quoted, sizeof quoted, text);
  (void)std::snprintf(problem, room, "%s '%s': %s", what, quoted, expected);
  return exit_usage;
}

}  // namespace

void print_failure(const char* program, const char* what, const char* reason) {
  // A message that cannot be written has nowhere else to go.
  (void)std::fprintf(stderr, "%s: %s: %s\n", program, what, reason);
}

void print_channel_notice(const char* program, const char* what, const char* group_text,
                          const char* source_text, const char* reason) {
  // An interface name is not checked beyond its length: show it safely.
  char group[320];
  char source[80];
  quote_operand(group, sizeof group, group_text);
  quote_operand(source, sizeof source, source_text);
  if (reason != nullptr) {
    (void)std::fprintf(stderr, "%s: %s group %s from source %s: %s\n", program, what, group,
                       source, reason);
  } else {
    (void)std::fprintf(stderr, "%s: %s group %s from source %s\n", program, what, group, source);
  }
}

int output_failure(const char* program) {
  print_failure(program, "write to standard output", platform_output_error_text());
  return exit_failure;
}

std::uint32_t ipv4_value(const ssm_address& address) {
  std::uint32_t value;
  std::memcpy(&value, address.bytes, sizeof value);
  return value;
}

int join_ssm_group(ssm_socket socket, std::uint32_t group, std::uint32_t source,
                   std::uint32_t interface_address) {
  return platform_add_source_membership(socket, group, source, interface_address);
}

int join_ssm_channel(ssm_receiver* receiver, const char** reason) {
  const ssm_channel& channel = receiver->channel;
  unsigned index = channel.interface_index;
  bool missing = false;
  if (channel.interface_name != nullptr) {
    index = platform_interface_index(channel.interface_name);
    missing = index == 0;
  } else if (index != 0) {
    // The system would say "No such device": one wording for either form.
    missing = !platform_interface_exists(index);
  }
  if (missing) {
    *reason = "no such interface";
    return -1;
  }
  if (channel.group.family == ssm_ipv6 && index != 0 && index != receiver->bound_interface) {
    // The membership alone would let in the channel's datagrams of every
    // link where any socket holds it. Tried once per index: a refusal
    // would be the same a second later.
    receiver->bound_interface = index;
    if (platform_bind_to_interface(receiver->socket, index) != 0) {
      receiver->unbound_reason = platform_socket_error_text();
    }
  }
  int joined =
      channel.group.family == ssm_ipv4 && index == 0
          ? join_ssm_group(receiver->socket, ipv4_value(channel.group),
                           ipv4_value(channel.source), 0)
          : platform_join_source_group(receiver->socket, &channel.group, &channel.source, index);
  if (joined != 0) {
    *reason = platform_socket_error_text();
    return joined;
  }
  // Where the system chose the interface, ask it which one.
  receiver->membership_interface =
      index != 0 ? index : platform_membership_interface(receiver->socket, &channel.group);
  return 0;
}

int renew_ssm_membership(ssm_receiver* receiver, const char** reason) {
  unsigned& held = receiver->membership_interface;
  if (held != 0 && !platform_interface_exists(held)) {
    // Whatever the result, the membership is of no use any more; and an IPv6
    // request without an interface would match it and be refused for ever.
    (void)platform_leave_group(receiver->socket, &receiver->channel.group, held);
    held = 0;
  }
  int joined = join_ssm_channel(receiver, reason);
  if (joined == 0 || held == 0) {
    return joined;
  }
  // Refused as a held membership would be; the file that says whether the
  // interface still holds it is read only then, not on every renewal.
  device_membership device = platform_device_holds_membership(held, &receiver->channel.group,
                                                              &receiver->channel.source);
  if (device == device_lacks) {
    (void)platform_leave_group(receiver->socket, &receiver->channel.group, held);
    held = 0;
    return join_ssm_channel(receiver, reason);
  }
  return renewal_held;
}

void warn_unbound_interface(const char* program, ssm_receiver* receiver) {
  if (receiver->unbound_reason == nullptr) {
    return;
  }
  char interface[80];
  if (receiver->channel.interface_name != nullptr) {
    quote_operand(interface, sizeof interface, receiver->channel.interface_name);
  } else {
    (void)std::snprintf(interface, sizeof interface, "%u", receiver->bound_interface);
  }
  (void)std::fprintf(stderr, "%s: warning: bind to interface %s: %s\n", program, interface,
                     receiver->unbound_reason);
  receiver->unbound_reason = nullptr;
}

namespace {

// Whether an IPv6 address is an IPv4 one in disguise (::ffff:a.b.c.d): no
// IPv6 membership can carry it.
bool ipv4_mapped(const ssm_address& address) {
  static const unsigned char prefix[12] = {0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0xff, 0xff};
  return address.family == ssm_ipv6 && std::memcmp(address.bytes, prefix, sizeof prefix) == 0;
}

// Reads the first size characters of text as an address of either family;
// returns the message for text that is neither, or nullptr. `room` holds a
// message made for this text.
const char* read_address(const char* text, std::size_t size, ssm_address* address, char* room,
                         std::size_t room_size) {
  if (parse_address_operand(text, size, address)) {
    if (!ipv4_mapped(*address)) {
      return nullptr;
    }
    const unsigned char* v4 = address->bytes + 12;
    // Fits: four numbers of at most three digits.
    (void)std::snprintf(room, room_size,
                        "an IPv4-mapped IPv6 address: write the IPv4 address (%u.%u.%u.%u)",
                        v4[0], v4[1], v4[2], v4[3]);
    return room;
  }
  return std::memchr(text, ':', size) != nullptr ? "not an IPv6 address"
                                                 : "not a dotted-decimal IPv4 address";
}

// Reads the group operand: an address, and the interface after a '%'.
// Returns 0 or, after the message, exit_usage.
int read_group(const char* text, ssm_channel* channel, char* problem, std::size_t room) {
  interface_suffix suffix{};
  if (!parse_interface_suffix(text, platform_interface_name_most(), &suffix)) {
    char expected[96];
    // Fits: the longest name is a few hundred characters at most.
    (void)std::snprintf(expected, sizeof expected,
                        "the interface after '%%' must be a name of 1 to %zu characters "
                        "or an index",
                        platform_interface_name_most());
    return bad_operand(problem, room, "group", text, expected);
  }
  char made[96];
  const char* wrong = read_address(text, suffix.address_size, &channel->group, made, sizeof made);
  if (wrong != nullptr) {
    return bad_operand(problem, room, "group", text, wrong);
  }
  channel->interface_name = suffix.index == 0 ? suffix.name : nullptr;
  channel->interface_index = suffix.index;
  return 0;
}

}  // namespace

int open_ssm_receiver(int argc, char** argv, const char* program, ssm_receiver* receiver) {
  platform_prepare_output();
  if (argc < 4) {
    const char* name = argc > 0 && argv[0] != nullptr ? argv[0] : program;
    return print_usage(name);
  }
  return open_ssm_channel(program, argv[1], argv[2], argv[3], false, receiver);
}

int read_channel_operands(const char* group_text, const char* source_text,
                          const char* port_text, ssm_channel* channel, char* problem,
                          std::size_t room) {
  *channel = ssm_channel{};
  if (read_group(group_text, channel, problem, room) != 0) {
    return exit_usage;
  }
  char made[96];
  const char* wrong = std::strchr(source_text, '%') != nullptr
                          ? "the interface goes on the group (<group>%<interface>), not on "
                            "the source"
                          : read_address(source_text, std::strlen(source_text), &channel->source,
                                         made, sizeof made);
  if (wrong != nullptr) {
    return bad_operand(problem, room, "source", source_text, wrong);
  }
  if (!parse_port_operand(port_text, &channel->port)) {
    return bad_operand(problem, room, "port", port_text, "not a decimal number from 0 to 65535");
  }
  if (channel->group.family != channel->source.family) {
    char quoted_group[80];
    char quoted_source[80];
    quote_operand(quoted_group, sizeof quoted_group, group_text);
    quote_operand(quoted_source, sizeof quoted_source, source_text);
    (void)std::snprintf(problem, room, "group '%s' and source '%s': not of one address family",
                        quoted_group, quoted_source);
    return exit_usage;
  }
  return 0;
}

int prepare_sockets(const char* program) {
  // Before any socket: one must not take the place of a closed stream.
  if (platform_open_standard_streams() != 0) {
    print_failure(program, "write to standard output", "it is closed");
    return exit_failure;
  }
  if (platform_start_sockets() != 0) {
    print_failure(program, "start the sockets library", platform_socket_error_text());
    return exit_failure;
  }
  return 0;
}

int open_ssm_channel(const char* program, const char* group_text, const char* source_text,
                     const char* port_text, bool always_noted, ssm_receiver* receiver) {
  ssm_channel channel{};
  char problem[operand_problem_room];
  if (read_channel_operands(group_text, source_text, port_text, &channel, problem,
                            sizeof problem) != 0) {
    // A message that cannot be written has nowhere else to go.
    (void)std::fprintf(stderr, "%s: %s\n", program, problem);
    return exit_usage;
  }

  int status = prepare_sockets(program);
  if (status != 0) {
    return status;
  }
  ssm_socket socket = platform_open_udp_socket(channel.group.family);
  if (socket == ssm_no_socket) {
    print_failure(program, "open a UDP socket", platform_socket_error_text());
    return exit_failure;
  }
  if (platform_bind_any(socket, channel.group.family, channel.port) != 0) {
    char what[64];
    // Fits: a port has at most five digits.
    (void)std::snprintf(what, sizeof what, "bind to port %u", static_cast<unsigned>(channel.port));
    print_failure(program, what, platform_socket_error_text());
    return exit_failure;
  }
  if (channel.port == 0) {
    // Nothing could be aimed at the port without knowing it.
    std::uint16_t chosen = 0;
    if (platform_bound_port(socket, &chosen) == 0) {
      (void)std::fprintf(stderr, "%s: port 0: the system chose port %u\n", program,
                         static_cast<unsigned>(chosen));
    } else {
      print_failure(program, "port 0: find the port the system chose",
                    platform_socket_error_text());
    }
  }
  receiver->socket = socket;
  receiver->channel = channel;
  receiver->membership_interface = 0;
  receiver->bound_interface = 0;
  receiver->unbound_reason = nullptr;
  receiver->host = host_findings{};
  receiver->host.rp_filter = -1;
  receiver->host.rp_filter_own = -1;
  receiver->host.rp_filter_all = -1;
  const char* reason = nullptr;
  receiver->joined = join_ssm_channel(receiver, &reason) == 0;
  // Kept: the next failed call may write over the system's text.
  (void)std::snprintf(receiver->join_refusal, sizeof receiver->join_refusal, "%s",
                      receiver->joined ? "" : reason);
  warn_unbound_interface(program, receiver);
  if (!receiver->joined) {
    // Not fatal: whatever still reaches the port is reported.
    print_channel_notice(program, "warning: join", group_text, source_text, reason);
  }
  // After a refused join only the firewall is asked: unicast to the port
  // still comes, and ssm_watch may join later.
  check_host_blockers(program, receiver);
  // From here on a stop writes out the lines held before the program ends.
  platform_catch_stops(socket, always_noted);
  return 0;
}
