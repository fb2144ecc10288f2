#include "fake_platform.h"

#include <cstring>

fake_state fake;

void reset_fake() {
  fake = fake_state();
}

int platform_start_sockets() {
  return fake.start_result;
}

ssm_socket platform_open_udp_socket() {
  ++fake.sockets_opened;
  return fake.socket_fails ? ssm_no_socket : 7;
}

int platform_bind_any(ssm_socket, std::uint16_t port) {
  fake.binds.push_back(port);
  return fake.bind_result;
}

int platform_add_source_membership(ssm_socket, std::uint32_t group, std::uint32_t source,
                                   std::uint32_t interface_address) {
  fake.memberships.push_back({group, source, interface_address});
  return fake.membership_result;
}

long platform_receive(ssm_socket, unsigned char* buffer, std::size_t size, std::uint32_t* sender,
                      int wait_ms) {
  fake.receive_waits.push_back(wait_ms);
  if (fake.datagrams.empty()) {
    return receive_nothing;
  }
  fake_datagram next = fake.datagrams.front();
  fake.datagrams.pop_front();
  if (next.result >= 0) {
    std::size_t length = next.bytes.size() < size ? next.bytes.size() : size;
    if (length > 0) {
      std::memcpy(buffer, next.bytes.data(), length);
    }
    *sender = next.sender;
  }
  return next.result;
}

int platform_wait_readable(ssm_socket, int wait_ms) {
  fake.readable_waits.push_back(wait_ms);
  if (fake.readiness.empty()) {
    return 0;
  }
  int ready = fake.readiness.front();
  fake.readiness.pop_front();
  return ready;
}

std::int64_t platform_monotonic_us() {
  return fake.now_us;
}

int platform_write_output(const char* data, std::size_t size) {
  ++fake.writes;
  if (fake.write_result != 0) {
    return fake.write_result;
  }
  fake.output.append(data, size);
  return 0;
}

void platform_prepare_output() {}

const char* platform_socket_error_text() {
  return "fake socket failure";
}

const char* platform_output_error_text() {
  return "fake output failure";
}
