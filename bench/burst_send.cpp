// burst_send: sends a burst of numbered datagrams (32 bytes unless -l says
// otherwise) at a set rate, or as fast as it can (-r 0), so that the sender is
// not what limits a fast receiver: up to -b datagrams a sendmmsg call, and
// with -g, up to that many datagrams a message, which the kernel cuts into
// datagrams (UDP_SEGMENT). IPv4 or IPv6, to the operands the receivers take;
// with -n, to that many groups from the one given up (232.3.0.1, 232.3.0.2,
// ...), a datagram to each in turn, each group's numbered from 1 on its own.
// Prints "sent=N seconds=T rate=R segments=S" (S: the datagrams a message
// carried at the end: 1 where the kernel would not cut them).
#include <arpa/inet.h>
#include <netinet/in.h>
#include <netinet/udp.h>
#include <sys/socket.h>
#include <sys/uio.h>
#include <unistd.h>

#include <cerrno>
#include <cstddef>
#include <cstdio>
#include <cstring>

#include "bench/bench_send.h"
#include "core/operands.h"

namespace {

const char program[] = "burst_send";
// The kernel takes at most this many messages in one sendmmsg (UIO_MAXIOV).
const int batch_limit = 1024;
const long long default_batch = 1024;
// Datagrams a message may carry for the kernel to cut: UDP_MAX_SEGMENTS is
// 64 on older kernels, 128 on newer ones.
const int segments_limit = 64;
const long long default_length = 32;
const long long largest_length = 65507;
// A message the kernel cuts must itself fit in one IP datagram.
const long long largest_cut_message = 65000;
// The most groups -n spreads a burst over.
const long long groups_most = 10000;
// Bytes 0-3 of every datagram: its sequence number.
const std::size_t sequence_size = 4;
// A burst lasts seconds; one still going after this has stalled.
const long long give_up_ns = 60000000000LL;

// Each datagram is its own sequence number and then a filler all share, so
// a batch of 1024 datagrams of 64 KiB needs no 64 MiB of buffers.
unsigned char sequences[batch_limit * segments_limit][sequence_size];
unsigned char filler[largest_length];
iovec pieces[static_cast<std::size_t>(batch_limit) * segments_limit * 2];
mmsghdr messages[batch_limit];
sockaddr_storage destinations[groups_most];
socklen_t destination_size = 0;
long long carried[batch_limit];  // datagrams in each message

struct burst_options {
  long long count;
  long long rate;
  long long length;
  long long batch_max;
  long long segments;
  long long groups;
};

int usage() {
  (void)std::fprintf(stderr,
                     "Usage: %s -c count -r rate [-l length] [-b batch] [-g segments | -n groups] "
                     "<group>[%%interface] <source> <port>\n",
                     program);
  return 1;
}

// Reads one option into *options. Returns false for a wrong one.
bool read_option(int option, const char* text, burst_options* options) {
  switch (option) {
    case 'c':
      return parse_decimal_operand(text, 1, 100000000, &options->count);
    case 'r':
      return parse_decimal_operand(text, 0, 100000000, &options->rate);
    case 'l':
      return parse_decimal_operand(text, static_cast<long long>(sequence_size), largest_length,
                                   &options->length);
    case 'b':
      return parse_decimal_operand(text, 1, batch_limit, &options->batch_max);
    case 'g':
      return parse_decimal_operand(text, 1, segments_limit, &options->segments);
    case 'n':
      return parse_decimal_operand(text, 1, groups_most, &options->groups);
    default:
      return false;
  }
}

// Points every datagram's pieces at its sequence number and the filler, and
// lays out the destinations: the first one's group, then the groups after
// it, the last 32 bits of the address counted up.
void prepare_messages(long long length, long long groups) {
  for (std::size_t i = 0; i < static_cast<std::size_t>(batch_limit) * segments_limit; ++i) {
    pieces[i * 2].iov_base = sequences[i];
    pieces[i * 2].iov_len = sequence_size;
    pieces[i * 2 + 1].iov_base = filler;
    pieces[i * 2 + 1].iov_len = static_cast<std::size_t>(length) - sequence_size;
  }
  std::size_t at = destinations[0].ss_family == AF_INET6 ? offsetof(sockaddr_in6, sin6_addr) + 12
                                                         : offsetof(sockaddr_in, sin_addr);
  std::uint32_t low = 0;
  std::memcpy(&low, reinterpret_cast<unsigned char*>(&destinations[0]) + at, sizeof low);
  for (long long g = 1; g < groups; ++g) {
    destinations[g] = destinations[0];
    std::uint32_t next = htonl(ntohl(low) + static_cast<std::uint32_t>(g));
    std::memcpy(reinterpret_cast<unsigned char*>(&destinations[g]) + at, &next, sizeof next);
  }
}

// How many datagrams to send now: those left, up to capacity, and with a
// rate only those due by now (0 when none is).
long long due_now(const burst_options* options, long long sent, long long capacity,
                  long long started) {
  long long batch = options->count - sent < capacity ? options->count - sent : capacity;
  if (options->rate > 0) {
    // Due count from the start, so the rate holds on average; the core is
    // the sender's own, so it spins rather than oversleeps.
    long long due = (now_ns() - started) * options->rate / 1000000000LL + 1;
    if (due <= sent) {
      return 0;
    }
    if (due - sent < batch) {
      batch = due - sent;
    }
  }
  return batch;
}

// Lays the batch out as messages of up to segments datagrams each, numbered
// on from sent: one sequence number and one filler piece a datagram (empty
// for 4-byte datagrams). Over several groups (one datagram a message) the
// datagrams go to each in turn and each group counts its own. Returns how
// many messages.
unsigned lay_out(long long sent, long long batch, long long segments, long long groups) {
  unsigned used = 0;
  for (long long first = 0; first < batch; first += segments, ++used) {
    long long here = batch - first < segments ? batch - first : segments;
    for (long long i = first; i < first + here; ++i) {
      put_sequence(sequences[i], static_cast<std::uint32_t>((sent + i) / groups + 1));
    }
    messages[used].msg_hdr.msg_name = &destinations[(sent + first) % groups];
    messages[used].msg_hdr.msg_namelen = destination_size;
    carried[used] = here;
    messages[used].msg_hdr.msg_iov = &pieces[static_cast<std::size_t>(first) * 2];
    messages[used].msg_hdr.msg_iovlen = static_cast<std::size_t>(here) * 2;
  }
  return used;
}

// A message the kernel will not cut for this link (too large for its MTU,
// no checksum offload) may still go one datagram a message: says so, turns
// the cutting off and sets *segments to 1. Returns false for any other
// failure, or when the messages were not being cut.
bool sends_uncut(int fd, int error, long long* segments) {
  if (*segments == 1 ||
      (error != EIO && error != EINVAL && error != EMSGSIZE && error != EOPNOTSUPP)) {
    return false;
  }
  (void)std::fprintf(stderr, "%s: the kernel would not cut a message (%s): one datagram a "
                     "message\n", program, std::strerror(error));
  int off = 0;
  *segments = 1;
  return setsockopt(fd, IPPROTO_UDP, UDP_SEGMENT, &off, sizeof off) == 0;
}

}  // namespace

