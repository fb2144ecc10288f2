#include "ssm_check/check_run.h"

#include <cstring>

#include "core/report_line.h"
#include "platform/capture.h"
#include "platform/host_verdicts.h"
#include "platform/process.h"
#include "platform/socket.h"

namespace {

// The longest single wait. A stop cuts a wait short (on Windows the wait
// looks for it every 100 ms), and the capture's count is read this often:
// the system keeps it in 32 bits.
const int wait_slice_ms = 1000;
const std::int64_t link_count_every_us = std::int64_t{wait_slice_ms} * 1000;

// How many datagrams one receive takes at most.
const int batch_slots = 64;

// Batches taken in a row before the time and the stop are looked at again.
const int batches_per_look = 16;

// A datagram the capture counted may still be on its way from the link to
// the socket, on another CPU, when the count is read.
const int link_to_socket_us = 2000;

// The most time spent taking what is queued at the end: a fast stream still
// arriving is not chased for ever.
const std::int64_t last_take_us = 200000;

unsigned char slots[batch_slots][report_buffer_size];

// listening: the datagram counts in the report; else only in facts->taken.
void count_datagram(const ssm_receiver* receiver, const check_options* options,
                    const unsigned char* datagram, long length, const ssm_address& sender,
                    std::int64_t now_us, bool listening, check_facts* facts) {
  if (!same_address(sender, receiver->channel.source)) {
    if (listening) {
      if (facts->others == 0) {
        facts->first_other = sender;
      }
      ++facts->others;
    }
    return;
  }
  ++facts->taken;
  if (!listening) {
    return;
  }
  if (facts->received == 0) {
    facts->first_us = now_us;
    facts->smallest = length;
    facts->largest = length;
  }
  ++facts->received;
  facts->last_us = now_us;
  facts->bytes += length;
  facts->smallest = length < facts->smallest ? length : facts->smallest;
  facts->largest = length > facts->largest ? length : facts->largest;
  if (length < 4) {
    ++facts->without_sequence;
    return;
  }
  tally_number(&facts->tally, read_tally_number(datagram, options->big_endian));
}

bool count_reached(const check_options* options, const check_facts* facts) {
  return options->count > 0 && facts->received >= options->count;
}

// Takes what is queued on the socket, a few batches at most. While
// listening, what comes from the source is received up to the count asked
// for, and taken only after it. Returns whether the queue was found empty.
bool take_queued(const ssm_receiver* receiver, const check_options* options, bool listening,
                 check_facts* facts) {
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
      count_datagram(receiver, options, slots[i], lengths[i], senders[i], now_us,
                     listening && !count_reached(options, facts), facts);
    }
    if (count < room) {
      return true;
    }
  }
  return false;
}

// Reads what the capture counted since the last read.
void count_link(ssm_socket capture, check_facts* facts) {
  if (facts->link_checked && platform_link_capture_count(capture, &facts->link_seen) != 0) {
    facts->link_checked = false;
    facts->link_reason = "the capture's count could not be read";
  }
}

// The end of the listening: the link's count first, so that every datagram
// it counted has had time to reach the socket and be taken after it.
void take_the_rest(const ssm_receiver* receiver, ssm_socket capture,
                   const check_options* options, check_facts* facts) {
  count_link(capture, facts);
  if (facts->link_checked) {
    platform_pause(receiver->socket, link_to_socket_us);
  }
  std::int64_t give_up_us = platform_monotonic_us() + last_take_us;
  bool emptied = false;
  while (!emptied && platform_monotonic_us() < give_up_us) {
    emptied = take_queued(receiver, options, false, facts);
  }
}

}  // namespace

void start_facts(check_facts* facts, std::int64_t joined_us) {
  std::memset(facts, 0, sizeof *facts);
  facts->joined_us = joined_us;
  facts->ended_us = joined_us;
  facts->host_dropped = -1;
  facts->host_udp_errors = -1;
  tally_start(&facts->tally);
}

int run_check(const ssm_receiver* receiver, ssm_socket capture, const check_options* options,
              check_facts* facts) {
  std::int64_t deadline_us = facts->joined_us + options->seconds * 1000000;
  std::int64_t next_link_count_us = facts->joined_us + link_count_every_us;
  ssm_family family = receiver->channel.group.family;
  long long errors_before = platform_host_udp_errors(family);
  for (;;) {
    std::int64_t now_us = platform_monotonic_us();
    facts->ended_us = now_us;
    if (stop_requested()) {
      facts->end = ended_by_stop;
      facts->stop = platform_stop_requested();
      break;
    }
    if (now_us >= deadline_us) {
      facts->end = ended_by_time;
      break;
    }
    if (now_us >= next_link_count_us) {
      count_link(capture, facts);
      next_link_count_us = now_us + link_count_every_us;
    }
    std::int64_t left_ms = (deadline_us - now_us + 999) / 1000;
    int wait_ms = left_ms < wait_slice_ms ? static_cast<int>(left_ms) : wait_slice_ms;
    int ready = platform_wait_readable(receiver->socket, wait_ms);
    if (ready == wait_cut_short || ready == 0) {
      continue;
    }
    if (ready < 0) {
      return -1;
    }
    (void)take_queued(receiver, options, true, facts);
    if (count_reached(options, facts)) {
      facts->ended_us = platform_monotonic_us();
      facts->end = ended_by_count;
      break;
    }
  }
  take_the_rest(receiver, capture, options, facts);
  long long errors_after = platform_host_udp_errors(family);
  if (errors_before >= 0 && errors_after >= errors_before) {
    facts->host_udp_errors = errors_after - errors_before;
  }
  return 0;
}
