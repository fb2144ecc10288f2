// Windows sockets, Winsock 2.2 (32-bit x86 first; the 64-bit build is the same).
#include "platform/socket.h"

#include <winsock2.h>
#include <ws2tcpip.h>

#include <climits>
#include <cstdio>
#include <cstring>

#include "platform/process_win32.h"

namespace {

// Asked for, not required: the stack may give less.
const int wanted_receive_queue_bytes = 4 * 1024 * 1024;

// Large enough for any system message; longer ones are cut, not overrun.
char socket_error_text[512];

SOCKET as_socket(ssm_socket socket) {
  return static_cast<SOCKET>(socket);
}

int clamp_size(std::size_t size) {
  return size > static_cast<std::size_t>(INT_MAX) ? INT_MAX : static_cast<int>(size);
}

// Winsock has no MSG_DONTWAIT: a socket that must never block is made so.
int make_non_blocking(SOCKET s) {
  u_long non_blocking = 1;
  // FIONBIO is an unsigned constant with the high bit set; ioctlsocket takes a long.
  return ioctlsocket(s, static_cast<long>(FIONBIO), &non_blocking);
}

// A receive's sender. Room for either family: an IPv6 socket address is the
// larger.
typedef sockaddr_in6 sender_room;

void take_sender(const sender_room* from, ssm_address* sender) {
  if (from->sin6_family == AF_INET6) {
    sender->family = ssm_ipv6;
    std::memcpy(sender->bytes, &from->sin6_addr, 16);
  } else {
    sender->family = ssm_ipv4;
    std::memcpy(sender->bytes, &reinterpret_cast<const sockaddr_in*>(from)->sin_addr, 4);
  }
}

// How long a wait runs before it looks for a stop request noted meanwhile.
const int stop_look_ms = 100;

// select on the one socket; see platform_wait_readable.
int select_readable(ssm_socket socket, int wait_ms) {
  if (socket == ssm_no_socket) {
    WSASetLastError(WSAENOTSOCK);
    return -1;
  }
  // select may rewrite both, so they are set afresh for every wait. The set
  // is filled directly: one socket, and Winsock's fd_set is a counted array.
  fd_set readable;
  readable.fd_count = 1;
  readable.fd_array[0] = as_socket(socket);
  timeval timeout{};
  timeout.tv_sec = wait_ms / 1000;
  timeout.tv_usec = (wait_ms % 1000) * 1000;
  timeval* limit = wait_ms < 0 ? nullptr : &timeout;
  // Winsock ignores the count.
  int ready = select(0, &readable, nullptr, nullptr, limit);
  if (ready > 0) {
    return 1;
  }
  if (ready == 0) {
    return 0;
  }
  return WSAGetLastError() == WSAEINTR ? wait_cut_short : -1;
}

// The reasons start-up can meet, for a system without message texts.
const char* fallback_text(int failure) {
  switch (failure) {
    case WSAEADDRINUSE:
      return "Address already in use";
    case WSAEACCES:
      return "Permission denied";
    case WSAEADDRNOTAVAIL:
      return "Address not available";
    case WSAEINVAL:
      return "Invalid argument";
    case WSAENOBUFS:
      return "No buffer space available";
    case WSAENOPROTOOPT:
      return "Bad protocol option";
    case WSAEMFILE:
      return "Too many open sockets";
    case WSAENETDOWN:
      return "Network is down";
    case WSASYSNOTREADY:
      return "Network subsystem not ready";
    case WSAVERNOTSUPPORTED:
      return "Winsock 2.2 not supported";
    default:
      return nullptr;
  }
}

// The socket address of address and port (host byte order) in *local.
// Returns its size.
int local_address(const ssm_address* address, std::uint16_t port, sender_room* local) {
  if (address->family == ssm_ipv6) {
    local->sin6_family = AF_INET6;
    local->sin6_port = htons(port);
    std::memcpy(&local->sin6_addr, address->bytes, 16);
    return static_cast<int>(sizeof(sockaddr_in6));
  }
  auto* local4 = reinterpret_cast<sockaddr_in*>(local);
  local4->sin_family = AF_INET;
  local4->sin_port = htons(port);
  std::memcpy(&local4->sin_addr, address->bytes, 4);
  return static_cast<int>(sizeof(sockaddr_in));
}

}  // namespace

