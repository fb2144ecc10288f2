// Windows sockets, Winsock 2.2 (32-bit x86 first; the 64-bit build is the same).
#include "platform.h"

#include <winsock2.h>
#include <ws2tcpip.h>
// After the Winsock headers, which it needs.
#include <iphlpapi.h>

#include <fcntl.h>
#include <io.h>

#include <cerrno>
#include <climits>
#include <cstdio>
#include <cstring>

namespace {

// Asked for, not required: the stack may give less.
const int wanted_receive_queue_bytes = 4 * 1024 * 1024;

// Large enough for any system message; longer ones are cut, not overrun.
char socket_error_text[512];

SOCKET as_socket(ssm_socket socket) {
  return static_cast<SOCKET>(socket);
}

// The address as a socket address of its family, port 0.
void put_address(SOCKADDR_STORAGE* out, const ssm_address* address) {
  std::memset(out, 0, sizeof *out);
  if (address->family == ssm_ipv6) {
    sockaddr_in6* in6 = reinterpret_cast<sockaddr_in6*>(out);
    in6->sin6_family = AF_INET6;
    std::memcpy(&in6->sin6_addr, address->bytes, 16);
  } else {
    sockaddr_in* in4 = reinterpret_cast<sockaddr_in*>(out);
    in4->sin_family = AF_INET;
    std::memcpy(&in4->sin_addr, address->bytes, 4);
  }
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

// The stop request noted by the console handler, which runs on a thread of
// its own.
volatile LONG noted_stop = 0;

// Held by the main thread, except in a wait made while no line is held: the
// handler may end the process only when it holds it.
CRITICAL_SECTION busy;
bool stops_caught = false;
// The program has something to say at a stop whenever it comes (a report):
// the handler only notes it, and waits look for the note between slices.
bool always_noted = false;

// How long a wait runs before it looks for a stop request noted meanwhile.
const int stop_look_ms = 100;

BOOL WINAPI note_stop(DWORD event) {
  if (event != CTRL_C_EVENT && event != CTRL_BREAK_EVENT && event != CTRL_CLOSE_EVENT) {
    return FALSE;
  }
  if (InterlockedCompareExchange(&noted_stop, static_cast<LONG>(event) + 1, 0) != 0) {
    // Asked twice: the lines are not worth waiting for any longer.
    ExitProcess(STATUS_CONTROL_C_EXIT);
  }
  if (always_noted) {
    return TRUE;
  }
  // The main thread holds lines only for moments, and ends the process
  // itself once they are written; while it waits with none, this does.
  EnterCriticalSection(&busy);
  ExitProcess(STATUS_CONTROL_C_EXIT);
  return TRUE;
}

// A wait in which the console handler may end the process.
void let_stop_in() {
  if (stops_caught) {
    LeaveCriticalSection(&busy);
  }
}

void keep_stop_out() {
  if (stops_caught) {
    EnterCriticalSection(&busy);
  }
}

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

// Leaves one line: Windows ends its messages with CR LF, and a few of them
// break lines in the middle.
void make_one_line(char* text) {
  for (char* p = text; *p != '\0'; ++p) {
    if (*p == '\r' || *p == '\n') {
      *p = ' ';
    }
  }
  std::size_t size = std::strlen(text);
  while (size > 0 && text[size - 1] == ' ') {
    text[--size] = '\0';
  }
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
  // Winsock has no MSG_DONTWAIT: the socket never blocks in the receive, and
  // every wait is a select (see platform_receive). Winsock delivers a group
  // only to the sockets that joined it, so no option is needed for that.
  u_long non_blocking = 1;
  // FIONBIO is an unsigned constant with the high bit set; ioctlsocket takes a long.
  if (ioctlsocket(s, static_cast<long>(FIONBIO), &non_blocking) != 0) {
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
  if (family == ssm_ipv6) {
    sockaddr_in6 local{};
    local.sin6_family = AF_INET6;
    local.sin6_port = htons(port);
    local.sin6_addr = in6addr_any;
    return bind(as_socket(socket), reinterpret_cast<const sockaddr*>(&local),
                static_cast<int>(sizeof local));
  }
  sockaddr_in local{};
  local.sin_family = AF_INET;
  local.sin_port = htons(port);
  local.sin_addr.s_addr = htonl(INADDR_ANY);
  return bind(as_socket(socket), reinterpret_cast<const sockaddr*>(&local),
              static_cast<int>(sizeof local));
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

void platform_fill_source_membership(struct ip_mreq_source* request, std::uint32_t group,
                                     std::uint32_t source, std::uint32_t interface_address) {
  std::memset(request, 0, sizeof *request);
  request->imr_multiaddr.s_addr = group;
  request->imr_sourceaddr.s_addr = source;
  request->imr_interface.s_addr = interface_address;
}

int platform_add_source_membership(ssm_socket socket, std::uint32_t group, std::uint32_t source,
                                   std::uint32_t interface_address) {
  struct ip_mreq_source request;
  platform_fill_source_membership(&request, group, source, interface_address);
  // IP_ADD_SOURCE_MEMBERSHIP of ws2tcpip.h (15); winsock.h's numbering differs.
  return setsockopt(as_socket(socket), IPPROTO_IP, IP_ADD_SOURCE_MEMBERSHIP,
                    reinterpret_cast<const char*>(&request), static_cast<int>(sizeof request));
}

void platform_fill_group_source_request(struct group_source_req* request, unsigned interface_index,
                                        const ssm_address* group, const ssm_address* source) {
  std::memset(request, 0, sizeof *request);
  request->gsr_interface = interface_index;
  put_address(&request->gsr_group, group);
  put_address(&request->gsr_source, source);
}

int platform_join_source_group(ssm_socket socket, const ssm_address* group,
                               const ssm_address* source, unsigned interface_index) {
  if (group->family == ssm_ipv4) {
    // Winsock reads an interface in 0.0.0.0/8 as an index, in network byte
    // order, and this record is the one Windows stacks have always taken.
    std::uint32_t group4;
    std::uint32_t source4;
    std::memcpy(&group4, group->bytes, 4);
    std::memcpy(&source4, source->bytes, 4);
    return platform_add_source_membership(socket, group4, source4, htonl(interface_index));
  }
  GROUP_SOURCE_REQ request;
  platform_fill_group_source_request(&request, interface_index, group, source);
  // MCAST_JOIN_SOURCE_GROUP of ws2ipdef.h (45).
  return setsockopt(as_socket(socket), IPPROTO_IPV6, MCAST_JOIN_SOURCE_GROUP,
                    reinterpret_cast<const char*>(&request), static_cast<int>(sizeof request));
}

unsigned platform_interface_index(const char* name) {
  return if_nametoindex(name);
}

std::size_t platform_interface_name_most() {
  // if_nametoindex takes the interface's NDIS name ("ethernet_32768").
  return IF_MAX_STRING_SIZE;
}

// Winsock cannot say which interface the stack picked for a membership, so
// one made without a named interface is never left by index.
unsigned platform_membership_interface(ssm_socket /*socket*/, const ssm_address* /*group*/) {
  return 0;
}

bool platform_interface_exists(unsigned index) {
  char name[IF_MAX_STRING_SIZE + 1];
  return if_indextoname(index, name) != nullptr;
}

int platform_leave_group(ssm_socket socket, const ssm_address* group, unsigned index) {
  GROUP_REQ request;
  std::memset(&request, 0, sizeof request);
  request.gr_interface = index;
  put_address(&request.gr_group, group);
  return setsockopt(as_socket(socket), group->family == ssm_ipv6 ? IPPROTO_IPV6 : IPPROTO_IP,
                    MCAST_LEAVE_GROUP, reinterpret_cast<const char*>(&request),
                    static_cast<int>(sizeof request));
}

// Winsock keeps an IPv6 membership per interface and delivers a group's
// datagram only to sockets that joined it on the interface it came in on:
// nothing more to do.
int platform_bind_to_interface(ssm_socket /*socket*/, unsigned /*index*/) {
  return 0;
}

// Windows lists no interface's own filters; a membership is left only when
// its interface is gone.
device_membership platform_device_holds_membership(unsigned /*index*/,
                                                   const ssm_address* /*group*/,
                                                   const ssm_address* /*source*/) {
  return device_cannot_say;
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
  int room = size > static_cast<std::size_t>(INT_MAX) ? INT_MAX : static_cast<int>(size);
  int length = recvfrom(as_socket(socket), reinterpret_cast<char*>(buffer), room, 0,
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
  if (always_noted) {
    // A select on one thread is not cut short by a handler on another.
    for (int left = wait_ms;; left -= stop_look_ms) {
      if (noted_stop != 0) {
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

void platform_catch_stops(ssm_socket /*socket*/, bool noted) {
  always_noted = noted;
  InitializeCriticalSection(&busy);
  EnterCriticalSection(&busy);
  stops_caught = true;
  // A Ctrl-C that was ignored at start (a process group made so) reaches no
  // handler, and stays ignored.
  SetConsoleCtrlHandler(note_stop, TRUE);
}

int platform_stop_requested() {
  return static_cast<int>(noted_stop);
}

void platform_end_stopped(int /*stop*/) {
  ExitProcess(STATUS_CONTROL_C_EXIT);
}

std::int64_t platform_monotonic_us() {
  LARGE_INTEGER frequency;
  LARGE_INTEGER now;
  QueryPerformanceFrequency(&frequency);
  QueryPerformanceCounter(&now);
  // Whole seconds and the rest apart, so that the product cannot overflow.
  std::int64_t seconds = now.QuadPart / frequency.QuadPart;
  std::int64_t rest = now.QuadPart % frequency.QuadPart;
  return seconds * 1000000 + rest * 1000000 / frequency.QuadPart;
}

int platform_write_output(const char* data, std::size_t size) {
  while (size > 0) {
    unsigned chunk = size > 1U << 30 ? 1U << 30 : static_cast<unsigned>(size);
    int written = _write(1, data, chunk);
    if (written < 0) {
      if (errno == EINTR) {
        continue;
      }
      return -1;
    }
    if (written == 0) {
      errno = EIO;
      return -1;
    }
    data += written;
    size -= static_cast<std::size_t>(written);
  }
  return 0;
}

void platform_prepare_output() {
  // The C runtime's text mode would turn every line feed into CR LF; the
  // messages on standard error end in a single line feed as well.
  _setmode(_fileno(stdout), _O_BINARY);
  _setmode(_fileno(stderr), _O_BINARY);
}

int platform_open_standard_streams() {
  // Sockets are not descriptors here, so none can take a stream's place;
  // but with no standard output there is nowhere to write the lines.
  HANDLE out = GetStdHandle(STD_OUTPUT_HANDLE);
  if (out == nullptr || out == INVALID_HANDLE_VALUE) {
    return -1;
  }
  // A handle that is no longer valid has no type.
  SetLastError(NO_ERROR);
  return GetFileType(out) == FILE_TYPE_UNKNOWN && GetLastError() != NO_ERROR ? -1 : 0;
}

const char* platform_socket_error_text() {
  int failure = WSAGetLastError();
  DWORD size = FormatMessageA(FORMAT_MESSAGE_FROM_SYSTEM | FORMAT_MESSAGE_IGNORE_INSERTS,
                              nullptr, static_cast<DWORD>(failure),
                              MAKELANGID(LANG_NEUTRAL, SUBLANG_DEFAULT), socket_error_text,
                              sizeof socket_error_text, nullptr);
  if (size == 0) {
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
  make_one_line(socket_error_text);
  return socket_error_text;
}

const char* platform_output_error_text() {
  return std::strerror(errno);
}

// What the host itself does to a channel's datagrams: Winsock offers no
// verdict of its routes, no group protocol version and no drop count, so the
// receivers say nothing of them here.

int platform_input_route(const ssm_address* /*group*/, const ssm_address* /*source*/,
                         unsigned /*index*/) {
  return route_unknown;
}

int platform_route_interface(const ssm_address* /*address*/, unsigned* /*index*/) {
  return route_unknown;
}

bool platform_is_local_address(const ssm_address* /*address*/) {
  return false;
}

bool platform_is_loopback(unsigned /*index*/) {
  return false;
}

bool platform_address_on_interface(const ssm_address* /*address*/, unsigned /*index*/) {
  return false;
}

int platform_interface_up(unsigned /*index*/) {
  return -1;
}

int platform_accepts_local_source(unsigned /*index*/) {
  return -1;
}

const char* platform_firewall_advice() {
  return "look with netsh advfirewall firewall show rule name=all";
}

bool platform_interface_name(unsigned index, char* name, std::size_t size) {
  char found[IF_MAX_STRING_SIZE + 1];
  if (if_indextoname(index, found) == nullptr || std::strlen(found) >= size) {
    return false;
  }
  std::memcpy(name, found, std::strlen(found) + 1);
  return true;
}

void platform_reverse_path_filter(unsigned /*index*/, int* own, int* all) {
  *own = -1;
  *all = -1;
}

group_protocol platform_group_protocol(ssm_family /*family*/, unsigned /*index*/) {
  return group_protocol{0, 0, false};
}

long long platform_socket_drops(ssm_socket /*socket*/) {
  return -1;
}

const char* platform_receive_queue_limit(ssm_socket /*socket*/) {
  return nullptr;
}
