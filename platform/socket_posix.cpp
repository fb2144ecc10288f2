// POSIX sockets (Linux first; macOS and the BSDs fill the same names).
#include "platform.h"

#include <arpa/inet.h>
#include <fcntl.h>
#include <net/if.h>
#include <netinet/in.h>
#include <poll.h>
#include <signal.h>
#include <sys/socket.h>
#include <time.h>
#include <unistd.h>
#ifdef __linux__
#include <sys/prctl.h>
#endif
#ifdef SSM_HAVE_PACKET_CAPTURE
#include <linux/filter.h>
#include <linux/if_ether.h>
#include <linux/if_packet.h>
#endif

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>

namespace {

#ifndef SSM_DEFAULT_RCVBUF
// Asked for, not required: the system caps it at its own maximum. (The
// benchmark builds a variant without it, to measure the default queue.)
const int wanted_receive_queue_bytes = 4 * 1024 * 1024;
#endif

const int stop_signals[] = {SIGINT, SIGTERM, SIGHUP};

// Written by the handler only.
volatile sig_atomic_t noted_stop = 0;

// The socket whose receives and waits a stop must cut short.
volatile sig_atomic_t stop_socket = -1;

// Notes the signal, and shuts the socket's receiving side: a receive or wait
// entered after the loop's last look at the note then returns at once
// instead of blocking, so no request is lost in between. The loop writes out
// what it holds, then ends.
void note_stop(int signal_number) {
  if (noted_stop != 0) {
    // Asked twice: the lines are not worth waiting for any longer (a write
    // to a pipe nobody reads can block for ever). Blocked while this handler
    // runs, the signal takes its default action as soon as it returns.
    (void)signal(signal_number, SIG_DFL);
    (void)raise(signal_number);
    return;
  }
  noted_stop = signal_number;
  if (stop_socket >= 0) {
    // An unconnected UDP socket answers ENOTCONN, but is shut all the same.
    int saved = errno;
    (void)shutdown(stop_socket, SHUT_RD);
    errno = saved;
  }
}

// What a receive of a socket whose receiving side is shut gives: length 0,
// and no sender, which every datagram has.
bool shut_not_datagram(long length, socklen_t sender_size) {
  return length == 0 && sender_size == 0;
}

}  // namespace

