#include "fake_platform.h"

#include <cstdio>
#include <cstdlib>
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

namespace {

// Takes the next datagram of the script into buffer.
long take_datagram(unsigned char* buffer, std::size_t size, std::uint32_t* sender) {
  fake_datagram next = fake.datagrams.front();
  fake.datagrams.pop_front();
  if (next.result >= 0) {
    std::size_t length = static_cast<std::size_t>(next.result);
    if (length > size) {
      // A real receive cannot deliver more than it was given room for.
      (void)std::fprintf(stderr, "fake platform: length %ld does not fit %zu bytes\n",
                         next.result, size);
      std::abort();
    }
    std::size_t copied = next.bytes.size() < length ? next.bytes.size() : length;
    if (copied > 0) {
      std::memcpy(buffer, next.bytes.data(), copied);
    }
    std::memset(buffer + copied, next.fill, length - copied);
    *sender = next.sender;
  }
  return next.result;
}

}  // namespace

long platform_receive(ssm_socket, unsigned char* buffer, std::size_t size, std::uint32_t* sender,
                      int wait_ms) {
  fake.receive_waits.push_back(wait_ms);
  if (fake.datagrams.empty()) {
    return receive_nothing;
  }
  return take_datagram(buffer, size, sender);
}

// As recvmmsg: what is queued, up to count; an empty queue (the script's
// end, or a receive_nothing in it) ends the batch, and so does a failure.
int platform_receive_batch(ssm_socket, unsigned char* slots, std::size_t slot_size, int count,
                           long* lengths, std::uint32_t* senders, int wait_ms) {
  fake.receive_waits.push_back(wait_ms);
  int taken = 0;
  if (count > fake.batch_limit) {
    count = fake.batch_limit;
  }
  while (taken < count && !fake.datagrams.empty()) {
    long result = take_datagram(slots + static_cast<std::size_t>(taken) * slot_size, slot_size,
                                &senders[taken]);
    if (result == receive_nothing) {
      break;
    }
    lengths[taken++] = result;
    if (result < 0) {
      break;
    }
  }
  fake.batch_sizes.push_back(taken);
  return taken;
}

int platform_batch_limit() {
  return fake.batch_limit;
}

void platform_pause(ssm_socket, int wait_us) {
  fake.pauses.push_back(wait_us);
  fake.now_us += wait_us;
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
