// One datagram in, one report line out.
#include <cstdint>
#include <cstring>

#include "core/output.h"
#include "core/report_line.h"
#include "core/ssm_receiver.h"
#include "platform/process.h"
#include "platform/socket.h"

report_result receive_and_report(ssm_socket socket, unsigned char* report_buffer,
                                 sender_record* sender, int wait_ms, pace_state* pace) {
  long length =
      platform_receive(socket, report_buffer, report_buffer_size, &sender->address, wait_ms);
  if (length == receive_nothing) {
    return report_nothing;
  }
  pace_took(pace, 1, length > 0 ? length : 0);
  // The sequence field is the bytes this datagram carried; those it did not
  // carry count as zero, never as what an earlier datagram left there.
  if (length >= 0 && length < 4) {
    std::memset(report_buffer + length, 0, static_cast<std::size_t>(4 - length));
  }
  char line[report_line_max];
  std::size_t size =
      format_report_line(line, sender->address, read_sequence(report_buffer), length);
  if (append_output(line, size) != 0) {
    return report_output_failed;
  }
  return report_printed;
}

report_result receive_and_report_batch(ssm_socket socket, report_batch* batch, int wait_ms,
                                       pace_state* pace) {
  long lengths[report_batch_slots];
  ssm_address senders[report_batch_slots];
  // Only a batch shorter than the platform could take says the queue is dry.
  int room = platform_batch_limit() < report_batch_slots ? platform_batch_limit()
                                                          : report_batch_slots;
  int count = platform_receive_batch(socket, &batch->slots[0][0], report_buffer_size, room,
                                     lengths, senders, wait_ms);
  if (count <= 0) {
    return report_nothing;
  }
  long bytes = 0;
  for (int i = 0; i < count; ++i) {
    long length = lengths[i];
    if (length >= 0) {
      bytes += length;
      unsigned char* slot = batch->slots[i];
      // As in receive_and_report: bytes a datagram did not carry count as
      // zero, whatever an earlier datagram left in this slot.
      if (length < 4) {
        std::memset(slot + length, 0, static_cast<std::size_t>(4 - length));
      }
      batch->sender.address = senders[i];
      batch->sequence = read_sequence(slot);
    }
    char line[report_line_max];
    std::size_t size = format_report_line(line, batch->sender.address, batch->sequence, length);
    if (append_output(line, size) != 0) {
      return report_output_failed;
    }
  }
  pace_took(pace, count, bytes);
  // A failed receive says nothing of the queue: the next one follows at once.
  return count < room && lengths[count - 1] >= 0 ? report_drained : report_printed;
}

namespace {

// Where the stream is fast enough for it to be likely, looks for a datagram
// already queued: never pause with one there (a burst after a quiet spell
// is found fast by its first two). While more is queued, the lines held go
// out once the oldest has waited its moment. Returns wait_readable,
// wait_output_failed, or wait_timed_out when the queue is dry.
wait_result look_for_queued(ssm_socket socket, pace_state* pace) {
  std::int64_t now_us = platform_monotonic_us();
  if (!pace_fast(pace, now_us) || platform_wait_readable(socket, receive_no_wait) != 1) {
    return wait_timed_out;
  }
  if (output_pending() && pace_write_due(pace, now_us)) {
    if (flush_output() != 0) {
      return wait_output_failed;
    }
    pace_wrote_out(pace, now_us);
  }
  return wait_readable;
}

// Blocks until the socket is readable, at most wait_ms; a signal's cut is
// retried unless it was a stop request.
wait_result block_for_datagram(ssm_socket socket, int wait_ms) {
  for (;;) {
    if (stop_requested()) {
      return wait_stopped;
    }
    int ready = platform_wait_readable(socket, wait_ms);
    if (ready == 1) {
      return wait_readable;
    }
    if (ready != wait_cut_short) {
      return ready == 0 ? wait_timed_out : wait_failed;
    }
  }
}

}  // namespace

wait_result wait_for_datagram(ssm_socket socket, int wait_ms, pace_state* pace) {
  // After a pause, look even with no line held: a pause that gathered
  // nothing ends the pausing.
  while (output_pending() || pace->paused) {
    if (stop_requested()) {
      return wait_stopped;
    }
    wait_result queued = look_for_queued(socket, pace);
    if (queued != wait_timed_out) {
      return queued;
    }
    pace_step step = pace_when_dry(pace, output_pending(), platform_monotonic_us());
    if (step.write_out && flush_output() != 0) {
      return wait_output_failed;
    }
    if (step.pause_us == 0) {
      break;
    }
    platform_pause(socket, step.pause_us);
  }
  return block_for_datagram(socket, wait_ms);
}
