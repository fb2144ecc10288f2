#include "bare_loop.h"

#include <signal.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <cstdint>
#include <cstdio>
#include <cstring>

#include "operands.h"
#include "platform.h"

volatile long bare_datagrams = 0;

namespace {

int granted_queue_bytes = 0;

char* put_decimal(char* out, long value) {
  char digits[24];
  int count = 0;
  do {
    digits[count++] = static_cast<char>('0' + value % 10);
    value /= 10;
  } while (value > 0);
  while (count > 0) {
    *out++ = digits[--count];
  }
  return out;
}

// Only async-signal-safe calls: the loop may be anywhere when it comes.
void report_and_exit(int) {
  char text[96];
  char* p = text;
  std::memcpy(p, "datagrams=", 10);
  p = put_decimal(p + 10, bare_datagrams);
  std::memcpy(p, " rcvbuf=", 8);
  p = put_decimal(p + 8, granted_queue_bytes);
  *p++ = '\n';
  ssize_t ignored = write(STDOUT_FILENO, text, static_cast<std::size_t>(p - text));
  (void)ignored;
  _exit(0);
}

}  // namespace

int open_bare_receiver(int argc, char** argv, const char* program) {
  std::uint32_t group = 0;
  std::uint32_t source = 0;
  std::uint16_t port = 0;
  if (argc != 4 || !parse_ipv4_operand(argv[1], &group) ||
      !parse_ipv4_operand(argv[2], &source) || !parse_port_operand(argv[3], &port)) {
    std::fprintf(stderr, "Usage: %s <group> <source> <port>\n", program);
    return -1;
  }
  ssm_socket socket = platform_open_udp_socket(ssm_ipv4);
  if (socket == ssm_no_socket || platform_bind_any(socket, ssm_ipv4, port) != 0 ||
      platform_add_source_membership(socket, group, source, 0) != 0) {
    std::fprintf(stderr, "%s: set up the socket: %s\n", program, platform_socket_error_text());
    return -1;
  }
  int fd = static_cast<int>(socket);
  socklen_t size = sizeof granted_queue_bytes;
  getsockopt(fd, SOL_SOCKET, SO_RCVBUF, &granted_queue_bytes, &size);
  struct sigaction action;
  std::memset(&action, 0, sizeof action);
  action.sa_handler = report_and_exit;
  sigemptyset(&action.sa_mask);
  sigaction(SIGTERM, &action, nullptr);
  return fd;
}
