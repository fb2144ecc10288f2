// One datagram in, one report line out.
#include <cstdint>
#include <cstring>

#include "report_line.h"
#include "output.h"
#include "ssm_receiver.h"

report_result receive_and_report(ssm_socket socket, unsigned char* report_buffer,
                                 sender_record* sender, int wait_ms) {
  long length =
      platform_receive(socket, report_buffer, report_buffer_size, &sender->address, wait_ms);
  if (length == receive_nothing) {
    return report_nothing;
  }
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

report_result receive_and_report_batch(ssm_socket socket, report_batch* batch, int wait_ms) {
  long lengths[report_batch_slots];
  std::uint32_t senders[report_batch_slots];
  // Only a batch shorter than the platform could take says the queue is dry.
  int room = platform_batch_limit() < report_batch_slots ? platform_batch_limit()
                                                          : report_batch_slots;
  int count = platform_receive_batch(socket, &batch->slots[0][0], report_buffer_size, room,
                                     lengths, senders, wait_ms);
  if (count <= 0) {
    return report_nothing;
  }
  for (int i = 0; i < count; ++i) {
    long length = lengths[i];
    if (length >= 0) {
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
  // A failed receive says nothing of the queue: the next one follows at once.
  return count < room && lengths[count - 1] >= 0 ? report_drained : report_printed;
}

namespace {

// When held lines were last written out because the socket was idle.
std::int64_t last_idle_flush_us = INT64_MIN / 2;

const std::int64_t output_linger_us = std::int64_t{output_linger_ms} * 1000;

// The longest pause: at 300,000 datagrams/s it queues 75 of them, which even
// the usual default receive queue (about 256 small datagrams) holds.
const std::int64_t pause_most_us = 250;

// Writes out every line held, and notes when.
int write_out_when_idle() {
  if (flush_output() != 0) {
    return -1;
  }
  last_idle_flush_us = platform_monotonic_us();
  return 0;
}

// How much longer the lines held may wait, in microseconds: more than zero
// while the stream counts as fast (its lines went out less than a moment ago).
std::int64_t linger_left_us() {
  return output_linger_us - (platform_monotonic_us() - last_idle_flush_us);
}

// Lets a fast stream's queue fill for a while, never past what is left of
// the moment. The pause does not end at the next datagram: waking for each
// one would cost a system call and a wake-up per datagram.
void pause_within(ssm_socket socket, std::int64_t left_us) {
  platform_pause(socket, static_cast<int>(left_us < pause_most_us ? left_us : pause_most_us));
}

}  // namespace

int linger_or_write_out(ssm_socket socket) {
  std::int64_t left = linger_left_us();
  if (left > 0) {
    pause_within(socket, left);
    return 0;
  }
  return write_out_when_idle();
}

wait_result wait_for_datagram(ssm_socket socket, int wait_ms) {
  if (output_pending()) {
    // A stream whose lines went out less than a moment ago is fast: its
    // lines are gathered while datagrams are queued, and when the queue runs
    // dry it pauses for more, a little at a time, until the moment is up. A
    // slower one gets each line written out at once. Either way no line is
    // left waiting while we block.
    for (std::int64_t left = linger_left_us(); left > 0; left = linger_left_us()) {
      int ready = platform_wait_readable(socket, receive_no_wait);
      if (ready == 1) {
        return wait_readable;
      }
      if (ready < 0) {
        break;
      }
      pause_within(socket, left);
    }
    if (write_out_when_idle() != 0) {
      return wait_output_failed;
    }
  }
  return static_cast<wait_result>(platform_wait_readable(socket, wait_ms));
}
