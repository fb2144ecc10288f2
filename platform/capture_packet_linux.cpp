// The link capture on Linux: a packet socket on the interface with a classic
// BPF program that accepts the channel's datagrams only, read for its count
// alone.
#include "platform/capture.h"

#include <linux/filter.h>
#include <linux/if_ether.h>
#include <linux/if_packet.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <cstdint>

#include "platform/membership.h"
#include "platform/socket.h"

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
