// A scripted platform layer for the fuzzers: receives return what the fuzzer
// chose, and standard output is captured instead of written.
#ifndef FUZZ_FUZZ_PLATFORM_H
#define FUZZ_FUZZ_PLATFORM_H

#include <cstddef>
#include <cstdint>
#include <string>

// What the next platform_receive hands back.
struct fuzz_receive {
  long result;                 // a length from 0 to the buffer's size, -1 or receive_nothing
  std::uint32_t sender;        // network byte order; delivered only with a length
  const unsigned char* bytes;  // the datagram's first byte_count bytes
  std::size_t byte_count;
  unsigned char fill;  // the datagram's bytes after the first byte_count
};

// Sets what the next platform_receive call returns.
void fuzz_set_receive(const fuzz_receive& next);

// How many times platform_receive was called since fuzz_reset.
int fuzz_receive_calls();

// Everything written to standard output since fuzz_reset.
const std::string& fuzz_output();

// The last membership asked for (network byte order) and how many requests.
std::uint32_t fuzz_joined_group();
std::uint32_t fuzz_joined_source();
int fuzz_join_calls();

// The port the last bind asked for, host byte order.
std::uint16_t fuzz_bound_port();

// Forgets the captured output and the calls seen.
void fuzz_reset();

#endif  // FUZZ_FUZZ_PLATFORM_H
