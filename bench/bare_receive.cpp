// bare_receive: the practical limit of the kernel path, the like of
// ssm_listen: one blocking recvfrom per datagram, counted, nothing written.
#include <netinet/in.h>
#include <sys/socket.h>

#include "bench/bare_loop.h"

int main(int argc, char** argv) {
  int fd = open_bare_receiver(argc, argv, "bare_receive");
  if (fd < 0) {
    return 2;
  }
  static unsigned char buffer[65536];
  // Room for an IPv6 sender; an IPv4 one fills only its part.
  sockaddr_in6 from{};
  socklen_t from_size = sizeof from;
  for (;;) {
    if (recvfrom(fd, buffer, sizeof buffer, 0, reinterpret_cast<sockaddr*>(&from), &from_size) >=
        0) {
      bare_datagrams = bare_datagrams + 1;
    }
  }
}
