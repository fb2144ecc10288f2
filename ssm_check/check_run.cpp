#include "check_run.h"

#include <cstring>

#include "report_line.h"

namespace {

// The longest single wait: a stop request is looked at this often even
// where it cannot cut a wait short.
const int wait_slice_ms = 100;

// How many datagrams one receive takes at most.
const int batch_slots = 64;

// Batches taken in a row before the time and the stop are looked at again.
const int batches_per_look = 16;

unsigned char slots[batch_slots][report_buffer_size];

bool same_address(const ssm_address& a, const ssm_address& b) {
  std::size_t size = a.family == ssm_ipv6 ? 16 : 4;
  return a.family == b.family && std::memcmp(a.bytes, b.bytes, size) == 0;
}

// Bytes 0-3 as the receivers read them, or big-endian.
std::uint32_t read_number(const unsigned char* datagram, bool big_endian) {
  if (!big_endian) {
    return static_cast<std::uint32_t>(read_sequence(datagram));
  }
  return static_cast<std::uint32_t>(datagram[0]) << 24 |
         static_cast<std::uint32_t>(datagram[1]) << 16 |
         static_cast<std::uint32_t>(datagram[2]) << 8 | datagram[3];
}

void count_datagram(const ssm_receiver* receiver, const check_options* options,
                    const unsigned char* datagram, long length, const ssm_address& sender,
                    std::int64_t now_us, check_facts* facts) {
  if (!same_address(sender, receiver->channel.source)) {
    if (facts->others == 0) {
      facts->first_other = sender;
    }
    ++facts->others;
    return;
  }
  if (facts->received == 0) {
    facts->first_us = now_us;
    facts->smallest = length;
    facts->largest = length;
  }
  ++facts->received;
  ++facts->taken;
  facts->last_us = now_us;
  facts->bytes += length;
  facts->smallest = length < facts->smallest ? length : facts->smallest;
  facts->largest = length > facts->largest ? length : facts->largest;
  if (length < 4) {
    ++facts->without_sequence;
    return;
  }
  tally_number(&facts->tally, read_number(datagram, options->big_endian));
}

// Takes what is queued on the socket. Returns whether the count asked for
// has come.
bool take_queued(const ssm_receiver* receiver, const check_options* options, check_facts* facts) {
  long lengths[batch_slots];
  ssm_address senders[batch_slots];
  int room = platform_batch_limit() < batch_slots ? platform_batch_limit() : batch_slots;
  for (int batch = 0; batch < batches_per_look; ++batch) {
    int count = platform_receive_batch(receiver->socket, &slots[0][0], report_buffer_size, room,
                                       lengths, senders, receive_no_wait);
    std::int64_t now_us = platform_monotonic_us();
    for (int i = 0; i < count; ++i) {
      if (lengths[i] < 0) {
        continue;  // a failed receive (a bad checksum): nothing to count
      }
      count_datagram(receiver, options, slots[i], lengths[i], senders[i], now_us, facts);
      if (options->count > 0 && facts->received >= options->count) {
        return true;
      }
    }
    if (count < room) {
      break;
    }
  }
  return false;
}

}  // namespace

void start_facts(check_facts* facts, std::int64_t joined_us) {
  std::memset(facts, 0, sizeof *facts);
  facts->joined_us = joined_us;
  facts->ended_us = joined_us;
  facts->host_dropped = -1;
  tally_start(&facts->tally);
}

int run_check(const ssm_receiver* receiver, ssm_socket capture, const check_options* options,
              check_facts* facts) {
  std::int64_t deadline_us = facts->joined_us + options->seconds * 1000000;
  for (;;) {
    std::int64_t now_us = platform_monotonic_us();
    facts->ended_us = now_us;
    if (stop_requested()) {
      facts->end = ended_by_stop;
      facts->stop = platform_stop_requested();
      return 0;
    }
    if (now_us >= deadline_us) {
      facts->end = ended_by_time;
      return 0;
    }
    std::int64_t left_ms = (deadline_us - now_us + 999) / 1000;
    int wait_ms = left_ms < wait_slice_ms ? static_cast<int>(left_ms) : wait_slice_ms;
    int ready = platform_wait_either(receiver->socket, capture, wait_ms);
    if (ready == wait_cut_short) {
      continue;
    }
    if (ready < 0) {
      return -1;
    }
    if ((ready & 2) != 0) {
      platform_drain_link_capture(capture);
    }
    if ((ready & 1) != 0 && take_queued(receiver, options, facts)) {
      facts->ended_us = platform_monotonic_us();
      facts->end = ended_by_count;
      return 0;
    }
  }
}
