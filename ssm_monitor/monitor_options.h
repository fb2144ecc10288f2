// ssm_monitor's command line: [-j] [-b] [-s seconds] [-f file]
// [-l [address:]port] [-o file] and any number of channels, three operands
// each, options before, between or after them.
#ifndef SSM_MONITOR_MONITOR_OPTIONS_H
#define SSM_MONITOR_MONITOR_OPTIONS_H

#include <cstddef>
#include <cstdint>
#include <vector>

#include "platform/socket.h"

// The longest -s, in seconds: an hour.
const long long monitor_silence_most = 3600;

// Room for where -l listens, as messages write it: "[<IPv6 address>]:65535".
const std::size_t listen_text_room = 56;

// Where the metrics endpoint listens (-l).
struct listen_place {
  bool given;
  ssm_address address;
  std::uint16_t port;
  char text[listen_text_room];  // "127.0.0.1:9958", "[::1]:9958"
};

// What the command line asks for.
struct monitor_options {
  bool json;                // -j: events as JSON Lines
  bool big_endian;          // -b: sequence numbers are big-endian
  long long silence_s;      // -s: how long without a datagram is silent (default 3)
  const char* file;         // -f: the channel file; nullptr: none
  listen_place listen;      // -l: the metrics endpoint
  const char* metrics_file;  // -o: the metrics written once a second; nullptr: none
  std::vector<const char*> operands;  // the channels' operands, three each
};

// Reads -l's value: a port from 1 to 65535 alone (on 127.0.0.1), or
// <address>:<port>, an IPv6 address in brackets ("[::1]:9958"). Returns
// false when it is neither.
bool parse_listen_place(const char* text, listen_place* place);

// What parse_monitor_options() returns after the usage text asked for by -h.
const int monitor_help_printed = -1;

// Reads the command line into *options. Returns 0; monitor_help_printed after
// the usage text on standard output (-h, --help); or the exit status after
// one line on standard error (exit_usage), or when the text cannot be
// written (exit_failure).
int parse_monitor_options(int argc, char** argv, const char* program, monitor_options* options);

#endif  // SSM_MONITOR_MONITOR_OPTIONS_H
