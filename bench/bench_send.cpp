#include "bench_send.h"

#include <arpa/inet.h>
#include <sys/socket.h>
#include <time.h>

#include <cerrno>
#include <cstdio>
#include <cstring>

int open_bench_sender(const char* program, std::uint32_t group, std::uint32_t source,
                      std::uint16_t port, sockaddr_in* destination) {
  int fd = socket(AF_INET, SOCK_DGRAM, IPPROTO_UDP);
  sockaddr_in local{};
  local.sin_family = AF_INET;
  local.sin_addr.s_addr = source;
  in_addr interface_address{};
  interface_address.s_addr = source;
  // A deep send queue: at full speed the sender must not stall on its own
  // buffer before the receiver's.
  int queue = 4 * 1024 * 1024;
  if (fd < 0 || bind(fd, reinterpret_cast<sockaddr*>(&local), sizeof local) != 0 ||
      setsockopt(fd, IPPROTO_IP, IP_MULTICAST_IF, &interface_address, sizeof interface_address) !=
          0) {
    std::fprintf(stderr, "%s: set up the sending socket: %s\n", program, std::strerror(errno));
    return -1;
  }
  setsockopt(fd, SOL_SOCKET, SO_SNDBUF, &queue, sizeof queue);
  std::memset(destination, 0, sizeof *destination);
  destination->sin_family = AF_INET;
  destination->sin_addr.s_addr = group;
  destination->sin_port = htons(port);
  return fd;
}

long long now_ns() {
  timespec now{};
  clock_gettime(CLOCK_MONOTONIC, &now);
  return static_cast<long long>(now.tv_sec) * 1000000000LL + now.tv_nsec;
}

void put_sequence(unsigned char* payload, std::uint32_t sequence) {
  payload[0] = static_cast<unsigned char>(sequence);
  payload[1] = static_cast<unsigned char>(sequence >> 8);
  payload[2] = static_cast<unsigned char>(sequence >> 16);
  payload[3] = static_cast<unsigned char>(sequence >> 24);
}
