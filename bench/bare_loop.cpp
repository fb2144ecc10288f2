#include "bench/bare_loop.h"

#include <signal.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <cstdint>
#include <cstdio>
#include <cstring>

#include "core/operands.h"
#include "platform/membership.h"
#include "platform/socket.h"

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
void report_and_exit(int /*signal_number*/) {
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

// The group operand, an address and an optional "%interface": its index in
// *index (0: the system chooses). Returns false when either is wrong.
bool read_group(const char* program, const char* text, ssm_address* group, unsigned* index) {
  interface_suffix suffix{};
  if (!parse_interface_suffix(text, platform_interface_name_most(), &suffix) ||
      !parse_address_operand(text, suffix.address_size, group)) {
    return false;
  }
  *index = suffix.index;
  if (suffix.index == 0 && suffix.name != nullptr) {
    *index = platform_interface_index(suffix.name);
    if (*index == 0) {
      (void)std::fprintf(stderr, "%s: no interface %s\n", program, suffix.name);
      return false;
    }
  }
  return true;
}

}  // namespace

int open_bare_receiver(int argc, char** argv, const char* program) {
  ssm_address group{};
  ssm_address source{};
  unsigned index = 0;
  std::uint16_t port = 0;
  if (argc != 4 || !read_group(program, argv[1], &group, &index) ||
      !parse_address_operand(argv[2], std::strlen(argv[2]), &source) ||
      source.family != group.family ||
      !parse_port_operand(argv[3], &port)) {
    (void)std::fprintf(stderr, "Usage: %s <group>[%%interface] <source> <port>\n", program);
    return -1;
  }
  ssm_socket socket = platform_open_udp_socket(group.family);
  if (socket == ssm_no_socket || platform_bind_any(socket, group.family, port) != 0) {
    (void)std::fprintf(stderr, "%s: set up the socket: %s\n", program,
                       platform_socket_error_text());
    return -1;
  }
  // As the receivers join: IPv4 on the system's interface as ever, the rest
  // by interface index.
  std::uint32_t group_ipv4 = 0;
  std::uint32_t source_ipv4 = 0;
  std::memcpy(&group_ipv4, group.bytes, sizeof group_ipv4);
  std::memcpy(&source_ipv4, source.bytes, sizeof source_ipv4);
  int joined = group.family == ssm_ipv4 && index == 0
                   ? platform_add_source_membership(socket, group_ipv4, source_ipv4, 0)
                   : platform_join_source_group(socket, &group, &source, index);
  if (joined != 0) {
    (void)std::fprintf(stderr, "%s: join the channel: %s\n", program,
                       platform_socket_error_text());
    return -1;
  }
  int fd = static_cast<int>(socket);
  report_count_at_stop(fd);
  return fd;
}

void report_count_at_stop(int fd) {
  socklen_t size = sizeof granted_queue_bytes;
  getsockopt(fd, SOL_SOCKET, SO_RCVBUF, &granted_queue_bytes, &size);
  struct sigaction action;
  std::memset(&action, 0, sizeof action);
  action.sa_handler = report_and_exit;
  sigemptyset(&action.sa_mask);
  sigaction(SIGTERM, &action, nullptr);
}
