// bare_select: the like of ssm_watch, whose design takes one datagram per
// wait: select with a 1 s time-out, then one recvfrom, counted, nothing
// written.
#include <netinet/in.h>
#include <sys/select.h>
#include <sys/socket.h>

#include "bench/bare_loop.h"

int main(int argc, char** argv) {
  int fd = open_bare_receiver(argc, argv, "bare_select");
  if (fd < 0) {
    return 2;
  }
  static unsigned char buffer[65536];
  // Room for an IPv6 sender; an IPv4 one fills only its part.
  sockaddr_in6 from{};
  socklen_t from_size = sizeof from;
  for (;;) {
    fd_set readable;
    FD_ZERO(&readable);
    FD_SET(fd, &readable);
    timeval timeout{1, 0};
    if (select(fd + 1, &readable, nullptr, nullptr, &timeout) == 1 &&
        recvfrom(fd, buffer, sizeof buffer, MSG_DONTWAIT, reinterpret_cast<sockaddr*>(&from),
                 &from_size) >= 0) {
      bare_datagrams = bare_datagrams + 1;
    }
  }
}
