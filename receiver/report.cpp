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

namespace {

// When held lines were last written out because the socket was idle.
std::int64_t last_idle_flush_us = INT64_MIN / 2;

}  // namespace

wait_result wait_for_datagram(ssm_socket socket, int wait_ms) {
  if (output_pending()) {
    // A stream that went idle less than a moment ago is fast: its lines are
    // gathered until it pauses for that moment. A slower one gets each line
    // written out at once. Either way no line is left waiting while we block.
    if (platform_monotonic_us() - last_idle_flush_us < std::int64_t{output_linger_ms} * 1000) {
      int ready = platform_wait_readable(socket, output_linger_ms);
      if (ready == 1) {
        return wait_readable;
      }
    }
    if (flush_output() != 0) {
      return wait_output_failed;
    }
    last_idle_flush_us = platform_monotonic_us();
  }
  return static_cast<wait_result>(platform_wait_readable(socket, wait_ms));
}
