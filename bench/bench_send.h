// What the benchmark's senders share: the channel operands, the sending
// socket, the clock and the payload layout the receivers read.
#ifndef BENCH_BENCH_SEND_H
#define BENCH_BENCH_SEND_H

#include <sys/socket.h>

#include <cstddef>
#include <cstdint>

// The channel a sender sends to, read from the operands the receivers take.
struct bench_channel {
  int family;                  // AF_INET or AF_INET6
  unsigned char group[16];     // network order; IPv4 in the first 4 bytes
  unsigned char source[16];
  const char* interface_name;  // from a "%name" suffix on the group, or nullptr
  unsigned interface_index;    // from a "%index" suffix, or 0
};

// Reads <group>[%interface] and <source>, both IPv4 or both IPv6, with the
// receivers' own parsers. Returns false for text they would refuse.
bool parse_bench_channel(const char* group_text, const char* source_text,
                         bench_channel* channel);

// Opens a UDP socket that sends from the local address source to group:port
// (host byte order), filling *destination and *destination_size. IPv4 sends
// on the source's interface unless the group names one; IPv6 likewise, with
// a hop limit of 1. Returns the descriptor, or -1 after a message on
// standard error.
int open_bench_sender(const char* program, const bench_channel* channel, std::uint16_t port,
                      sockaddr_storage* destination, socklen_t* destination_size);

// CLOCK_MONOTONIC in nanoseconds.
long long now_ns();

// Puts the little-endian sequence number into bytes 0-3 of payload.
void put_sequence(unsigned char* payload, std::uint32_t sequence);

#endif  // BENCH_BENCH_SEND_H
