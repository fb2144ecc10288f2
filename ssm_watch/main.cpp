// ssm_watch: joins a source-specific multicast channel and reports every
// datagram that reaches the port, waiting at most a second at a time and
// asking for the membership again after every silent second.
#include <cstdio>

#include "ssm_receiver.h"

namespace {

const char program[] = "ssm_watch";

// Each wait on its own: the second starts afresh after every datagram and
// every renewal.
const int watch_wait_ms = 1000;

}  // namespace

int main(int argc, char** argv) {
  ssm_receiver receiver;
  int status = open_ssm_receiver(argc, argv, program, &receiver);
  if (status != 0) {
    return status;
  }
  static unsigned char report_buffer[report_buffer_size];
  sender_record sender{};
  // Whether the last membership request was refused. A request for a
  // membership still in place is refused as well (Linux: EADDRNOTAVAIL), so
  // only an accepted request after a refused one means the channel is joined
  // anew: that is worth a line, a renewal is not.
  bool refused = !receiver.joined;

  for (;;) {
    wait_result waited = wait_for_datagram(receiver.socket, watch_wait_ms);
    if (waited == wait_readable) {
      // Never block here: the datagram that made the socket readable can be
      // gone by now (a bad checksum shows only when it is read), and a
      // blocked receive would stop the renewals.
      if (receive_and_report(receiver.socket, report_buffer, &sender, receive_no_wait) ==
          report_output_failed) {
        return output_failure(program);
      }
    } else if (waited == wait_timed_out) {
      int joined = join_ssm_group(receiver.socket, receiver.channel.group,
                                  receiver.channel.source, 0);
      if (joined == 0 && refused) {
        // A notice that cannot be written changes nothing for the reception.
        (void)std::fprintf(stderr, "%s: joined group %s from source %s\n", program, argv[1],
                           argv[2]);
      }
      refused = joined != 0;
    } else if (waited == wait_output_failed) {
      return output_failure(program);
    }
  }
}
