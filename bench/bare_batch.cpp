// bare_batch: the floor of ssm_listen's kernel path. It takes batches and
// pauses exactly as ssm_listen does (pace.h), and counts the datagrams; it
// formats and writes nothing.
#include "bench/bare_loop.h"
#include "core/pace.h"
#include "core/ssm_receiver.h"
#include "platform/process.h"
#include "platform/socket.h"

int main(int argc, char** argv) {
  int fd = open_bare_receiver(argc, argv, "bare_batch");
  if (fd < 0) {
    return 2;
  }
  static unsigned char slots[report_batch_slots][report_buffer_size];
  long lengths[report_batch_slots];
  ssm_address senders[report_batch_slots];
  int room = platform_batch_limit() < report_batch_slots ? platform_batch_limit()
                                                          : report_batch_slots;
  pace_state pace;
  pace_start(&pace, platform_receive_queue_bytes(fd), platform_monotonic_us());
  // What ssm_listen would hold as lines: taken since the last write-out.
  long held = 0;
  int wait_ms = receive_wait_forever;
  for (;;) {
    int count = platform_receive_batch(fd, &slots[0][0], report_buffer_size, room, lengths,
                                       senders, wait_ms);
    long bytes = 0;
    for (int i = 0; i < count; ++i) {
      if (lengths[i] >= 0) {
        bytes += lengths[i];
        bare_datagrams = bare_datagrams + 1;
      }
    }
    pace_took(&pace, count, bytes);
    held += count;
    wait_ms = receive_no_wait;
    // As ssm_listen: a full batch, or one ended by a failure, is taken on.
    if (count > 0 && (count == room || lengths[count - 1] < 0)) {
      continue;
    }
    pace_step step = pace_when_dry(&pace, held > 0, platform_monotonic_us());
    if (step.write_out) {
      held = 0;
    }
    if (step.pause_us > 0) {
      platform_pause(fd, step.pause_us);
    } else {
      wait_ms = receive_wait_forever;
    }
  }
}
