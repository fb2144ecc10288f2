// ssm_send: sends a numbered stream of UDP datagrams from a chosen local source
// address to a group (or any address) and port, for trying the receivers.
// POSIX only: it is a test and demonstration tool, not part of the receivers.
#include <arpa/inet.h>
#include <getopt.h>
#include <ifaddrs.h>
#include <net/if.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <time.h>
#include <unistd.h>

#include <cerrno>
#include <cstdint>
#include <cstdio>
#include <cstring>

#include "core/exit_status.h"
#include "core/operands.h"
#include "core/report_line.h"
#include "platform/socket.h"

namespace {

const char program[] = "ssm_send";

const char usage_text[] =
    "Usage: ssm_send [-c count] [-r rate | -i milliseconds] [-l length] [-s start]\n"
    "                [-t ttl] <group>[%interface] <source> <port>\n"
    "       ssm_send -h | --help\n"
    "Sends count datagrams (default 10) from the local address <source> to\n"
    "<group>:<port>, rate a second (0: as fast as possible; default 10) or one\n"
    "every milliseconds (-i wins over -r, in any order), each length bytes long\n"
    "(0 to 65507, over IPv6 to 65527; default 32), with a little-endian 32-bit\n"
    "sequence number in bytes 0-3 counting up from start (default 1). The rest\n"
    "of the payload is zero. <group> and <source> are both IPv4 or both IPv6.\n"
    "Multicast leaves through the interface after '%' (a name or an index),\n"
    "else through the one that holds <source>. -t is the multicast TTL or hop\n"
    "limit (default 1); over IPv6 it is also a unicast datagram's hop limit.\n"
    "-h or --help prints this text.\n";

// Consecutive sends retried after EINTR or ENOBUFS, 100 us apart at most.
const int max_send_retries = 10000;

// The largest UDP payloads that IPv4 and IPv6 carry.
const long long max_payload_ipv4 = 65507;
const long long max_payload_ipv6 = 65527;

const char option_letters[] = "hc:r:i:l:s:t:";
const struct option long_options[] = {{"help", no_argument, nullptr, 'h'},
                                      {nullptr, 0, nullptr, 0}};

struct send_options {
  long long count = 10;
  long long rate = 10;         // datagrams a second; 0 is as fast as possible
  long long interval_us = -1;  // set by -i; overrides the rate
  long long length = 32;
  long long start = 1;
  long long ttl = 1;
  bool ttl_given = false;  // only -t sets the hop limit of IPv6 unicast
  long long max_length = max_payload_ipv4;  // the group's family's
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
      return parse_decimal_operand(text, 0, options->max_length, &options->length);
    case 's':
      return parse_decimal_operand(text, INT32_MIN, INT32_MAX, &options->start);
    case 't':
      options->ttl_given = true;
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
  ssm_address group{};
  ssm_address source{};
  std::uint16_t port = 0;
  const char* interface_name = nullptr;  // the group's suffix, nullptr without
  unsigned interface_index = 0;          // the suffix as an index, 0 for a name
};

std::uint32_t ipv4_value(const ssm_address& address) {
  std::uint32_t value = 0;
  std::memcpy(&value, address.bytes, sizeof value);
  return value;
}

// The largest payload of the group's family. The options are read once
// without a word to find the group among the operands, so that a length too
// long for the family is refused where the option stands, as any other value.
long long family_max_length(int argc, char** argv) {
  opterr = 0;
  while (getopt_long(argc, argv, option_letters, long_options, nullptr) != -1) {
  }
  long long most = max_payload_ipv4;
  if (optind < argc) {
    const char* group = argv[optind];
    if (std::memchr(group, ':', std::strcspn(group, "%")) != nullptr) {
      most = max_payload_ipv6;
    }
  }
  optind = 0;  // glibc reads the options again from the start
  return most;
}

// What parse_command_line() returns when the usage text was asked for.
const int help_printed = -1;

// Reads the options and the three operands. Returns 0, help_printed after
// the usage text on standard output, or the exit status after the message.
int parse_command_line(int argc, char** argv, send_options* options, send_channel* channel) {
  options->max_length = family_max_length(argc, argv);
  int option;
  opterr = 0;
  while ((option = getopt_long(argc, argv, option_letters, long_options, nullptr)) != -1) {
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
  const char* group = argv[optind];
  const char* source = argv[optind + 1];
  interface_suffix suffix{};
  if (!parse_interface_suffix(group, IF_NAMESIZE - 1, &suffix)) {
    (void)std::fprintf(stderr,
                       "%s: group '%s': the interface after '%%' must be a name of 1 to %d "
                       "characters or an index\n",
                       program, group, IF_NAMESIZE - 1);
    return usage_error(nullptr, nullptr);
  }
  if (!parse_address_operand(group, suffix.address_size, &channel->group)) {
    return usage_error("group", group);
  }
  if (!parse_address_operand(source, std::strlen(source), &channel->source)) {
    return usage_error("source", source);
  }
  if (!parse_port_operand(argv[optind + 2], &channel->port)) {
    return usage_error("port", argv[optind + 2]);
  }
  if (channel->group.family != channel->source.family) {
    (void)std::fprintf(stderr, "%s: group '%s' and source '%s': not of one address family\n",
                       program, group, source);
    return usage_error(nullptr, nullptr);
  }
  channel->interface_name = suffix.name;
  channel->interface_index = suffix.index;
  return 0;
}

// The index of the interface that the group's suffix names, 0 without a
// suffix. Returns 0 and *index, or the exit status after the message.
int find_interface(const send_channel& channel, unsigned* index) {
  *index = 0;
  if (channel.interface_name == nullptr) {
    return 0;
  }
  if (channel.interface_index != 0) {
    char name[IF_NAMESIZE];
    // An index is looked at too, so that both kinds fail alike.
    if (if_indextoname(channel.interface_index, name) != nullptr) {
      *index = channel.interface_index;
    }
  } else {
    *index = if_nametoindex(channel.interface_name);
  }
  if (*index == 0) {
    (void)std::fprintf(stderr, "%s: interface '%s': no such interface\n", program,
                       channel.interface_name);
    return exit_failure;
  }
  return 0;
}

// The index of an interface that holds the IPv6 address, 0 when none does.
// Returns 0, or -1 (errno says why) when the interfaces cannot be listed.
int interface_holding(const unsigned char* address, unsigned* index) {
  ifaddrs* list = nullptr;
  if (getifaddrs(&list) != 0) {
    return -1;
  }
  *index = 0;
  for (const ifaddrs* entry = list; entry != nullptr && *index == 0; entry = entry->ifa_next) {
    if (entry->ifa_addr == nullptr || entry->ifa_addr->sa_family != AF_INET6) {
      continue;
    }
    sockaddr_in6 held{};
    std::memcpy(&held, entry->ifa_addr, sizeof held);
    if (std::memcmp(held.sin6_addr.s6_addr, address, 16) == 0) {
      *index = if_nametoindex(entry->ifa_name);
    }
  }
  freeifaddrs(list);
  return 0;
}

// Whether an IPv6 address means something only on one link, and so needs
// the link's index: link-local unicast, and interface- or link-local
// multicast.
bool needs_zone(const unsigned char* address) {
  bool link_local = address[0] == 0xfe && (address[1] & 0xc0) == 0x80;
  bool local_multicast = address[0] == 0xff && (address[1] & 0x0f) <= 2;
  return link_local || local_multicast;
}

// The message of a failed bind to the source, with its address.
int bind_failure(const ssm_address& source) {
  int reason = errno;
  char what[address_text_max];
  (void)format_address(what, source);
  char text[address_text_max + 32];
  // Fits: the longest address and the words.
  (void)std::snprintf(text, sizeof text, "bind to source %s", what);
  errno = reason;
  return failure(text);
}

// The message of a refused outgoing interface: the suffix's, or the source's.
int interface_failure(const send_channel& channel) {
  if (channel.interface_name == nullptr) {
    return failure("send multicast from the source address");
  }
  int reason = errno;
  char text[IF_NAMESIZE + 40];
  // Fits: the suffix is at most IF_NAMESIZE - 1 characters.
  (void)std::snprintf(text, sizeof text, "send multicast on interface '%s'",
                      channel.interface_name);
  errno = reason;
  return failure(text);
}

// Opens a UDP socket bound to the IPv4 source address that sends multicast
// from it (or on the interface with this index) with the TTL asked for.
// Returns 0 and *fd, or the exit status after the message.
int open_ipv4_sender(const send_channel& channel, const send_options& options, unsigned index,
                     int* fd) {
  *fd = socket(AF_INET, SOCK_DGRAM, IPPROTO_UDP);
  if (*fd < 0) {
    return failure("open a UDP socket");
  }
  sockaddr_in local{};
  local.sin_family = AF_INET;
  local.sin_addr.s_addr = ipv4_value(channel.source);
  if (bind(*fd, reinterpret_cast<sockaddr*>(&local), sizeof local) != 0) {
    return bind_failure(channel.source);
  }
  int set = 0;
  if (index != 0) {
    // By index: the interface named need not hold the source address.
    ip_mreqn request{};
    request.imr_address.s_addr = ipv4_value(channel.source);
    request.imr_ifindex = static_cast<int>(index);
    set = setsockopt(*fd, IPPROTO_IP, IP_MULTICAST_IF, &request, sizeof request);
  } else {
    in_addr interface_address{};
    interface_address.s_addr = ipv4_value(channel.source);
    set = setsockopt(*fd, IPPROTO_IP, IP_MULTICAST_IF, &interface_address,
                     sizeof interface_address);
  }
  if (set != 0) {
    return interface_failure(channel);
  }
  unsigned char ttl = static_cast<unsigned char>(options.ttl);
  if (setsockopt(*fd, IPPROTO_IP, IP_MULTICAST_TTL, &ttl, sizeof ttl) != 0) {
    return failure("set the multicast TTL");
  }
  return 0;
}

// Opens an IPv6-only UDP socket bound to the source address that sends
// multicast on the interface with index *index (0: the one that holds the
// source, as IPv4 does by itself, which *index then is) with the hop limit
// asked for. Returns 0 and *fd, or the exit status after the message.
int open_ipv6_sender(const send_channel& channel, const send_options& options, unsigned* index,
                     int* fd) {
  if (*index == 0 && interface_holding(channel.source.bytes, index) != 0) {
    return failure("find the interface of the source");
  }
  *fd = socket(AF_INET6, SOCK_DGRAM, IPPROTO_UDP);
  if (*fd < 0) {
    return failure("open a UDP socket");
  }
  int on = 1;
  if (setsockopt(*fd, IPPROTO_IPV6, IPV6_V6ONLY, &on, sizeof on) != 0) {
    return failure("make the socket IPv6 only");
  }
  sockaddr_in6 local{};
  local.sin6_family = AF_INET6;
  std::memcpy(local.sin6_addr.s6_addr, channel.source.bytes, 16);
  if (needs_zone(channel.source.bytes)) {
    local.sin6_scope_id = *index;
  }
  if (bind(*fd, reinterpret_cast<sockaddr*>(&local), sizeof local) != 0) {
    return bind_failure(channel.source);
  }
  // No interface holds a source that could be bound: the route decides.
  if (*index != 0 &&
      setsockopt(*fd, IPPROTO_IPV6, IPV6_MULTICAST_IF, index, sizeof *index) != 0) {
    return interface_failure(channel);
  }
  int hops = static_cast<int>(options.ttl);
  if (setsockopt(*fd, IPPROTO_IPV6, IPV6_MULTICAST_HOPS, &hops, sizeof hops) != 0) {
    return failure("set the multicast hop limit");
  }
  if (options.ttl_given && channel.group.bytes[0] != 0xff &&
      setsockopt(*fd, IPPROTO_IPV6, IPV6_UNICAST_HOPS, &hops, sizeof hops) != 0) {
    return failure("set the unicast hop limit");
  }
  return 0;
}

// Where the datagrams go: the group and port, and for an IPv6 group that
// needs one, the outgoing interface as its zone.
socklen_t destination_of(const send_channel& channel, unsigned index,
                         sockaddr_storage* destination) {
  *destination = sockaddr_storage{};
  if (channel.group.family == ssm_ipv4) {
    sockaddr_in ipv4{};
    ipv4.sin_family = AF_INET;
    ipv4.sin_addr.s_addr = ipv4_value(channel.group);
    ipv4.sin_port = htons(channel.port);
    std::memcpy(destination, &ipv4, sizeof ipv4);
    return sizeof ipv4;
  }
  sockaddr_in6 ipv6{};
  ipv6.sin6_family = AF_INET6;
  std::memcpy(ipv6.sin6_addr.s6_addr, channel.group.bytes, 16);
  ipv6.sin6_port = htons(channel.port);
  if (needs_zone(channel.group.bytes)) {
    ipv6.sin6_scope_id = index;
  }
  std::memcpy(destination, &ipv6, sizeof ipv6);
  return sizeof ipv6;
}

// Sends the numbered stream at the pace asked for. Returns 0, or the exit
// status after the message.
int send_stream(int fd, const sockaddr_storage& destination, socklen_t destination_size,
                const send_options& options) {
  static unsigned char payload[max_payload_ipv6];
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
                            reinterpret_cast<const sockaddr*>(&destination), destination_size);
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
  unsigned index = 0;
  status = find_interface(channel, &index);
  if (status != 0) {
    return status;
  }
  int fd = -1;
  status = channel.group.family == ssm_ipv4 ? open_ipv4_sender(channel, options, index, &fd)
                                            : open_ipv6_sender(channel, options, &index, &fd);
  if (status != 0) {
    return status;
  }
  sockaddr_storage destination{};
  socklen_t destination_size = destination_of(channel, index, &destination);
  return send_stream(fd, destination, destination_size, options);
}
