// From the command line to a bound socket with its source-specific membership.
#include <cstdio>
#include <cstring>

#include "exit_status.h"
#include "operands.h"
#include "output.h"
#include "ssm_receiver.h"

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

int bad_operand(const char* program, const char* what, const char* text, const char* expected) {
  char quoted[80];
  quote_operand(quoted, sizeof quoted, text);
  // A message that cannot be written has nowhere else to go.
  (void)std::fprintf(stderr, "%s: %s '%s': %s\n", program, what, quoted, expected);
  return exit_usage;
}

}  // namespace

void print_failure(const char* program, const char* what, const char* reason) {
  // A message that cannot be written has nowhere else to go.
  (void)std::fprintf(stderr, "%s: %s: %s\n", program, what, reason);
}

int output_failure(const char* program) {
  print_failure(program, "write to standard output", platform_output_error_text());
  return exit_failure;
}

int join_ssm_group(ssm_socket socket, std::uint32_t group, std::uint32_t source,
                   std::uint32_t interface_address) {
  return platform_add_source_membership(socket, group, source, interface_address);
}

int renew_ssm_membership(ssm_receiver* receiver) {
  unsigned& held = receiver->membership_interface;
  if (held != 0 && !platform_interface_exists(held)) {
    // Whatever the result, the membership is of no use any more.
    (void)platform_leave_group(receiver->socket, receiver->channel.group, held);
    held = 0;
  }
  int joined =
      join_ssm_group(receiver->socket, receiver->channel.group, receiver->channel.source, 0);
  if (joined == 0) {
    held = platform_membership_interface(receiver->socket, receiver->channel.group);
  }
  return joined;
}

int open_ssm_receiver(int argc, char** argv, const char* program, ssm_receiver* receiver) {
  platform_prepare_output();
  if (argc < 4) {
    const char* name = argc > 0 && argv[0] != nullptr ? argv[0] : program;
    return print_usage(name);
  }
  const char* group_text = argv[1];
  const char* source_text = argv[2];
  const char* port_text = argv[3];
  ssm_channel channel{};
  if (!parse_ipv4_operand(group_text, &channel.group)) {
    return bad_operand(program, "group", group_text, "not a dotted-decimal IPv4 address");
  }
  if (!parse_ipv4_operand(source_text, &channel.source)) {
    return bad_operand(program, "source", source_text, "not a dotted-decimal IPv4 address");
  }
  if (!parse_port_operand(port_text, &channel.port)) {
    return bad_operand(program, "port", port_text, "not a decimal number from 0 to 65535");
  }

  // Before any socket: one must not take the place of a closed stream.
  if (platform_open_standard_streams() != 0) {
    (void)std::fprintf(stderr, "%s: standard output is closed\n", program);
    return exit_failure;
  }
  if (platform_start_sockets() != 0) {
    print_failure(program, "start the sockets library", platform_socket_error_text());
    return exit_failure;
  }
  ssm_socket socket = platform_open_udp_socket();
  if (socket == ssm_no_socket) {
    print_failure(program, "open a UDP socket", platform_socket_error_text());
    return exit_failure;
  }
  if (platform_bind_any(socket, channel.port) != 0) {
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
  receiver->joined = join_ssm_group(socket, channel.group, channel.source, 0) == 0;
  receiver->membership_interface =
      receiver->joined ? platform_membership_interface(socket, channel.group) : 0;
  if (!receiver->joined) {
    // Not fatal: whatever still reaches the port is reported.
    char what[96];
    // Fits: both operands passed the check, so neither is over 15 characters.
    (void)std::snprintf(what, sizeof what, "warning: join group %s from source %s", group_text,
                        source_text);
    print_failure(program, what, platform_socket_error_text());
  }
  receiver->socket = socket;
  receiver->channel = channel;
  // From here on a stop writes out the lines held before the program ends.
  platform_catch_stops();
  return 0;
}
