// ssm_send: sends a numbered stream of UDP datagrams from a chosen local source
// address to a group (or any address) and port, for trying the receivers.
// POSIX only: it is a test and demonstration tool, not part of the receivers.
#include <arpa/inet.h>
#include <getopt.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <time.h>
#include <unistd.h>

#include <cerrno>
#include <cstdint>
#include <cstdio>
#include <cstring>

#include "exit_status.h"
#include "operands.h"
#include "report_line.h"

namespace {

const char program[] = "ssm_send";

const char usage_text[] =
    "Usage: ssm_send [-c count] [-r rate | -i milliseconds] [-l length] [-s start]\n"
    "                [-t ttl] <group> <source> <port>\n"
    "       ssm_send -h | --help\n"
    "Sends count datagrams (default 10) from the local address <source> to\n"
    "<group>:<port>, rate a second (0: as fast as possible; default 10) or one\n"
    "every milliseconds (-i wins over -r, in any order), each length bytes long\n"
    "(0 to 65507; default 32), with a little-endian 32-bit sequence number in\n"
    "bytes 0-3 counting up from start (default 1). The rest of the payload is\n"
    "zero. -h or --help prints this text.\n";

// Consecutive sends retried after EINTR or ENOBUFS, 100 us apart at most.
const int max_send_retries = 10000;

// The largest UDP payload that IPv4 carries.
const long long max_payload = 65507;

struct send_options {
  long long count = 10;
  long long rate = 10;         // datagrams a second; 0 is as fast as possible
  long long interval_us = -1;  // set by -i; overrides the rate
  long long length = 32;
  long long start = 1;
  long long ttl = 1;
};

// A message that cannot be written has nowhere else to go: the results of
// the writes to standard error are not looked at.
int usage_error(const char* what, const char* text) {
  if (what != nullptr) {
    (void)std::fprintf(stderr, "%s: %s '%s': not a valid value\n", program, what, text);
  }
  (void)std::fputs(usage_text, stderr);
  return exit_usage;
}

int failure(const char* what) {
  (void)std::fprintf(stderr, "%s: %s: %s\n", program, what, std::strerror(errno));
  return exit_failure;
}

long long now_us() {
  timespec now{};
  clock_gettime(CLOCK_MONOTONIC, &now);
  return static_cast<long long>(now.tv_sec) * 1000000 + now.tv_nsec / 1000;
}

void sleep_until_us(long long when) {
  timespec due{};
  due.tv_sec = static_cast<time_t>(when / 1000000);
  due.tv_nsec = static_cast<long>(when % 1000000) * 1000;
  while (clock_nanosleep(CLOCK_MONOTONIC, TIMER_ABSTIME, &due, nullptr) == EINTR) {
  }
}

void put_sequence(unsigned char* payload, long long length, std::uint32_t sequence) {
  unsigned char bytes[4] = {
      static_cast<unsigned char>(sequence), static_cast<unsigned char>(sequence >> 8),
      static_cast<unsigned char>(sequence >> 16), static_cast<unsigned char>(sequence >> 24)};
  std::memcpy(payload, bytes, static_cast<std::size_t>(length < 4 ? length : 4));
}

// Parses one option's value into *value; false when it is not in range.
bool option_value(int option, const char* text, send_options* options) {
  long long value = 0;
  switch (option) {
    case 'c':
      return parse_decimal_operand(text, 0, 1000000000, &options->count);
    case 'r':
      return parse_decimal_operand(text, 0, 10000000, &options->rate);
    case 'i':
      if (!parse_decimal_operand(text, 0, 3600000, &value)) {
        return false;
      }
      options->interval_us = value * 1000;
      return true;
    case 'l':
      return parse_decimal_operand(text, 0, max_payload, &options->length);
    case 's':
      return parse_decimal_operand(text, INT32_MIN, INT32_MAX, &options->start);
    case 't':
      return parse_decimal_operand(text, 0, 255, &options->ttl);
    default:
      return false;
  }
}

const char* option_name(int option) {
  switch (option) {
    case 'c':
      return "count";
    case 'r':
      return "rate";
    case 'i':
      return "interval";
    case 'l':
      return "length";
    case 's':
      return "start";
    default:
      return "ttl";
  }
}

// Where the stream goes, from the operands.
struct send_channel {
  std::uint32_t group = 0;   // network byte order
  std::uint32_t source = 0;  // network byte order
  std::uint16_t port = 0;
};

// What parse_command_line() returns when the usage text was asked for.
const int help_printed = -1;

// Reads the options and the three operands. Returns 0, help_printed after
// the usage text on standard output, or the exit status after the message.
int parse_command_line(int argc, char** argv, send_options* options, send_channel* channel) {
  static const struct option long_options[] = {{"help", no_argument, nullptr, 'h'},
                                               {nullptr, 0, nullptr, 0}};
  int option;
  opterr = 0;
  while ((option = getopt_long(argc, argv, "hc:r:i:l:s:t:", long_options, nullptr)) != -1) {
    if (option == 'h') {
      // The text asked for is the output: a failed write is a failure.
      if (std::fputs(usage_text, stdout) < 0 || std::fflush(stdout) != 0) {
        return failure("write to standard output");
      }
      return help_printed;
    }
    if (option == '?' || option == ':') {
      // A long option is named as it was given; optopt is 0 for one unknown.
      const char* given = argv[optind - 1];
      if (optopt != 0 && std::strncmp(given, "--", 2) != 0) {
        (void)std::fprintf(stderr, "%s: option '-%c': unknown or missing its value\n", program,
                           optopt);
      } else {
        (void)std::fprintf(stderr, "%s: option '%s': unknown or missing its value\n", program,
                           given);
      }
      return usage_error(nullptr, nullptr);
    }
    if (!option_value(option, optarg, options)) {
      return usage_error(option_name(option), optarg);
    }
  }
  if (argc - optind != 3) {
    (void)std::fprintf(stderr, "%s: operands: %d given, 3 needed (<group> <source> <port>)\n",
                       program, argc - optind);
    return usage_error(nullptr, nullptr);
  }
  if (!parse_ipv4_operand(argv[optind], &channel->group)) {
    return usage_error("group", argv[optind]);
  }
  if (!parse_ipv4_operand(argv[optind + 1], &channel->source)) {
    return usage_error("source", argv[optind + 1]);
  }
  if (!parse_port_operand(argv[optind + 2], &channel->port)) {
    return usage_error("port", argv[optind + 2]);
  }
  return 0;
}

// Opens a UDP socket bound to the source address that sends multicast from it
// with the TTL asked for. Returns 0 and *fd, or the exit status after the
// message.
int open_sender(const send_channel& channel, const send_options& options, int* fd) {
  *fd = socket(AF_INET, SOCK_DGRAM, IPPROTO_UDP);
  if (*fd < 0) {
    return failure("open a UDP socket");
  }
  sockaddr_in local{};
  local.sin_family = AF_INET;
  local.sin_addr.s_addr = channel.source;
  if (bind(*fd, reinterpret_cast<sockaddr*>(&local), sizeof local) != 0) {
    int reason = errno;
    char what[48];
    format_ipv4(what, channel.source);
    char text[80];
    // Fits: an address has at most 15 characters.
    (void)std::snprintf(text, sizeof text, "bind to source %s", what);
    errno = reason;
    return failure(text);
  }
  in_addr interface_address{};
  interface_address.s_addr = channel.source;
  if (setsockopt(*fd, IPPROTO_IP, IP_MULTICAST_IF, &interface_address,
                 sizeof interface_address) != 0) {
    return failure("send multicast from the source address");
  }
  unsigned char ttl = static_cast<unsigned char>(options.ttl);
  if (setsockopt(*fd, IPPROTO_IP, IP_MULTICAST_TTL, &ttl, sizeof ttl) != 0) {
    return failure("set the multicast TTL");
  }
  return 0;
}

// Sends the numbered stream at the pace asked for. Returns 0, or the exit
// status after the message.
int send_stream(int fd, const send_channel& channel, const send_options& options) {
  sockaddr_in destination{};
  destination.sin_family = AF_INET;
  destination.sin_addr.s_addr = channel.group;
  destination.sin_port = htons(channel.port);

  static unsigned char payload[max_payload];
  long long interval_us = options.interval_us;
  if (interval_us < 0) {
    interval_us = options.rate == 0 ? 0 : 1000000 / options.rate;
  }
  // Due times are kept from the start, so the rate holds on average even when
  // one sleep runs long; a datagram is never sent early.
  long long started = now_us();
  std::uint32_t sequence = static_cast<std::uint32_t>(options.start);
  int retries = 0;
  for (long long sent = 0; sent < options.count; ++sent, ++sequence) {
    if (interval_us > 0) {
      long long due = options.interval_us < 0 && options.rate > 0
                          ? started + sent * 1000000 / options.rate
                          : started + sent * interval_us;
      if (due > now_us()) {
        sleep_until_us(due);
      }
    }
    put_sequence(payload, options.length, sequence);
    ssize_t result = sendto(fd, payload, static_cast<std::size_t>(options.length), 0,
                            reinterpret_cast<sockaddr*>(&destination), sizeof destination);
    if (result < 0) {
      // A full device queue drains in moments; one that stays full for about
      // a second is a failure like any other.
      if ((errno == EINTR || errno == ENOBUFS) && retries < max_send_retries) {
        ++retries;
        if (errno == ENOBUFS) {
          sleep_until_us(now_us() + 100);
        }
        --sent;
        --sequence;
        continue;
      }
      return failure("send");
    }
    retries = 0;
  }
  return 0;
}

}  // namespace

int main(int argc, char** argv) {
  send_options options;
  send_channel channel;
  int status = parse_command_line(argc, argv, &options, &channel);
  if (status == help_printed) {
    return 0;
  }
  if (status != 0) {
    return status;
  }
  int fd = -1;
  status = open_sender(channel, options, &fd);
  if (status != 0) {
    return status;
  }
  return send_stream(fd, channel, options);
}