namespace {

int level_of(ssm_family family) {
  return family == ssm_ipv6 ? IPPROTO_IPV6 : IPPROTO_IP;
}

// The address as a socket address of its family, port 0.
void put_address(sockaddr_storage* out, const ssm_address* address) {
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
  int fd = static_cast<int>(socket);
  if (family == ssm_ipv6) {
    sockaddr_in6 local{};
    local.sin6_family = AF_INET6;
    local.sin6_port = htons(port);
    local.sin6_addr = in6addr_any;
    return bind(fd, reinterpret_cast<sockaddr*>(&local), sizeof local);
  }
  sockaddr_in local{};
  local.sin_family = AF_INET;
  local.sin_port = htons(port);
  local.sin_addr.s_addr = htonl(INADDR_ANY);
  return bind(fd, reinterpret_cast<sockaddr*>(&local), sizeof local);
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
  return setsockopt(static_cast<int>(socket), IPPROTO_IP, IP_ADD_SOURCE_MEMBERSHIP, &request,
                    sizeof request);
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
  // By index for either family: an interface need not have an IPv4 address.
  struct group_source_req request;
  platform_fill_group_source_request(&request, interface_index, group, source);
  return setsockopt(static_cast<int>(socket), level_of(group->family), MCAST_JOIN_SOURCE_GROUP,
                    &request, sizeof request);
}

unsigned platform_interface_index(const char* name) {
  return if_nametoindex(name);
}

std::size_t platform_interface_name_most() {
  return IF_NAMESIZE - 1;
}

unsigned platform_membership_interface(ssm_socket socket, const ssm_address* group) {
  unsigned found = 0;
#ifdef MCAST_MSFILTER
  // The system picks the interface by route when none is named: ask it which
  // interface the socket's filter for the group is on.
  struct if_nameindex* interfaces = if_nameindex();
  for (struct if_nameindex* i = interfaces; i != nullptr && i->if_index != 0; ++i) {
    group_filter filter{};
    filter.gf_interface = i->if_index;
    put_address(&filter.gf_group, group);
    socklen_t size = sizeof filter;
    if (getsockopt(static_cast<int>(socket), level_of(group->family), MCAST_MSFILTER, &filter,
                   &size) == 0) {
      found = i->if_index;
      break;
    }
  }
  if_freenameindex(interfaces);
#else
  (void)socket;
  (void)group;
#endif
  return found;
}

bool platform_interface_exists(unsigned index) {
  char name[IF_NAMESIZE];
  return if_indextoname(index, name) != nullptr;
}

int platform_leave_group(ssm_socket socket, const ssm_address* group, unsigned index) {
  // By index: the interface may be gone, and with it its address.
  group_req request{};
  request.gr_interface = index;
  put_address(&request.gr_group, group);
  return setsockopt(static_cast<int>(socket), level_of(group->family), MCAST_LEAVE_GROUP,
                    &request, sizeof request);
}

int platform_bind_to_interface(ssm_socket socket, unsigned index) {
  // Costs nothing per datagram: the kernel's lookup skips the socket for a
  // datagram of another link.
#if defined(SO_BINDTOIFINDEX)
  int value = static_cast<int>(index);
  return setsockopt(static_cast<int>(socket), SOL_SOCKET, SO_BINDTOIFINDEX, &value, sizeof value);
#elif defined(SO_BINDTODEVICE)
  char name[IF_NAMESIZE];
  if (if_indextoname(index, name) == nullptr) {
    return -1;
  }
  return setsockopt(static_cast<int>(socket), SOL_SOCKET, SO_BINDTODEVICE, name,
                    static_cast<socklen_t>(std::strlen(name)));
#else
  (void)socket;
  (void)index;
  errno = ENOPROTOOPT;
  return -1;
#endif
}

#ifdef __linux__
namespace {

// The address as /proc/net/mcfilter6 writes it: 32 lower-case hex digits.
void hex_address(char* out, const ssm_address* address) {
  static const char digits[] = "0123456789abcdef";
  for (std::size_t i = 0; i < 16; ++i) {
    out[2 * i] = digits[address->bytes[i] >> 4];
    out[2 * i + 1] = digits[address->bytes[i] & 0x0f];
  }
  out[32] = '\0';
}

// Splits row in place at white space into at most `most` fields; returns
// how many it found.
int split_fields(char* row, char** fields, int most) {
  int count = 0;
  char* at = row;
  while (count < most) {
    while (*at == ' ' || *at == '\t' || *at == '\n') {
      ++at;
    }
    if (*at == '\0') {
      break;
    }
    fields[count++] = at;
    while (*at != '\0' && *at != ' ' && *at != '\t' && *at != '\n') {
      ++at;
    }
    if (*at != '\0') {
      *at++ = '\0';
    }
  }
  return count;
}

bool read_number(const char* text, int base, unsigned long* value) {
  char* end = nullptr;
  errno = 0;
  *value = std::strtoul(text, &end, base);
  return end != text && *end == '\0' && errno == 0;
}

// Whether a row of /proc/net/mcfilter (IPv4: index, device, group and source
// as 0x-hex in host order, INC, EXC) or mcfilter6 (IPv6: the addresses as 32
// hex digits) includes the source for the group on the interface.
bool row_includes(char* row, unsigned index, const ssm_address* group,
                  const ssm_address* source) {
  char* fields[6];
  unsigned long row_index = 0;
  unsigned long included = 0;
  if (split_fields(row, fields, 6) != 6 || !read_number(fields[0], 10, &row_index) ||
      !read_number(fields[4], 10, &included) || row_index != index || included == 0) {
    return false;
  }
  if (group->family == ssm_ipv6) {
    char want_group[33];
    char want_source[33];
    hex_address(want_group, group);
    hex_address(want_source, source);
    return std::strcmp(fields[2], want_group) == 0 && std::strcmp(fields[3], want_source) == 0;
  }
  unsigned long row_group = 0;
  unsigned long row_source = 0;
  std::uint32_t want_group = 0;
  std::uint32_t want_source = 0;
  std::memcpy(&want_group, group->bytes, 4);
  std::memcpy(&want_source, source->bytes, 4);
  return read_number(fields[2], 16, &row_group) && read_number(fields[3], 16, &row_source) &&
         row_group == ntohl(want_group) && row_source == ntohl(want_source);
}

}  // namespace
#endif

device_membership platform_device_holds_membership(unsigned index, const ssm_address* group,
                                                   const ssm_address* source) {
#ifdef __linux__
  // The device's own filters, whatever the sockets' records say.
  std::FILE* table =
      std::fopen(group->family == ssm_ipv6 ? "/proc/net/mcfilter6" : "/proc/net/mcfilter", "re");
  if (table == nullptr) {
    return device_cannot_say;
  }
  device_membership found = device_lacks;
  char row[256];
  while (std::fgets(row, sizeof row, table) != nullptr) {
    if (row_includes(row, index, group, source)) {
      found = device_holds;
      break;
    }
  }
  (void)std::fclose(table);
  return found;
#else
  (void)index;
  (void)group;
  (void)source;
  return device_cannot_say;
#endif
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

#ifdef SSM_HAVE_RECVMMSG
namespace {

const int batch_limit = 64;

}  // namespace

int platform_batch_limit() {
  return batch_limit;
}

int platform_receive_batch(ssm_socket socket, unsigned char* slots, std::size_t slot_size,
                           int count, long* lengths, ssm_address* senders, int wait_ms) {
  if (count > batch_limit) {
    count = batch_limit;
  }
  mmsghdr messages[batch_limit];
  iovec pieces[batch_limit];
  sender_room from[batch_limit];
  std::memset(messages, 0, sizeof messages[0] * static_cast<std::size_t>(count));
  for (int i = 0; i < count; ++i) {
    pieces[i].iov_base = slots + static_cast<std::size_t>(i) * slot_size;
    pieces[i].iov_len = slot_size;
    messages[i].msg_hdr.msg_name = &from[i];
    messages[i].msg_hdr.msg_namelen = sizeof from[i];
    messages[i].msg_hdr.msg_iov = &pieces[i];
    messages[i].msg_hdr.msg_iovlen = 1;
  }
  // MSG_WAITFORONE blocks for the first datagram only, then takes what is
  // queued. An error after the first datagram is kept for the next call.
  int flags = wait_ms == receive_wait_forever ? MSG_WAITFORONE : MSG_DONTWAIT;
  int received =
      recvmmsg(static_cast<int>(socket), messages, static_cast<unsigned>(count), flags, nullptr);
  if (received < 0) {
    if (errno == EAGAIN || errno == EWOULDBLOCK || errno == EINTR) {
      return 0;
    }
    lengths[0] = -1;
    return 1;
  }
  for (int i = 0; i < received; ++i) {
    if (shut_not_datagram(messages[i].msg_len, messages[i].msg_hdr.msg_namelen)) {
      return i;  // a stop came: what was queued before it is taken
    }
    lengths[i] = static_cast<long>(messages[i].msg_len);
    take_sender(&from[i], &senders[i]);
  }
  return received;
}
#endif  // without recvmmsg: platform_single_receive.cpp

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

#ifdef SSM_HAVE_PACKET_CAPTURE
namespace {

// What an accepted packet keeps: nothing is read, the filter's verdict is
// all that counts.
const unsigned capture_snap_bytes = 4;

// Extension headers walked before the UDP header of an IPv6 datagram: enough
// for hop-by-hop, destination options, routing, fragment and destination
// options again, the order RFC 8200 gives; a classic BPF program cannot loop.
const int ipv6_headers_walked = 5;

// The IPv6 program, the longest, is about 130 instructions.
const int filter_room = 160;

// Where a jump of the program goes: the next instruction, or a label placed
// later (the program only jumps forward).
const int to_next = -1;
enum fixed_label { to_reject, to_accept };

// A classic BPF program that accepts the channel's datagrams only, built with
// labels that are turned into offsets once it is complete.
struct capture_filter {
  sock_filter code[filter_room];
  int jump_true[filter_room];
  int jump_false[filter_room];
  int labels[filter_room];  // the instruction each label stands before
  int size;
  int label_count;
};

int new_label(capture_filter* filter) {
  filter->labels[filter->label_count] = -1;
  return filter->label_count++;
}

void place(capture_filter* filter, int label) {
  filter->labels[label] = filter->size;
}

// Past the room it only counts, and the program is refused.
void emit(capture_filter* filter, std::uint16_t code, std::uint32_t k, int jump_true = to_next,
          int jump_false = to_next) {
  if (filter->size < filter_room) {
    filter->jump_true[filter->size] = jump_true;
    filter->jump_false[filter->size] = jump_false;
    filter->code[filter->size] = sock_filter{code, 0, 0, k};
  }
  ++filter->size;
}

// Loads the 32-bit word at offset (network order, as BPF reads it) and
// requires it to be the one of bytes.
void require_word(capture_filter* filter, std::uint32_t offset, const unsigned char* bytes) {
  std::uint32_t word = static_cast<std::uint32_t>(bytes[0]) << 24 |
                       static_cast<std::uint32_t>(bytes[1]) << 16 |
                       static_cast<std::uint32_t>(bytes[2]) << 8 | bytes[3];
  emit(filter, BPF_LD | BPF_W | BPF_ABS, offset);
  emit(filter, BPF_JMP | BPF_JEQ | BPF_K, word, to_next, to_reject);
}

// From the IPv6 header on: A holds a next header, X where that header
// starts. Each step either finds UDP, or steps over one extension header;
// a fragment that is not the first is left out (its first was counted).
void walk_ipv6_headers(capture_filter* filter, int udp) {
  emit(filter, BPF_LD | BPF_B | BPF_ABS, 6);
  emit(filter, BPF_LDX | BPF_W | BPF_IMM, 40);
  for (int step = 0; step < ipv6_headers_walked; ++step) {
    int options = new_label(filter);
    int fragment = new_label(filter);
    int next_step = new_label(filter);
    emit(filter, BPF_JMP | BPF_JEQ | BPF_K, IPPROTO_UDP, udp);
    emit(filter, BPF_JMP | BPF_JEQ | BPF_K, IPPROTO_FRAGMENT, fragment);
    emit(filter, BPF_JMP | BPF_JEQ | BPF_K, IPPROTO_HOPOPTS, options);
    emit(filter, BPF_JMP | BPF_JEQ | BPF_K, IPPROTO_DSTOPTS, options);
    emit(filter, BPF_JMP | BPF_JEQ | BPF_K, IPPROTO_ROUTING, options, to_reject);
    // Its length is in 8-byte units, not counting the first 8.
    place(filter, options);
    emit(filter, BPF_LD | BPF_B | BPF_IND, 1);
    emit(filter, BPF_ALU | BPF_ADD | BPF_K, 1);
    emit(filter, BPF_ALU | BPF_LSH | BPF_K, 3);
    emit(filter, BPF_ALU | BPF_ADD | BPF_X, 0);
    emit(filter, BPF_ST, 0);
    emit(filter, BPF_LD | BPF_B | BPF_IND, 0);
    emit(filter, BPF_LDX | BPF_W | BPF_MEM, 0);
    emit(filter, BPF_JMP | BPF_JA, 0, next_step);
    // Eight bytes; the offset is the upper 13 bits of bytes 2-3.
    place(filter, fragment);
    emit(filter, BPF_LD | BPF_H | BPF_IND, 2);
    emit(filter, BPF_JMP | BPF_JSET | BPF_K, 0xfff8, to_reject);
    emit(filter, BPF_LD | BPF_B | BPF_IND, 0);
    emit(filter, BPF_ST, 0);
    emit(filter, BPF_MISC | BPF_TXA, 0);
    emit(filter, BPF_ALU | BPF_ADD | BPF_K, 8);
    emit(filter, BPF_MISC | BPF_TAX, 0);
    emit(filter, BPF_LD | BPF_W | BPF_MEM, 0);
    place(filter, next_step);
  }
  emit(filter, BPF_JMP | BPF_JEQ | BPF_K, IPPROTO_UDP, udp, to_reject);
}

// Turns the labels into offsets. Returns false when one is out of reach.
bool resolve(capture_filter* filter) {
  if (filter->size > filter_room) {
    return false;
  }
  for (int i = 0; i < filter->size; ++i) {
    sock_filter& instruction = filter->code[i];
    const int targets[2] = {filter->jump_true[i], filter->jump_false[i]};
    int offsets[2] = {0, 0};
    for (int which = 0; which < 2; ++which) {
      if (targets[which] == to_next) {
        continue;
      }
      offsets[which] = filter->labels[targets[which]] - (i + 1);
      if (offsets[which] < 0 || offsets[which] > 255) {
        return false;
      }
    }
    if (BPF_CLASS(instruction.code) == BPF_JMP && BPF_OP(instruction.code) == BPF_JA) {
      instruction.k = static_cast<std::uint32_t>(offsets[0]);
    } else {
      instruction.jt = static_cast<unsigned char>(offsets[0]);
      instruction.jf = static_cast<unsigned char>(offsets[1]);
    }
  }
  return true;
}

// Offsets are from the network header, where a SOCK_DGRAM packet socket
// starts incoming and outgoing packets alike. The socket takes every
// protocol: the filter picks IP. incoming_only: outgoing packets are left out.
bool build_filter(capture_filter* filter, const ssm_address* group, const ssm_address* source,
                  std::uint16_t port, bool incoming_only) {
  filter->size = 0;
  filter->label_count = 0;
  (void)new_label(filter);  // to_reject
  (void)new_label(filter);  // to_accept
  bool ipv6 = group->family == ssm_ipv6;
  if (incoming_only) {
    // Where the kernel cannot be told to ignore them (before Linux 4.20).
    emit(filter, BPF_LD | BPF_B | BPF_ABS,
         static_cast<std::uint32_t>(SKF_AD_OFF + SKF_AD_PKTTYPE));
    emit(filter, BPF_JMP | BPF_JEQ | BPF_K, PACKET_OUTGOING, to_reject);
  }
  emit(filter, BPF_LD | BPF_H | BPF_ABS, static_cast<std::uint32_t>(SKF_AD_OFF + SKF_AD_PROTOCOL));
  emit(filter, BPF_JMP | BPF_JEQ | BPF_K, ipv6 ? ETH_P_IPV6 : ETH_P_IP, to_next, to_reject);
  if (ipv6) {
    for (std::size_t i = 0; i < 16; i += 4) {
      require_word(filter, static_cast<std::uint32_t>(8 + i), source->bytes + i);
      require_word(filter, static_cast<std::uint32_t>(24 + i), group->bytes + i);
    }
    int udp = new_label(filter);
    walk_ipv6_headers(filter, udp);
    place(filter, udp);
  } else {
    emit(filter, BPF_LD | BPF_B | BPF_ABS, 9);
    emit(filter, BPF_JMP | BPF_JEQ | BPF_K, IPPROTO_UDP, to_next, to_reject);
    require_word(filter, 12, source->bytes);
    require_word(filter, 16, group->bytes);
    // Only a first fragment holds the ports: one count a datagram.
    emit(filter, BPF_LD | BPF_H | BPF_ABS, 6);
    emit(filter, BPF_JMP | BPF_JSET | BPF_K, 0x1fff, to_reject);
    emit(filter, BPF_LDX | BPF_B | BPF_MSH, 0);
  }
  // X: where the UDP header starts.
  emit(filter, BPF_LD | BPF_H | BPF_IND, 2);
  emit(filter, BPF_JMP | BPF_JEQ | BPF_K, port, to_accept, to_reject);
  place(filter, to_accept);
  emit(filter, BPF_RET | BPF_K, capture_snap_bytes);
  place(filter, to_reject);
  emit(filter, BPF_RET | BPF_K, 0);
  return resolve(filter);
}

}  // namespace

ssm_socket platform_open_link_capture(unsigned interface_index, const ssm_address* group,
                                      const ssm_address* source, std::uint16_t port,
                                      const char** reason) {
  if (interface_index == 0) {
    // Bound to index 0, a packet socket would take every interface.
    *reason = "the system does not say which interface the membership is on";
    return ssm_no_socket;
  }
  // On loopback each datagram passes twice, going out and coming in: there
  // only incoming ones count.
  bool incoming_only = platform_is_loopback(interface_index);
  capture_filter filter{};
  if (!build_filter(&filter, group, source, port, incoming_only)) {
    *reason = "its filter is too long for this system";
    return ssm_no_socket;
  }
  // Protocol 0 takes nothing until the bind: the filter is in place first.
  int fd = socket(AF_PACKET, SOCK_DGRAM, 0);
  if (fd < 0) {
    *reason = errno == EPERM || errno == EACCES ? "it needs root or CAP_NET_RAW"
                                                : platform_socket_error_text();
    return ssm_no_socket;
  }
  sock_fprog program{static_cast<unsigned short>(filter.size), filter.code};
  // The kernel counts every packet the filter accepts, also those it drops
  // for want of room, and drops them before it copies anything: the
  // smallest queue, never read, leaves the count and the filter's run alone.
  int queue = 0;
  (void)setsockopt(fd, SOL_SOCKET, SO_RCVBUF, &queue, sizeof queue);
  if (incoming_only) {
    // Not even handed to the filter: each would be copied for it first.
    int ignore = 1;
    (void)setsockopt(fd, SOL_PACKET, PACKET_IGNORE_OUTGOING, &ignore, sizeof ignore);
  }
  sockaddr_ll link{};
  link.sll_family = AF_PACKET;
  // Every protocol: only such a socket is shown outgoing packets, and it is
  // handed each incoming one before IP is, so that IP, last, need not copy
  // the packets the capture also holds (a socket of one protocol comes after
  // IP).
  link.sll_protocol = htons(ETH_P_ALL);
  link.sll_ifindex = static_cast<int>(interface_index);
  if (setsockopt(fd, SOL_SOCKET, SO_ATTACH_FILTER, &program, sizeof program) != 0 ||
      bind(fd, reinterpret_cast<sockaddr*>(&link), sizeof link) != 0) {
    *reason = platform_socket_error_text();
    close(fd);
    return ssm_no_socket;
  }
  return fd;
}

int platform_link_capture_count(ssm_socket capture, long long* seen) {
  tpacket_stats counts{};
  socklen_t size = sizeof counts;
  // Reading them starts them again from 0.
  if (getsockopt(static_cast<int>(capture), SOL_PACKET, PACKET_STATISTICS, &counts, &size) != 0) {
    return -1;
  }
  // tp_packets: those the filter accepted, queued or dropped.
  *seen += counts.tp_packets;
  return 0;
}

void platform_close_link_capture(ssm_socket capture) {
  close(static_cast<int>(capture));
}
#endif  // without a packet socket: platform_no_capture.cpp

std::int64_t platform_monotonic_us() {
  timespec now{};
  clock_gettime(CLOCK_MONOTONIC, &now);
  return static_cast<std::int64_t>(now.tv_sec) * 1000000 + now.tv_nsec / 1000;
}

void platform_catch_stops(ssm_socket socket, bool /*always_noted*/) {
  stop_socket = static_cast<sig_atomic_t>(socket);
  for (int signal_number : stop_signals) {
    struct sigaction old;
    if (sigaction(signal_number, nullptr, &old) != 0 || old.sa_handler == SIG_IGN) {
      continue;  // a background job of a non-interactive shell: stays so
    }
    struct sigaction action;
    std::memset(&action, 0, sizeof action);
    action.sa_handler = note_stop;
    // One handler at a time. No SA_RESTART: a blocked receive, wait or
    // pause returns at once, and the loop sees the request.
    sigemptyset(&action.sa_mask);
    for (int other : stop_signals) {
      sigaddset(&action.sa_mask, other);
    }
    action.sa_flags = 0;
    sigaction(signal_number, &action, nullptr);
  }
}

int platform_stop_requested() {
  return noted_stop;
}

void platform_end_stopped(int stop) {
  (void)signal(stop, SIG_DFL);
  sigset_t unblocked;
  sigemptyset(&unblocked);
  sigaddset(&unblocked, stop);
  sigprocmask(SIG_UNBLOCK, &unblocked, nullptr);
  (void)raise(stop);
  // Not reached: the signal's default action ends the process.
  _exit(128 + stop);
}

int platform_write_output(const char* data, std::size_t size) {
  while (size > 0) {
    ssize_t written = write(STDOUT_FILENO, data, size);
    if (written < 0) {
      if (errno == EINTR) {
        continue;
      }
      if (errno == EAGAIN || errno == EWOULDBLOCK) {
        // Made non-blocking by whoever reads it: wait until it takes more.
        pollfd room{};
        room.fd = STDOUT_FILENO;
        room.events = POLLOUT;
        if (poll(&room, 1, -1) < 0 && errno != EINTR) {
          return -1;
        }
        continue;
      }
      return -1;
    }
    data += written;
    size -= static_cast<std::size_t>(written);
  }
  return 0;
}

void platform_prepare_output() {}

int platform_open_standard_streams() {
  for (int fd = STDIN_FILENO; fd <= STDERR_FILENO; ++fd) {
    if (fcntl(fd, F_GETFD) != -1 || errno != EBADF) {
      continue;
    }
    if (fd == STDOUT_FILENO) {
      return -1;
    }
    // Closed: the socket would take its number and receive what is meant
    // for the stream. /dev/null holds the place.
    int null = open("/dev/null", O_RDWR);
    if (null >= 0 && null != fd) {
      dup2(null, fd);
      close(null);
    }
  }
  return 0;
}

const char* platform_socket_error_text() {
  return std::strerror(errno);
}

const char* platform_output_error_text() {
  return std::strerror(errno);
}

// What the host itself does to a channel's datagrams: the kernel's routing
// verdicts by netlink, the settings and the IGMP table from /proc, the
// socket's drop count.
#include <ifaddrs.h>
#ifdef SSM_HAVE_RTNETLINK
#include <linux/netlink.h>
#include <linux/rtnetlink.h>
#endif
#ifdef SSM_HAVE_SO_MEMINFO
#include <linux/sock_diag.h>
#endif

namespace {

// A number a /proc file begins with; -1 when it cannot be read.
long long read_number(const char* path) {
  std::FILE* file = std::fopen(path, "re");
  if (file == nullptr) {
    return -1;
  }
  char text[32];
  long long value = -1;
  if (std::fgets(text, sizeof text, file) != nullptr) {
    char* end = nullptr;
    errno = 0;
    value = std::strtoll(text, &end, 10);
    if (end == text || errno != 0) {
      value = -1;
    }
  }
  (void)std::fclose(file);
  return value;
}

// A setting of net.<family>.conf.<interface> ("all" for all interfaces).
long long read_interface_setting(const char* family, const char* interface,
                                 const char* setting) {
  char path[128];
  int size = std::snprintf(path, sizeof path, "/proc/sys/net/%s/conf/%s/%s", family, interface,
                           setting);
  if (size < 0 || static_cast<std::size_t>(size) >= sizeof path) {
    return -1;
  }
  return read_number(path);
}

#ifdef SSM_HAVE_RTNETLINK
// One RTM_GETROUTE request with its attributes.
struct route_request {
  nlmsghdr header;
  rtmsg route;
  // Room for the attributes, written after the header by add_attribute.
  // cppcheck-suppress unusedStructMember
  unsigned char attributes[3 * RTA_SPACE(16)];
};

void start_route_request(route_request* request, const ssm_address* destination) {
  std::memset(request, 0, sizeof *request);
  request->header.nlmsg_len = NLMSG_LENGTH(sizeof(rtmsg));
  request->header.nlmsg_type = RTM_GETROUTE;
  request->header.nlmsg_flags = NLM_F_REQUEST;
  request->route.rtm_family = destination->family == ssm_ipv6 ? AF_INET6 : AF_INET;
}

void add_attribute(route_request* request, unsigned short type, const void* data,
                   std::size_t size) {
  unsigned char* at = reinterpret_cast<unsigned char*>(request) +
                      NLMSG_ALIGN(request->header.nlmsg_len);
  rtattr attribute{};
  attribute.rta_type = type;
  attribute.rta_len = static_cast<unsigned short>(RTA_LENGTH(size));
  std::memcpy(at, &attribute, sizeof attribute);
  std::memcpy(at + RTA_LENGTH(0), data, size);
  request->header.nlmsg_len = NLMSG_ALIGN(request->header.nlmsg_len) + RTA_SPACE(size);
}

std::size_t address_size(const ssm_address* address) {
  return address->family == ssm_ipv6 ? 16 : 4;
}

// Sends the request and takes the kernel's answer into reply. Returns 0 for a
// route, the error number the kernel refused it with, or -1 when it could
// not be asked.
int ask_for_route(const route_request* request, unsigned char* reply, std::size_t size) {
  int fd = socket(AF_NETLINK, SOCK_RAW | SOCK_CLOEXEC, NETLINK_ROUTE);
  if (fd < 0) {
    return -1;
  }
  sockaddr_nl kernel{};
  kernel.nl_family = AF_NETLINK;
  int answer = -1;
  // The kernel answers within the send: the reply is queued when it returns.
  if (sendto(fd, request, request->header.nlmsg_len, 0, reinterpret_cast<sockaddr*>(&kernel),
             sizeof kernel) == static_cast<ssize_t>(request->header.nlmsg_len)) {
    ssize_t got = recv(fd, reply, size, MSG_DONTWAIT);
    if (got >= static_cast<ssize_t>(NLMSG_LENGTH(sizeof(nlmsgerr)))) {
      nlmsghdr header;
      std::memcpy(&header, reply, sizeof header);
      if (header.nlmsg_type == NLMSG_ERROR) {
        nlmsgerr failure;
        std::memcpy(&failure, reply + NLMSG_HDRLEN, sizeof failure);
        answer = failure.error < 0 ? -failure.error : -1;
      } else if (header.nlmsg_type == RTM_NEWROUTE) {
        answer = 0;
      }
    }
  }
  close(fd);
  return answer;
}
#endif  // SSM_HAVE_RTNETLINK

}  // namespace

int platform_input_route(const ssm_address* group, const ssm_address* source, unsigned index) {
#ifdef SSM_HAVE_RTNETLINK
  if (group->family != ssm_ipv4) {
    return route_unknown;
  }
  // As `ip route get GROUP from SOURCE iif INTERFACE`.
  route_request request;
  start_route_request(&request, group);
  request.route.rtm_dst_len = 32;
  request.route.rtm_src_len = 32;
  add_attribute(&request, RTA_DST, group->bytes, 4);
  add_attribute(&request, RTA_SRC, source->bytes, 4);
  std::uint32_t interface = index;
  add_attribute(&request, RTA_IIF, &interface, sizeof interface);
  unsigned char reply[4096];
  int answer = ask_for_route(&request, reply, sizeof reply);
  if (answer == 0) {
    return route_delivered;
  }
  // EXDEV is what the source check itself returns; the lookup turns it
  // into EINVAL on the kernels measured.
  return answer == EINVAL || answer == EXDEV ? route_refused : route_unknown;
#else
  (void)group;
  (void)source;
  (void)index;
  return route_unknown;
#endif
}

int platform_route_interface(const ssm_address* address, unsigned* index) {
#ifdef SSM_HAVE_RTNETLINK
  route_request request;
  start_route_request(&request, address);
  request.route.rtm_dst_len = static_cast<unsigned char>(8 * address_size(address));
  add_attribute(&request, RTA_DST, address->bytes, address_size(address));
  unsigned char reply[4096];
  int answer = ask_for_route(&request, reply, sizeof reply);
  if (answer == ENETUNREACH || answer == EHOSTUNREACH) {
    return 0;
  }
  if (answer != 0) {
    return route_unknown;
  }
  nlmsghdr header;
  std::memcpy(&header, reply, sizeof header);
  std::size_t end = header.nlmsg_len < sizeof reply ? header.nlmsg_len : sizeof reply;
  std::size_t at = NLMSG_LENGTH(sizeof(rtmsg));
  while (at + sizeof(rtattr) <= end) {
    rtattr attribute;
    std::memcpy(&attribute, reply + at, sizeof attribute);
    if (attribute.rta_len < sizeof attribute || at + attribute.rta_len > end) {
      break;
    }
    if (attribute.rta_type == RTA_OIF && attribute.rta_len >= RTA_LENGTH(sizeof(std::uint32_t))) {
      std::uint32_t out = 0;
      std::memcpy(&out, reply + at + RTA_LENGTH(0), sizeof out);
      *index = out;
      return 1;
    }
    at += RTA_ALIGN(attribute.rta_len);
  }
  return route_unknown;
#else
  (void)address;
  (void)index;
  return route_unknown;
#endif
}

namespace {

// Whether address is one of this host's, on the interface named so or (for
// nullptr) on any.
bool address_held(const ssm_address* address, const char* interface) {
  ifaddrs* all = nullptr;
  if (getifaddrs(&all) != 0) {
    return false;
  }
  bool found = false;
  for (const ifaddrs* i = all; i != nullptr && !found; i = i->ifa_next) {
    const sockaddr* at = i->ifa_addr;
    if (at == nullptr || (interface != nullptr && std::strcmp(i->ifa_name, interface) != 0)) {
      continue;
    }
    if (at->sa_family == AF_INET && address->family == ssm_ipv4) {
      found = std::memcmp(&reinterpret_cast<const sockaddr_in*>(at)->sin_addr, address->bytes,
                          4) == 0;
    } else if (at->sa_family == AF_INET6 && address->family == ssm_ipv6) {
      found = std::memcmp(&reinterpret_cast<const sockaddr_in6*>(at)->sin6_addr, address->bytes,
                          16) == 0;
    }
  }
  freeifaddrs(all);
  return found;
}

}  // namespace

bool platform_is_local_address(const ssm_address* address) {
  return address_held(address, nullptr);
}

bool platform_address_on_interface(const ssm_address* address, unsigned index) {
  char name[IF_NAMESIZE];
  return if_indextoname(index, name) != nullptr && address_held(address, name);
}

bool platform_is_loopback(unsigned index) {
  char name[IF_NAMESIZE];
  if (if_indextoname(index, name) == nullptr) {
    return false;
  }
  ifaddrs* all = nullptr;
  if (getifaddrs(&all) != 0) {
    return false;
  }
  bool loopback = false;
  for (const ifaddrs* i = all; i != nullptr; i = i->ifa_next) {
    if (std::strcmp(i->ifa_name, name) == 0 && (i->ifa_flags & IFF_LOOPBACK) != 0) {
      loopback = true;
      break;
    }
  }
  freeifaddrs(all);
  return loopback;
}

int platform_interface_up(unsigned index) {
  char name[IF_NAMESIZE];
  if (if_indextoname(index, name) == nullptr) {
    return -1;
  }
  ifaddrs* all = nullptr;
  if (getifaddrs(&all) != 0) {
    return -1;
  }
  int up = -1;
  for (const ifaddrs* i = all; i != nullptr; i = i->ifa_next) {
    if (std::strcmp(i->ifa_name, name) == 0) {
      up = (i->ifa_flags & IFF_UP) != 0 ? 1 : 0;
      break;
    }
  }
  freeifaddrs(all);
  return up;
}

int platform_accepts_local_source(unsigned index) {
  char name[IF_NAMESIZE];
  if (if_indextoname(index, name) == nullptr) {
    return -1;
  }
  // The kernel lets them in when either setting is on.
  long long own = read_interface_setting("ipv4", name, "accept_local");
  long long all = read_interface_setting("ipv4", "all", "accept_local");
  if (own < 0 || all < 0) {
    return -1;
  }
  return own > 0 || all > 0 ? 1 : 0;
}

const char* platform_firewall_advice() {
  return "look with nft list ruleset";
}

bool platform_interface_name(unsigned index, char* name, std::size_t size) {
  char found[IF_NAMESIZE];
  if (if_indextoname(index, found) == nullptr || std::strlen(found) >= size) {
    return false;
  }
  std::memcpy(name, found, std::strlen(found) + 1);
  return true;
}

void platform_reverse_path_filter(unsigned index, int* own, int* all) {
  char name[IF_NAMESIZE];
  *own = if_indextoname(index, name) != nullptr
             ? static_cast<int>(read_interface_setting("ipv4", name, "rp_filter"))
             : -1;
  *all = static_cast<int>(read_interface_setting("ipv4", "all", "rp_filter"));
}

namespace {

// The IGMP version /proc/net/igmp shows for the interface (its Querier
// column: the version forced, or the oldest heard lately); 0 when it is not
// listed.
int igmp_version_listed(unsigned index) {
  std::FILE* table = std::fopen("/proc/net/igmp", "re");
  if (table == nullptr) {
    return 0;
  }
  int version = 0;
  char row[256];
  while (version == 0 && std::fgets(row, sizeof row, table) != nullptr) {
    // A device's row: "<index>\t<name>: <count> V<version>"; its groups'
    // rows begin with a tab.
    char* end = nullptr;
    unsigned long listed = std::strtoul(row, &end, 10);
    const char* colon = std::strrchr(row, ':');
    if (end == row || listed != index || colon == nullptr) {
      continue;
    }
    const char* querier = std::strchr(colon, 'V');
    if (querier != nullptr && querier[1] >= '1' && querier[1] <= '3') {
      version = querier[1] - '0';
    }
  }
  (void)std::fclose(table);
  return version;
}

}  // namespace

group_protocol platform_group_protocol(ssm_family family, unsigned index) {
  group_protocol speaks{0, 0, false};
  char name[IF_NAMESIZE];
  if (if_indextoname(index, name) == nullptr) {
    return speaks;
  }
  const char* net = family == ssm_ipv6 ? "ipv6" : "ipv4";
  const char* setting = family == ssm_ipv6 ? "force_mld_version" : "force_igmp_version";
  long long own = read_interface_setting(net, name, setting);
  long long all = read_interface_setting(net, "all", setting);
  if (family == ssm_ipv6) {
    if (own < 0 || all < 0) {
      return speaks;
    }
    // MLDv2 forced anywhere wins; a querier heard lately is not shown.
    speaks.version = 2;
    if (own != 2 && all != 2 && (own == 1 || all == 1)) {
      speaks.version = 1;
      speaks.forced = 1;
      speaks.forced_for_all = own != 1;
    }
    return speaks;
  }
  speaks.version = igmp_version_listed(index);
  // The oldest version forced on either wins, as the kernel takes it.
  for (long long forced = 1; forced <= 2 && speaks.forced == 0; ++forced) {
    if (own == forced || all == forced) {
      speaks.forced = static_cast<int>(forced);
      speaks.forced_for_all = own != forced;
    }
  }
  return speaks;
}

long long platform_socket_drops(ssm_socket socket) {
#ifdef SSM_HAVE_SO_MEMINFO
  std::uint32_t info[SK_MEMINFO_VARS] = {};
  socklen_t size = sizeof info;
  if (getsockopt(static_cast<int>(socket), SOL_SOCKET, SO_MEMINFO, info, &size) != 0 ||
      size < (SK_MEMINFO_DROPS + 1) * sizeof info[0]) {
    return -1;
  }
  return info[SK_MEMINFO_DROPS];
#else
  (void)socket;
  return -1;
#endif
}

const char* platform_receive_queue_limit(ssm_socket socket) {
  (void)socket;
#ifndef SSM_DEFAULT_RCVBUF
  // Linux grants at most this; what it says it granted is doubled.
  long long most = read_number("/proc/sys/net/core/rmem_max");
  if (most >= 0 && most < wanted_receive_queue_bytes) {
    return "net.core.rmem_max";
  }
#endif
  return nullptr;
}
