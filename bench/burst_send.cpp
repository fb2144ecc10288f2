// burst_send: sends a burst of numbered datagrams (32 bytes unless -l says
// otherwise) at a set rate, or as fast as it can (-r 0), so that the sender is
// not what limits a fast receiver: up to -b datagrams a sendmmsg call, and
// with -g, up to that many datagrams a message, which the kernel cuts into
// datagrams (UDP_SEGMENT). IPv4 or IPv6, to the operands the receivers take.
// Prints "sent=N seconds=T rate=R segments=S" (S: the datagrams a message
// carried at the end: 1 where the kernel would not cut them).
#include <netinet/in.h>
#include <netinet/udp.h>
#include <sys/socket.h>
#include <sys/uio.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstring>

#include "bench_send.h"
#include "operands.h"

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
// Bytes 0-3 of every datagram: its sequence number.
const std::size_t sequence_size = 4;
// A burst lasts seconds; one still going after this has stalled.
const long long give_up_ns = 60000000000LL;

int usage() {
  std::fprintf(stderr,
               "Usage: %s -c count -r rate [-l length] [-b batch] [-g segments] "
               "<group>[%%interface] <source> <port>\n",
               program);
  return 1;
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
  long long count = 0;
  long long rate = 0;
  long long length = default_length;
  long long batch_max = default_batch;
  long long segments = 1;
  int option;
  while ((option = getopt(argc, argv, "c:r:l:b:g:")) != -1) {
    bool ok = option == 'c'   ? parse_decimal_operand(optarg, 1, 100000000, &count)
              : option == 'r' ? parse_decimal_operand(optarg, 0, 100000000, &rate)
              : option == 'l' ? parse_decimal_operand(optarg, static_cast<long long>(sequence_size),
                                                      largest_length, &length)
              : option == 'b' ? parse_decimal_operand(optarg, 1, batch_limit, &batch_max)
              : option == 'g' ? parse_decimal_operand(optarg, 1, segments_limit, &segments)
                              : false;
    if (!ok) {
      return usage();
    }
  }
  bench_channel channel{};
  std::uint16_t port = 0;
  if (argc - optind != 3 || count == 0 ||
      !parse_bench_channel(argv[optind], argv[optind + 1], &channel) ||
      !parse_port_operand(argv[optind + 2], &port) ||
      (segments > 1 && segments * length > largest_cut_message)) {
    return usage();
  }
  sockaddr_storage destination{};
  socklen_t destination_size = 0;
  int fd = open_bench_sender(program, &channel, port, &destination, &destination_size);
  if (fd < 0) {
    return 2;
  }
  int cut = static_cast<int>(length);
  if (segments > 1 && setsockopt(fd, IPPROTO_UDP, UDP_SEGMENT, &cut, sizeof cut) != 0) {
    std::fprintf(stderr, "%s: UDP_SEGMENT: %s\n", program, std::strerror(errno));
    return 2;
  }
  // Each datagram is its own sequence number and then a filler all share, so
  // a batch of 1024 datagrams of 64 KiB needs no 64 MiB of buffers.
  static unsigned char sequences[batch_limit * segments_limit][sequence_size];
  static unsigned char filler[largest_length];
  static iovec pieces[batch_limit * segments_limit * 2];
  static mmsghdr messages[batch_limit];
  static long long carried[batch_limit];  // datagrams in each message
  for (std::size_t i = 0; i < static_cast<std::size_t>(batch_limit * segments_limit); ++i) {
    pieces[i * 2].iov_base = sequences[i];
    pieces[i * 2].iov_len = sequence_size;
    pieces[i * 2 + 1].iov_base = filler;
    pieces[i * 2 + 1].iov_len = static_cast<std::size_t>(length) - sequence_size;
  }
  for (int i = 0; i < batch_limit; ++i) {
    messages[i].msg_hdr.msg_name = &destination;
    messages[i].msg_hdr.msg_namelen = destination_size;
  }
  long long started = now_ns();
  long long sent = 0;
  while (sent < count) {
    if (now_ns() - started > give_up_ns) {
      std::fprintf(stderr, "%s: sent only %lld of %lld in time\n", program, sent, count);
      return 2;
    }
    long long capacity = batch_max * segments;
    long long batch = count - sent < capacity ? count - sent : capacity;
    if (rate > 0) {
      // Due count from the start, so the rate holds on average; the core is
      // the sender's own, so it spins rather than oversleeps.
      long long due = (now_ns() - started) * rate / 1000000000LL + 1;
      if (due <= sent) {
        continue;
      }
      if (due - sent < batch) {
        batch = due - sent;
      }
    }
    // The batch as messages of up to segments datagrams each, one sequence
    // number and one filler piece a datagram (empty for 4-byte datagrams).
    unsigned used = 0;
    for (long long first = 0; first < batch; first += segments, ++used) {
      long long here = batch - first < segments ? batch - first : segments;
      for (long long i = first; i < first + here; ++i) {
        put_sequence(sequences[i], static_cast<std::uint32_t>(sent + i + 1));
      }
      carried[used] = here;
      messages[used].msg_hdr.msg_iov = &pieces[static_cast<std::size_t>(first) * 2];
      messages[used].msg_hdr.msg_iovlen = static_cast<std::size_t>(here) * 2;
    }
    int done = sendmmsg(fd, messages, used, 0);
    if (done < 0) {
      if (errno == EINTR || errno == ENOBUFS || errno == EAGAIN) {
        continue;
      }
      if (sends_uncut(fd, errno, &segments)) {
        continue;
      }
      std::fprintf(stderr, "%s: send: %s\n", program, std::strerror(errno));
      return 2;
    }
    for (int m = 0; m < done; ++m) {
      sent += carried[m];
    }
  }
  double seconds = static_cast<double>(now_ns() - started) / 1e9;
  std::printf("sent=%lld seconds=%.6f rate=%.0f segments=%lld\n", sent, seconds,
              static_cast<double>(sent) / seconds, segments);
  return 0;
}
