#include "ssm_monitor/monitor_options.h"

#include <cstdio>
#include <cstring>

#include "core/exit_status.h"
#include "core/operands.h"
#include "core/options.h"
#include "core/output.h"
#include "core/report_line.h"
#include "core/ssm_receiver.h"

namespace {

const char synopsis[] =
    "[-j] [-b] [-s seconds] [-f file] [-l [address:]port] [-o file] "
    "[<group>[%interface] <source> <port>]...";

const char usage_text[] =
    "Usage: ssm_monitor [-j] [-b] [-s seconds] [-f file] [-l [address:]port] [-o file]\n"
    "                   [<group>[%interface] <source> <port>]...\n"
    "       ssm_monitor -h\n"
    "Watches source-specific multicast channels, given as operands (three each)\n"
    "or in a file (-f: one channel a line, \"<group>[%interface] <source> <port>\n"
    "[name]\", # to the end of a line is a comment), joins each as ssm_watch does,\n"
    "and writes one line on standard output for each event: joined, refused, up,\n"
    "silent (no datagram for -s seconds, default 3, and why), missing sequence\n"
    "numbers (bytes 0-3, little-endian; -b: big-endian), jump, host_dropped, and\n"
    "left. -j writes them as JSON Lines. -l serves the channels' figures to\n"
    "Prometheus at http://[address:]port/metrics (a port alone: on 127.0.0.1);\n"
    "-o writes them to a file once a second, for a textfile collector. SIGHUP\n"
    "reads the file again; SIGINT or SIGTERM ends it. Exit status: 0 stopped,\n"
    "1 usage, 2 cannot run.\n";

int print_help(const char* program) {
  if (append_output(usage_text, sizeof usage_text - 1) != 0 || flush_output() != 0) {
    return output_failure(program);
  }
  return monitor_help_printed;
}

struct monitor_walk {
  const char* program;
  monitor_options* options;
};

int take_option(void* context, char letter, const char* value) {
  monitor_walk* walk = static_cast<monitor_walk*>(context);
  monitor_options* options = walk->options;
  switch (letter) {
    case 'h':
      return print_help(walk->program);
    case 'j':
      options->json = true;
      return 0;
    case 'b':
      options->big_endian = true;
      return 0;
    case 'f':
      options->file = value;
      return 0;
    case 'o':
      options->metrics_file = value;
      return 0;
    case 'l':
      if (parse_listen_place(value, &options->listen)) {
        return 0;
      }
      return option_error(walk->program, "listen address", value,
                          "not a port from 1 to 65535, or <address>:<port> (IPv6 in brackets: "
                          "[::1]:9958)");
    default:
      break;
  }
  if (parse_decimal_operand(value, 1, monitor_silence_most, &options->silence_s)) {
    return 0;
  }
  char expected[64];
  // Fits: the words and two numbers.
  (void)std::snprintf(expected, sizeof expected, "not a decimal number from 1 to %lld",
                      monitor_silence_most);
  return option_error(walk->program, "seconds", value, expected);
}

int take_operand(void* context, const char* text) {
  static_cast<monitor_walk*>(context)->options->operands.push_back(text);
  return 0;
}

}  // namespace

bool parse_listen_place(const char* text, listen_place* place) {
  const char* port_text = text;
  ssm_address address{ssm_ipv4, {127, 0, 0, 1}};
  const char* colon = std::strrchr(text, ':');
  if (text[0] == '[') {
    const char* end = std::strchr(text, ']');
    if (end == nullptr || end[1] != ':' ||
        !parse_address_operand(text + 1, static_cast<std::size_t>(end - text - 1), &address) ||
        address.family != ssm_ipv6) {
      return false;
    }
    port_text = end + 2;
  } else if (colon != nullptr) {
    // One colon, after an IPv4 address: an IPv6 one needs its brackets.
    if (std::strchr(text, ':') != colon ||
        !parse_address_operand(text, static_cast<std::size_t>(colon - text), &address)) {
      return false;
    }
    port_text = colon + 1;
  }
  long long port = 0;
  if (!parse_decimal_operand(port_text, 1, 65535, &port)) {
    return false;
  }
  place->given = true;
  place->address = address;
  place->port = static_cast<std::uint16_t>(port);
  char shown[address_text_max];
  shown[format_address(shown, address)] = '\0';
  (void)std::snprintf(place->text, sizeof place->text,
                      address.family == ssm_ipv6 ? "[%s]:%u" : "%s:%u", shown,
                      static_cast<unsigned>(port));
  return true;
}

int parse_monitor_options(int argc, char** argv, const char* program, monitor_options* options) {
  options->json = false;
  options->big_endian = false;
  options->silence_s = 3;
  options->file = nullptr;
  options->listen = listen_place{};
  options->metrics_file = nullptr;
  options->operands.clear();
  monitor_walk walk{program, options};
  const option_letters letters{"hjb", "sflo"};
  int status = walk_command_line(argc, argv, program, &letters, take_option, take_operand, &walk);
  if (status != 0) {
    return status;
  }
  std::size_t given = options->operands.size();
  if (given % 3 != 0) {
    (void)std::fprintf(stderr, "%s: %zu operand%s given, three for each channel: %s %s\n",
                       program, given, given == 1 ? "" : "s", program, synopsis);
    return exit_usage;
  }
  if (given == 0 && options->file == nullptr) {
    (void)std::fprintf(stderr, "%s: no channel: give one or more, or -f file: %s %s\n", program,
                       program, synopsis);
    return exit_usage;
  }
  return 0;
}
