// POSIX sockets (Linux first; macOS and the BSDs fill the same names).
#include "platform/socket.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <time.h>
#include <unistd.h>
#ifdef __linux__
#include <sys/prctl.h>
#endif

#include <fcntl.h>

#include <cerrno>
#include <cstring>

#include "platform/socket_posix.h"

namespace {

// The socket address of address, port (host byte order) and, for IPv6, the
// scope in *local. Returns its size.
socklen_t local_address(const ssm_address* address, std::uint16_t port, unsigned scope_index,
                        sender_room* local) {
  if (address->family == ssm_ipv6) {
    local->sin6_family = AF_INET6;
    local->sin6_port = htons(port);
    std::memcpy(&local->sin6_addr, address->bytes, 16);
    local->sin6_scope_id = scope_index;
    return sizeof(sockaddr_in6);
  }
  auto* local4 = reinterpret_cast<sockaddr_in*>(local);
  local4->sin_family = AF_INET;
  local4->sin_port = htons(port);
  std::memcpy(&local4->sin_addr, address->bytes, 4);
  return sizeof(sockaddr_in);
}

int make_non_blocking(int fd) {
  int flags = fcntl(fd, F_GETFL);
  return flags < 0 ? -1 : fcntl(fd, F_SETFL, flags | O_NONBLOCK);
}

// How many connections the system keeps waiting for the program to take.
const int waiting_most = 128;

// Gives back the descriptor after a failure, keeping the failure's errno.
void close_keeping_errno(int fd) {
  int saved = errno;
  close(fd);
  errno = saved;
}

}  // namespace

int platform_start_sockets() {
  return 0;
}

ssm_socket platform_open_udp_socket(ssm_family family) {
  int fd = socket(family == ssm_ipv6 ? AF_INET6 : AF_INET, SOCK_DGRAM, IPPROTO_UDP);
  if (fd < 0) {
    return ssm_no_socket;
  }
  if (family == ssm_ipv6) {
    // IPv6 only, whatever the system's default: an IPv4 channel has its own
    // socket.
    int on = 1;
    setsockopt(fd, IPPROTO_IPV6, IPV6_V6ONLY, &on, sizeof on);
#ifdef IPV6_MULTICAST_ALL
    int all = 0;
    setsockopt(fd, IPPROTO_IPV6, IPV6_MULTICAST_ALL, &all, sizeof all);
#endif
  } else {
#ifdef IP_MULTICAST_ALL
    // Linux otherwise hands a wildcard-bound socket every group that any
    // socket on the host joined, not just its own channel.
    int all = 0;
    setsockopt(fd, IPPROTO_IP, IP_MULTICAST_ALL, &all, sizeof all);
#endif
  }
#ifndef SSM_DEFAULT_RCVBUF
  int queue = wanted_receive_queue_bytes;
  setsockopt(fd, SOL_SOCKET, SO_RCVBUF, &queue, sizeof queue);
#endif
#ifdef PR_SET_TIMERSLACK
  // A pause of a quarter millisecond would otherwise run up to 50 us long
  // (the default slack), and gather more than the batch was sized for.
  prctl(PR_SET_TIMERSLACK, 1000UL, 0UL, 0UL, 0UL);
#endif
  return fd;
}

long platform_receive_queue_bytes(ssm_socket socket) {
  int granted = 0;
  socklen_t size = sizeof granted;
  if (getsockopt(static_cast<int>(socket), SOL_SOCKET, SO_RCVBUF, &granted, &size) != 0) {
    return 0;
  }
  return granted;
}

int platform_bound_port(ssm_socket socket, std::uint16_t* port) {
  sender_room local{};
  socklen_t size = sizeof local;
  if (getsockname(static_cast<int>(socket), reinterpret_cast<sockaddr*>(&local), &size) != 0) {
    return -1;
  }
  // The port is at the same place in both families' socket addresses.
  *port = ntohs(local.sin6_port);
  return 0;
}

int platform_bind_any(ssm_socket socket, ssm_family family, std::uint16_t port) {
  ssm_address any{};
  any.family = family;
  sender_room local{};
  socklen_t size = local_address(&any, port, 0, &local);
  return bind(static_cast<int>(socket), reinterpret_cast<sockaddr*>(&local), size);
}