int platform_start_sockets() {
  WSADATA data;
  int failure = WSAStartup(MAKEWORD(2, 2), &data);
  if (failure != 0) {
    // WSAStartup returns its error instead of setting it.
    WSASetLastError(failure);
    return -1;
  }
  return 0;
}

ssm_socket platform_open_udp_socket(ssm_family family) {
  SOCKET s = socket(family == ssm_ipv6 ? AF_INET6 : AF_INET, SOCK_DGRAM, IPPROTO_UDP);
  if (s == INVALID_SOCKET) {
    return ssm_no_socket;
  }
  // The socket never blocks in the receive, and every wait is a select (see
  // platform_receive). Winsock delivers a group only to the sockets that
  // joined it, so no option is needed for that.
  if (make_non_blocking(s) != 0) {
    closesocket(s);
    return ssm_no_socket;
  }
  if (family == ssm_ipv6) {
    // The default already, but said: an IPv4 channel has its own socket.
    DWORD on = 1;
    setsockopt(s, IPPROTO_IPV6, IPV6_V6ONLY, reinterpret_cast<const char*>(&on), sizeof on);
  }
  int queue = wanted_receive_queue_bytes;
  setsockopt(s, SOL_SOCKET, SO_RCVBUF, reinterpret_cast<const char*>(&queue), sizeof queue);
  return static_cast<ssm_socket>(s);
}

long platform_receive_queue_bytes(ssm_socket socket) {
  int granted = 0;
  int size = static_cast<int>(sizeof granted);
  if (getsockopt(as_socket(socket), SOL_SOCKET, SO_RCVBUF, reinterpret_cast<char*>(&granted),
                 &size) != 0) {
    return 0;
  }
  return granted;
}

int platform_bind_any(ssm_socket socket, ssm_family family, std::uint16_t port) {
  ssm_address any{};
  any.family = family;
  sender_room local{};
  int size = local_address(&any, port, &local);
  return bind(as_socket(socket), reinterpret_cast<const sockaddr*>(&local), size);
}

int platform_bound_port(ssm_socket socket, std::uint16_t* port) {
  sender_room local{};
  int size = static_cast<int>(sizeof local);
  if (getsockname(as_socket(socket), reinterpret_cast<sockaddr*>(&local), &size) != 0) {
    return -1;
  }
  // The port is at the same place in both families' socket addresses.
  *port = ntohs(local.sin6_port);
  return 0;
}

long platform_receive(ssm_socket socket, unsigned char* buffer, std::size_t size,
                      ssm_address* sender, int wait_ms) {
  if (wait_ms != receive_no_wait) {
    int ready = platform_wait_readable(socket, wait_ms);
    if (ready == 0 || ready == wait_cut_short) {
      return receive_nothing;
    }
    if (ready < 0) {
      return -1;
    }
  }
  sender_room from{};
  int from_size = static_cast<int>(sizeof from);
  int length = recvfrom(as_socket(socket), reinterpret_cast<char*>(buffer), clamp_size(size), 0,
                        reinterpret_cast<sockaddr*>(&from), &from_size);
  if (length == SOCKET_ERROR) {
    // The socket does not block: a datagram the wait saw can be gone by now.
    int failure = WSAGetLastError();
    if (failure == WSAEWOULDBLOCK || failure == WSAEINTR) {
      return receive_nothing;
    }
    return -1;
  }
  take_sender(&from, sender);
  return length;
}

// Sleep counts in the system's timer ticks (often 15.6 ms): a wait for the
// next datagram keeps the pause within the millisecond asked for. Lines are
// held: the console handler must not end the process here.
void platform_pause(ssm_socket socket, int wait_us) {
  (void)select_readable(socket, (wait_us + 999) / 1000);
}

