// What the benchmark's senders share: the sending socket, the clock and the
// payload layout the receivers read.
#ifndef BENCH_BENCH_SEND_H
#define BENCH_BENCH_SEND_H

#include <netinet/in.h>

#include <cstddef>
#include <cstdint>

// Opens a UDP socket that sends from the local address source to group:port
// (all network byte order except port), filling *destination. Returns the
// descriptor, or -1 after a message on standard error.
int open_bench_sender(const char* program, std::uint32_t group, std::uint32_t source,
                      std::uint16_t port, sockaddr_in* destination);

// CLOCK_MONOTONIC in nanoseconds.
long long now_ns();

// Puts the little-endian sequence number into bytes 0-3 of payload.
void put_sequence(unsigned char* payload, std::uint32_t sequence);

#endif  // BENCH_BENCH_SEND_H
