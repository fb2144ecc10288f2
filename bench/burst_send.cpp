// burst_send: sends a burst of numbered 32-byte datagrams at a set rate, or
// as fast as it can (-r 0), in sendmmsg batches so that the sender is not
// what limits a fast receiver. Prints "sent=N seconds=T rate=R".
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstring>

#include "bench_send.h"
#include "operands.h"

namespace {

const char program[] = "burst_send";
const int batch_max = 64;
const std::size_t payload_size = 32;

int usage() {
  std::fprintf(stderr, "Usage: %s -c count -r rate <group> <source> <port>\n", program);
  return 1;
}

}  // namespace

int main(int argc, char** argv) {
  long long count = 0;
  long long rate = 0;
  int option;
  while ((option = getopt(argc, argv, "c:r:")) != -1) {
    bool ok = option == 'c'   ? parse_decimal_operand(optarg, 1, 100000000, &count)
              : option == 'r' ? parse_decimal_operand(optarg, 0, 100000000, &rate)
                              : false;
    if (!ok) {
      return usage();
    }
  }
  std::uint32_t group = 0;
  std::uint32_t source = 0;
  std::uint16_t port = 0;
  if (argc - optind != 3 || count == 0 || !parse_ipv4_operand(argv[optind], &group) ||
      !parse_ipv4_operand(argv[optind + 1], &source) ||
      !parse_port_operand(argv[optind + 2], &port)) {
    return usage();
  }
  sockaddr_in destination{};
  int fd = open_bench_sender(program, group, source, port, &destination);
  if (fd < 0) {
    return 2;
  }
  static unsigned char payloads[batch_max][payload_size];
  static iovec pieces[batch_max];
  static mmsghdr messages[batch_max];
  for (int i = 0; i < batch_max; ++i) {
    pieces[i].iov_base = payloads[i];
    pieces[i].iov_len = payload_size;
    messages[i].msg_hdr.msg_name = &destination;
    messages[i].msg_hdr.msg_namelen = sizeof destination;
    messages[i].msg_hdr.msg_iov = &pieces[i];
    messages[i].msg_hdr.msg_iovlen = 1;
  }
  long long started = now_ns();
  long long sent = 0;
  while (sent < count) {
    long long batch = count - sent < batch_max ? count - sent : batch_max;
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
    for (long long i = 0; i < batch; ++i) {
      put_sequence(payloads[i], static_cast<std::uint32_t>(sent + i + 1));
    }
    int done = sendmmsg(fd, messages, static_cast<unsigned>(batch), 0);
    if (done < 0) {
      if (errno == EINTR || errno == ENOBUFS || errno == EAGAIN) {
        continue;
      }
      std::fprintf(stderr, "%s: send: %s\n", program, std::strerror(errno));
      return 2;
    }
    sent += done;
  }
  double seconds = static_cast<double>(now_ns() - started) / 1e9;
  std::printf("sent=%lld seconds=%.6f rate=%.0f\n", sent, seconds,
              static_cast<double>(sent) / seconds);
  return 0;
}
