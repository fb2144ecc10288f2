// The scripted platform implements every concern's functions.
#include "tests/unit/fake_platform.h"

#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "platform/capture.h"
#include "platform/host_verdicts.h"
#include "platform/membership.h"
#include "platform/process.h"
#include "platform/socket.h"

fake_state fake;

void reset_fake() {
  fake = fake_state();
}

namespace {

[[noreturn]] void script_fault(const char* what) {
  (void)std::fprintf(stderr, "fake platform: %s\n", what);
  std::abort();
}

// Counts a call, and notes the stop request planned for it.
void count_call(fake_call kind) {
  ++fake.calls[kind];
  if (fake.stop_call == kind && fake.calls[kind] == fake.stop_nth && fake.stopped == 0) {
    fake.stopped = fake.stop_signal;
  }
}

// Moves the clock on to `when`, unless the planned stop comes first: then to
// that moment, with the stop noted. Returns false when cut short.
bool advance_to(std::int64_t when) {
  if (fake.stop_at_us >= 0 && fake.stopped == 0 && fake.stop_at_us <= when) {
    if (fake.stop_at_us > fake.now_us) {
      fake.now_us = fake.stop_at_us;
    }
    fake.stopped = fake.stop_signal;
    return false;
  }
  if (when > fake.now_us) {
    fake.now_us = when;
  }
  return true;
}

int next_membership_result() {
  if (fake.membership_results.empty()) {
    return fake.membership_result;
  }
  int result = fake.membership_results.front();
  fake.membership_results.pop_front();
  return result;
}

bool queued() {
  return !fake.datagrams.empty() && fake.datagrams.front().arrival_us <= fake.now_us;
}

// Blocks until a datagram is queued, for at most wait_ms (< 0: no limit).
// Returns whether one is; false also when a stop request cut the wait short.
// noted_before: a stop was noted before the call, which the loop should have
// seen instead of blocking.
bool wait_until_queued(int wait_ms, bool noted_before) {
  if (queued()) {
    return true;
  }
  if (wait_ms == 0) {
    return false;
  }
  if (noted_before) {
    script_fault("the loop blocks although a stop request was noted");
  }
  if (fake.stopped != 0) {
    return false;  // the request came as the call began
  }
  std::int64_t limit = wait_ms < 0 ? INT64_MAX : fake.now_us + std::int64_t{wait_ms} * 1000;
  if (!fake.datagrams.empty() && fake.datagrams.front().arrival_us <= limit) {
    if (!advance_to(fake.datagrams.front().arrival_us)) {
      return false;
    }
    ++fake.blocked;
    return true;
  }
  if (wait_ms > 0) {
    advance_to(limit);
    return false;
  }
  if (fake.stop_at_us >= 0) {
    advance_to(fake.stop_at_us);
    return false;
  }
  if (fake.stop_when_idle) {
    fake.stopped = fake.stop_signal;
    return false;
  }
  script_fault("the loop blocks for ever: nothing more is scripted");
}

// Takes the next datagram of the script into buffer.
long take_datagram(unsigned char* buffer, std::size_t size, ssm_address* sender) {
  fake_datagram next = fake.datagrams.front();
  fake.datagrams.pop_front();
  fake.take_times.push_back(fake.now_us);
  fake.now_us += fake.receive_cost_us;
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

int platform_start_sockets() {
  return fake.start_result;
}

ssm_socket platform_open_udp_socket(ssm_family family) {
  ++fake.sockets_opened;
  fake.families.push_back(family);
  return fake.socket_fails ? ssm_no_socket : 7;
}

long platform_receive_queue_bytes(ssm_socket) {
  return fake.queue_bytes;
}

int platform_bind_any(ssm_socket, ssm_family, std::uint16_t port) {
  fake.binds.push_back(port);
  return fake.bind_result;
}

int platform_bound_port(ssm_socket, std::uint16_t* port) {
  std::uint16_t bound = fake.binds.empty() ? 0 : fake.binds.back();
  *port = bound == 0 ? fake.chosen_port : bound;
  return 0;
}

int platform_add_source_membership(ssm_socket, std::uint32_t group, std::uint32_t source,
                                   std::uint32_t interface_address) {
  fake.memberships.push_back({group, source, interface_address, false, {}, {}, 0});
  return next_membership_result();
}

int platform_join_source_group(ssm_socket, const ssm_address* group, const ssm_address* source,
                               unsigned interface_index) {
  fake.memberships.push_back({0, 0, 0, true, *group, *source, interface_index});
  return next_membership_result();
}

unsigned platform_interface_index(const char* name) {
  for (const auto& known : fake.interfaces) {
    if (known.first == name) {
      return known.second;
    }
  }
  return 0;
}

std::size_t platform_interface_name_most() {
  return 15;
}

unsigned platform_membership_interface(ssm_socket, const ssm_address*) {
  return fake.membership_index;
}

bool platform_interface_exists(unsigned index) {
  for (unsigned gone : fake.gone) {
    if (gone == index) {
      return false;
    }
  }
  return true;
}

int platform_leave_group(ssm_socket, const ssm_address*, unsigned index) {
  fake.leaves.push_back(index);
  return 0;
}

int platform_bind_to_interface(ssm_socket, unsigned index) {
  fake.bound.push_back(index);
  return fake.bind_interface_result;
}

device_membership platform_device_holds_membership(unsigned, const ssm_address*,
                                                   const ssm_address*) {
  ++fake.device_asked;
  return fake.device;
}

long platform_receive(ssm_socket, unsigned char* buffer, std::size_t size, ssm_address* sender,
                      int wait_ms) {
  fake.receive_waits.push_back(wait_ms);
  bool noted_before = fake.stopped != 0;
  count_call(fake_receive_call);
  if (!wait_until_queued(wait_ms, noted_before)) {
    return receive_nothing;
  }
  return take_datagram(buffer, size, sender);
}

// As recvmmsg: what is queued, up to count; an empty queue (the script's
// end, a datagram still to come, or a receive_nothing in the script) ends
// the batch, and so does a failure.
int platform_receive_batch(ssm_socket, unsigned char* slots, std::size_t slot_size, int count,
                           long* lengths, ssm_address* senders, int wait_ms) {
  fake.receive_waits.push_back(wait_ms);
  bool noted_before = fake.stopped != 0;
  count_call(fake_receive_call);
  int taken = 0;
  if (count > fake.batch_limit) {
    count = fake.batch_limit;
  }
  if (wait_until_queued(wait_ms, noted_before)) {
    while (taken < count && queued()) {
      long result = take_datagram(slots + static_cast<std::size_t>(taken) * slot_size,
                                  slot_size, &senders[taken]);
      if (result == receive_nothing) {
        break;
      }
      lengths[taken++] = result;
      if (result < 0) {
        break;
      }
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
  fake.pause_starts.push_back(fake.now_us);
  if (queued()) {
    ++fake.paused_with_queue;
  }
  count_call(fake_pause_call);
  if (fake.stopped == 0) {
    advance_to(fake.now_us + wait_us + fake.pause_overrun_us);
  }
}

int platform_wait_readable(ssm_socket, int wait_ms) {
  fake.readable_waits.push_back(wait_ms);
  if (!fake.readiness.empty()) {
    int ready = fake.readiness.front();
    fake.readiness.pop_front();
    return ready;
  }
  bool noted_before = fake.stopped != 0;
  if (wait_until_queued(wait_ms, noted_before)) {
    return 1;
  }
  return fake.stopped != 0 && wait_ms != 0 ? wait_cut_short : 0;
}

std::int64_t platform_monotonic_us() {
  return fake.now_us;
}

int platform_write_output(const char* data, std::size_t size) {
  ++fake.writes;
  count_call(fake_write_call);
  if (fake.write_result != 0) {
    return fake.write_result;
  }
  fake.output.append(data, size);
  fake.write_log.emplace_back(fake.now_us, fake.output.size());
  return 0;
}

void platform_prepare_output() {}

int platform_open_standard_streams() {
  return fake.stdout_closed ? -1 : 0;
}

void platform_catch_stops(ssm_socket /*socket*/, bool /*always_noted*/) {
  ++fake.stops_caught;
}

int platform_stop_requested() {
  return fake.stopped;
}

void platform_end_stopped(int stop) {
  fake.ended_by = stop;
  fake.output_at_end = fake.output;
}

const char* platform_socket_error_text() {
  return "fake socket failure";
}

const char* platform_output_error_text() {
  return "fake output failure";
}

int platform_input_route(const ssm_address*, const ssm_address*, unsigned) {
  ++fake.input_routes_asked;
  return fake.input_route;
}

int platform_route_interface(const ssm_address*, unsigned* index) {
  *index = fake.route_back_index;
  return fake.route_back;
}

bool platform_is_local_address(const ssm_address*) {
  return fake.source_local;
}

bool platform_is_loopback(unsigned index) {
  for (unsigned loopback : fake.loopbacks) {
    if (loopback == index) {
      return true;
    }
  }
  return false;
}

bool platform_address_on_interface(const ssm_address*, unsigned index) {
  return fake.source_on_interface == index;
}

int platform_interface_up(unsigned index) {
  for (unsigned down : fake.down) {
    if (down == index) {
      return 0;
    }
  }
  return 1;
}

bool platform_judges_input_route() {
  return fake.judges_input_route;
}

void platform_firewall_facts(ssm_family, std::uint16_t, firewall_facts* facts) {
  *facts = fake.firewall;
}

long long platform_host_udp_errors(ssm_family) {
  if (fake.udp_errors.empty()) {
    return -1;
  }
  long long count = fake.udp_errors.front();
  fake.udp_errors.pop_front();
  return count;
}

int platform_accepts_local_source(unsigned) {
  return fake.accept_local;
}

const char* platform_firewall_advice() {
  return "look at the fake firewall";
}

bool platform_interface_name(unsigned index, char* name, std::size_t size) {
  for (const auto& known : fake.interfaces) {
    if (known.second == index && known.first.size() < size) {
      std::memcpy(name, known.first.c_str(), known.first.size() + 1);
      return true;
    }
  }
  return false;
}

void platform_reverse_path_filter(unsigned, int* own, int* all) {
  *own = fake.rp_own;
  *all = fake.rp_all;
}

group_protocol platform_group_protocol(ssm_family, unsigned) {
  return fake.protocol;
}

long long platform_socket_drops(ssm_socket) {
  fake.drop_read_times.push_back(fake.now_us);
  return fake.now_us < fake.drops_from_us ? 0 : fake.drops;
}

const char* platform_receive_queue_limit(ssm_socket) {
  return fake.queue_limit;
}

ssm_socket platform_open_link_capture(unsigned, const ssm_address*, const ssm_address*,
                                      std::uint16_t, const char** reason) {
  *reason = "not made by the fake";
  return ssm_no_socket;
}

int platform_link_capture_count(ssm_socket, long long* seen) {
  fake.link_reads.push_back(fake.now_us);
  if (fake.link_count_fails) {
    return -1;
  }
  if (!fake.link_counts.empty()) {
    *seen += fake.link_counts.front();
    fake.link_counts.pop_front();
  }
  return 0;
}

void platform_close_link_capture(ssm_socket) {}
