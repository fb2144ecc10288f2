// bare_epoll: the floor of ssm_monitor: the same sockets, one a channel of
// a channel file, opened, bound and joined as the monitor does it; then
// epoll, and one recvfrom for each ready socket, counted, nothing else.
#include <netinet/in.h>
#include <sys/epoll.h>
#include <sys/socket.h>

#include <cstdio>
#include <vector>

#include "bench/bare_loop.h"
#include "core/ssm_receiver.h"
#include "platform/membership.h"
#include "platform/process.h"
#include "platform/socket.h"
#include "ssm_monitor/channel_list.h"

namespace {

const char program[] = "bare_epoll";
const int ready_most = 256;  // as many as the monitor takes from one wait

// Opens the entry's socket as the monitor's add_channel does and asks for
// its membership. Returns the descriptor, or -1 after a message.
int open_channel(const channel_entry& entry, int epoll_fd) {
  ssm_receiver receiver{};
  char problem[operand_problem_room];
  if (read_channel_operands(entry.group_text, entry.source_text, entry.port_text,
                            &receiver.channel, problem, sizeof problem) != 0) {
    (void)std::fprintf(stderr, "%s: %s\n", program, problem);
    return -1;
  }
  const ssm_channel& wanted = receiver.channel;
  unsigned scope = wanted.interface_name != nullptr
                       ? platform_interface_index(wanted.interface_name)
                       : wanted.interface_index;
  receiver.socket = platform_open_udp_socket(wanted.group.family);
  const char* reason = nullptr;
  if (receiver.socket == ssm_no_socket ||
      platform_bind_group(receiver.socket, &wanted.group, wanted.port, scope) != 0) {
    reason = platform_socket_error_text();
  } else if (join_ssm_channel(&receiver, &reason) == 0) {
    int fd = static_cast<int>(receiver.socket);
    epoll_event watched{};
    watched.events = EPOLLIN;
    watched.data.fd = fd;
    if (epoll_ctl(epoll_fd, EPOLL_CTL_ADD, fd, &watched) == 0) {
      return fd;
    }
    reason = platform_socket_error_text();
  }
  (void)std::fprintf(stderr, "%s: set up %s %s %s: %s\n", program, entry.group_text,
                     entry.source_text, entry.port_text, reason);
  return -1;
}

}  // namespace

int main(int argc, char** argv) {
  if (argc != 2) {
    (void)std::fprintf(stderr, "Usage: %s <channel file>\n", program);
    return 1;
  }
  std::vector<channel_entry> channels;
  char problem[channel_problem_room];
  if (list_file_channels(argv[1], &channels, problem, sizeof problem) != 0 || channels.empty()) {
    (void)std::fprintf(stderr, "%s: %s\n", program,
                       channels.empty() ? "no channel in the file" : problem);
    return 1;
  }
  long most = 0;
  (void)platform_raise_open_files(static_cast<long>(channels.size()) + 16, &most);
  int epoll_fd = epoll_create1(EPOLL_CLOEXEC);
  if (epoll_fd < 0) {
    (void)std::fprintf(stderr, "%s: epoll: %s\n", program, platform_socket_error_text());
    return 2;
  }
  int first = -1;
  for (const channel_entry& entry : channels) {
    int fd = open_channel(entry, epoll_fd);
    if (fd < 0) {
      return 2;
    }
    first = first < 0 ? fd : first;
  }
  report_count_at_stop(first);
  static unsigned char buffer[65536];
  epoll_event ready[ready_most];
  for (;;) {
    int count = epoll_wait(epoll_fd, ready, ready_most, -1);
    for (int i = 0; i < count; ++i) {
      // Room for an IPv6 sender; an IPv4 one fills only its part.
      sockaddr_in6 from{};
      socklen_t from_size = sizeof from;
      if (recvfrom(ready[i].data.fd, buffer, sizeof buffer, MSG_DONTWAIT,
                   reinterpret_cast<sockaddr*>(&from), &from_size) >= 0) {
        bare_datagrams = bare_datagrams + 1;
      }
    }
  }
}
