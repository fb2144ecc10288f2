// The platform layer the fuzzers link instead of platform_posix.cpp.
#include "fuzz_platform.h"

#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "platform.h"

namespace {

fuzz_receive next_receive{-1, 0, nullptr, 0, 0};
int receive_calls = 0;
std::string output;
std::uint32_t joined_group = 0;
std::uint32_t joined_source = 0;
int join_calls = 0;
std::uint16_t bound_port = 0;

}  // namespace

void fuzz_set_receive(const fuzz_receive& next) {
  next_receive = next;
}

int fuzz_receive_calls() {
  return receive_calls;
}

const std::string& fuzz_output() {
  return output;
}

std::uint32_t fuzz_joined_group() {
  return joined_group;
}

std::uint32_t fuzz_joined_source() {
  return joined_source;
}

int fuzz_join_calls() {
  return join_calls;
}

std::uint16_t fuzz_bound_port() {
  return bound_port;
}

void fuzz_reset() {
  output.clear();
  receive_calls = 0;
  join_calls = 0;
  joined_group = 0;
  joined_source = 0;
  bound_port = 0;
}

int platform_start_sockets() {
  return 0;
}

ssm_socket platform_open_udp_socket() {
  return 3;
}

int platform_bind_any(ssm_socket /*socket*/, std::uint16_t port) {
  bound_port = port;
  return 0;
}

int platform_add_source_membership(ssm_socket /*socket*/, std::uint32_t group,
                                   std::uint32_t source, std::uint32_t /*interface_address*/) {
  joined_group = group;
  joined_source = source;
  ++join_calls;
  return 0;
}

long platform_receive(ssm_socket /*socket*/, unsigned char* buffer, std::size_t size,
                      std::uint32_t* sender, int /*wait_ms*/) {
  ++receive_calls;
  long result = next_receive.result;
  if (result < 0) {
    return result;
  }
  std::size_t length = static_cast<std::size_t>(result);
  if (length > size) {
    // The real receive cannot deliver more than it was given room for.
    (void)std::fprintf(stderr, "fuzz platform: length %ld does not fit %zu bytes\n", result,
                       size);
    std::abort();
  }
  std::size_t copied = next_receive.byte_count < length ? next_receive.byte_count : length;
  if (copied > 0) {
    std::memcpy(buffer, next_receive.bytes, copied);
  }
  std::memset(buffer + copied, next_receive.fill, length - copied);
  *sender = next_receive.sender;
  return result;
}

std::int64_t platform_monotonic_us() {
  // Moves on a little at every look, as a real clock would.
  static std::int64_t now = 0;
  now += 250;
  return now;
}

int platform_wait_readable(ssm_socket /*socket*/, int /*wait_ms*/) {
  return 1;
}

int platform_write_output(const char* data, std::size_t size) {
  output.append(data, size);
  return 0;
}

void platform_prepare_output() {}

const char* platform_socket_error_text() {
  return "fuzz platform";
}

const char* platform_output_error_text() {
  return "fuzz platform";
}