long platform_receive(ssm_socket socket, unsigned char* buffer, std::size_t size,
                      ssm_address* sender, int wait_ms) {
  int fd = static_cast<int>(socket);
  int flags = 0;
  if (wait_ms != receive_wait_forever) {
    // A timed wait is a poll: SO_RCVTIMEO counts in scheduler ticks.
    if (wait_ms > 0) {
      int ready = platform_wait_readable(socket, wait_ms);
      if (ready <= 0) {
        return ready == -1 ? -1 : receive_nothing;
      }
    }
    flags = MSG_DONTWAIT;
  }
  sender_room from{};
  socklen_t from_size = sizeof from;
  ssize_t length =
      recvfrom(fd, buffer, size, flags, reinterpret_cast<sockaddr*>(&from), &from_size);
  if (shut_not_datagram(length, from_size)) {
    return receive_nothing;  // a stop came
  }
  if (length < 0) {
    if (errno == EAGAIN || errno == EWOULDBLOCK || errno == EINTR) {
      return receive_nothing;
    }
    return -1;
  }
  take_sender(&from, sender);
  return static_cast<long>(length);
}

void platform_pause(ssm_socket /*socket*/, int wait_us) {
  timespec pause{};
  pause.tv_sec = wait_us / 1000000;
  pause.tv_nsec = static_cast<long>(wait_us % 1000000) * 1000;
  // Cut short by a signal, it has done its part: the loop receives at once.
  nanosleep(&pause, nullptr);
}

int platform_wait_readable(ssm_socket socket, int wait_ms) {
  // poll, not select: select cannot take a descriptor at or above
  // FD_SETSIZE, which a parent that leaves many open gives us.
  pollfd wanted{};
  wanted.fd = static_cast<int>(socket);
  wanted.events = POLLIN;
  if (wanted.fd < 0) {
    errno = EBADF;  // poll would skip it and wait out the time
    return -1;
  }
  int ready = poll(&wanted, 1, wait_ms < 0 ? -1 : wait_ms);
  if (ready < 0) {
    return errno == EINTR ? wait_cut_short : -1;
  }
  if (ready > 0 && (wanted.revents & POLLNVAL) != 0) {
    errno = EBADF;
    return -1;
  }
  // An error pending on the socket is readable too: the receive reports it.
  return ready > 0 ? 1 : 0;
}

const char* platform_socket_error_text() {
  return std::strerror(errno);
}

void platform_close_socket(ssm_socket socket) {
  close(static_cast<int>(socket));
}

int platform_bind_group(ssm_socket socket, const ssm_address* group, std::uint16_t port,
                        unsigned scope_index) {
  int fd = static_cast<int>(socket);
  int on = 1;
  setsockopt(fd, SOL_SOCKET, SO_REUSEADDR, &on, sizeof on);
  sender_room local{};
  socklen_t size = local_address(group, port, scope_index, &local);
  return bind(fd, reinterpret_cast<sockaddr*>(&local), size);
}

ssm_socket platform_listen_tcp(const ssm_address* address, std::uint16_t port) {
  int fd = socket(address->family == ssm_ipv6 ? AF_INET6 : AF_INET, SOCK_STREAM, IPPROTO_TCP);
  if (fd < 0) {
    return ssm_no_socket;
  }
  // A restart binds again at once, while the last run's connections wait
  // out their time.
  int on = 1;
  setsockopt(fd, SOL_SOCKET, SO_REUSEADDR, &on, sizeof on);
  sender_room local{};
  socklen_t size = local_address(address, port, 0, &local);
  if (bind(fd, reinterpret_cast<sockaddr*>(&local), size) != 0 ||
      listen(fd, waiting_most) != 0 || make_non_blocking(fd) != 0) {
    close_keeping_errno(fd);
    return ssm_no_socket;
  }
  return fd;
}

int platform_accept(ssm_socket listener, ssm_socket* connection) {
  for (;;) {
    int fd = accept(static_cast<int>(listener), nullptr, nullptr);
    if (fd >= 0) {
      if (make_non_blocking(fd) != 0) {
        close_keeping_errno(fd);
        return -1;
      }
      *connection = fd;
      return 1;
    }
    if (errno == EAGAIN || errno == EWOULDBLOCK) {
      return 0;
    }
    // A connection that gave up while it waited, or a signal: the next one.
    if (errno != EINTR && errno != ECONNABORTED && errno != EPROTO) {
      return -1;
    }
  }
}

long platform_receive_stream(ssm_socket connection, char* buffer, std::size_t size) {
  ssize_t got = recv(static_cast<int>(connection), buffer, size, MSG_DONTWAIT);
  if (got >= 0) {
    return static_cast<long>(got);
  }
  return errno == EAGAIN || errno == EWOULDBLOCK || errno == EINTR ? receive_nothing : -1;
}

long platform_send_stream(ssm_socket connection, const char* data, std::size_t size) {
  // MSG_NOSIGNAL: a peer gone is a failed send, not SIGPIPE, which would end
  // the monitor.
  ssize_t sent = send(static_cast<int>(connection), data, size, MSG_DONTWAIT | MSG_NOSIGNAL);
  if (sent >= 0) {
    return static_cast<long>(sent);
  }
  return errno == EAGAIN || errno == EWOULDBLOCK || errno == EINTR ? 0 : -1;
}