int platform_wait_readable(ssm_socket socket, int wait_ms) {
  if (wait_ms == receive_no_wait) {
    return select_readable(socket, wait_ms);
  }
  if (stops_only_noted()) {
    // A select on one thread is not cut short by a handler on another.
    for (int left = wait_ms;; left -= stop_look_ms) {
      if (stop_noted()) {
        return wait_cut_short;
      }
      int slice = wait_ms < 0 || left > stop_look_ms ? stop_look_ms : left;
      int ready = select_readable(socket, slice);
      if (ready != 0 || (wait_ms >= 0 && left <= stop_look_ms)) {
        return ready;
      }
    }
  }
  let_stop_in();
  int ready = select_readable(socket, wait_ms);
  keep_stop_out();
  return ready;
}

const char* platform_socket_error_text() {
  int failure = WSAGetLastError();
  if (!system_error_words(static_cast<unsigned long>(failure), socket_error_text,
                          sizeof socket_error_text)) {
    // Some systems (Wine among them) have no text for the Winsock codes.
    const char* text = fallback_text(failure);
    if (text != nullptr) {
      // Fits: the longest fallback text and an int leave room to spare.
      (void)std::snprintf(socket_error_text, sizeof socket_error_text, "%s (Winsock error %d)",
                          text, failure);
    } else {
      (void)std::snprintf(socket_error_text, sizeof socket_error_text, "Winsock error %d",
                          failure);
    }
  }
  return socket_error_text;
}

void platform_close_socket(ssm_socket socket) {
  closesocket(as_socket(socket));
}

int platform_bind_group(ssm_socket socket, const ssm_address* group, std::uint16_t port,
                        unsigned /*scope_index*/) {
  // Winsock takes no multicast address in a bind: the wildcard, shared.
  BOOL on = TRUE;
  setsockopt(as_socket(socket), SOL_SOCKET, SO_REUSEADDR, reinterpret_cast<const char*>(&on),
             sizeof on);
  return platform_bind_any(socket, group->family, port);
}

namespace {

// How many connections the system keeps waiting for the program to take.
const int waiting_most = 128;

// Gives back the socket after a failure, keeping the failure's code.
void close_keeping_failure(SOCKET s) {
  int failure = WSAGetLastError();
  closesocket(s);
  WSASetLastError(failure);
}

}  // namespace

ssm_socket platform_listen_tcp(const ssm_address* address, std::uint16_t port) {
  SOCKET s = socket(address->family == ssm_ipv6 ? AF_INET6 : AF_INET, SOCK_STREAM, IPPROTO_TCP);
  if (s == INVALID_SOCKET) {
    return ssm_no_socket;
  }
  // No option: Windows binds again a port whose last connections wait out
  // their time, and its SO_REUSEADDR would let another socket share the port.
  sender_room local{};
  int size = local_address(address, port, &local);
  if (bind(s, reinterpret_cast<const sockaddr*>(&local), size) != 0 ||
      listen(s, waiting_most) != 0 || make_non_blocking(s) != 0) {
    close_keeping_failure(s);
    return ssm_no_socket;
  }
  return static_cast<ssm_socket>(s);
}

int platform_accept(ssm_socket listener, ssm_socket* connection) {
  for (;;) {
    SOCKET s = accept(as_socket(listener), nullptr, nullptr);
    if (s != INVALID_SOCKET) {
      if (make_non_blocking(s) != 0) {
        close_keeping_failure(s);
        return -1;
      }
      *connection = static_cast<ssm_socket>(s);
      return 1;
    }
    int failure = WSAGetLastError();
    if (failure == WSAEWOULDBLOCK) {
      return 0;
    }
    // A connection that gave up while it waited: the next one.
    if (failure != WSAECONNRESET && failure != WSAEINTR) {
      return -1;
    }
  }
}

long platform_receive_stream(ssm_socket connection, char* buffer, std::size_t size) {
  int got = recv(as_socket(connection), buffer, clamp_size(size), 0);
  if (got != SOCKET_ERROR) {
    return got;
  }
  int failure = WSAGetLastError();
  return failure == WSAEWOULDBLOCK || failure == WSAEINTR ? receive_nothing : -1;
}

long platform_send_stream(ssm_socket connection, const char* data, std::size_t size) {
  int sent = send(as_socket(connection), data, clamp_size(size), 0);
  if (sent != SOCKET_ERROR) {
    return sent;
  }
  int failure = WSAGetLastError();
  return failure == WSAEWOULDBLOCK || failure == WSAEINTR ? 0 : -1;
}