int main(int argc, char** argv) {
  burst_options options{0, 0, default_length, default_batch, 1, 1};
  int option;
  while ((option = getopt(argc, argv, "c:r:l:b:g:n:")) != -1) {
    if (!read_option(option, optarg, &options)) {
      return usage();
    }
  }
  bench_channel channel{};
  std::uint16_t port = 0;
  if (argc - optind != 3 || options.count == 0 ||
      !parse_bench_channel(argv[optind], argv[optind + 1], &channel) ||
      !parse_port_operand(argv[optind + 2], &port) ||
      (options.segments > 1 && options.segments * options.length > largest_cut_message) ||
      (options.segments > 1 && options.groups > 1)) {
    return usage();
  }
  int fd = open_bench_sender(program, &channel, port, &destinations[0], &destination_size);
  if (fd < 0) {
    return 2;
  }
  int cut = static_cast<int>(options.length);
  if (options.segments > 1 && setsockopt(fd, IPPROTO_UDP, UDP_SEGMENT, &cut, sizeof cut) != 0) {
    (void)std::fprintf(stderr, "%s: UDP_SEGMENT: %s\n", program, std::strerror(errno));
    return 2;
  }
  prepare_messages(options.length, options.groups);
  long long started = now_ns();
  long long sent = 0;
  while (sent < options.count) {
    if (now_ns() - started > give_up_ns) {
      (void)std::fprintf(stderr, "%s: sent only %lld of %lld in time\n", program, sent,
                         options.count);
      return 2;
    }
    long long batch = due_now(&options, sent, options.batch_max * options.segments, started);
    if (batch == 0) {
      continue;
    }
    int done = sendmmsg(fd, messages, lay_out(sent, batch, options.segments, options.groups), 0);
    if (done < 0) {
      if (errno == EINTR || errno == ENOBUFS || errno == EAGAIN ||
          sends_uncut(fd, errno, &options.segments)) {
        continue;
      }
      (void)std::fprintf(stderr, "%s: send: %s\n", program, std::strerror(errno));
      return 2;
    }
    for (int m = 0; m < done; ++m) {
      sent += carried[m];
    }
  }
  double seconds = static_cast<double>(now_ns() - started) / 1e9;
  std::printf("sent=%lld seconds=%.6f rate=%.0f segments=%lld\n", sent, seconds,
              static_cast<double>(sent) / seconds, options.segments);
  return 0;
}
