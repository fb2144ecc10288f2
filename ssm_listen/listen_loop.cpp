#include "ssm_listen/listen_loop.h"

#include "core/drop_watch.h"
#include "core/output.h"
#include "platform/process.h"
#include "platform/socket.h"

int listen_loop(const ssm_receiver& receiver, report_batch* batch, const char* program) {
  ssm_socket socket = receiver.socket;
  // Before the first datagram, a failed receive shows the family's zero
  // address: 0.0.0.0 or ::.
  batch->sender.address = ssm_address{receiver.channel.group.family, {}};
  pace_state pace;
  pace_start(&pace, platform_receive_queue_bytes(socket), platform_monotonic_us());
  int wait_ms = receive_wait_forever;
  drop_watch drops;
  drop_watch_start(&drops, socket);
  for (;;) {
    if (stop_requested()) {
      watch_host_drops_at_end(program, &drops);
      return end_stopped(program);
    }
    if (wait_ms == receive_wait_forever && drops.backlog) {
      // The queue may have overflowed since the drop count was read: block
      // only until it is due, so that the drops of a burst are said in the
      // silence after it too.
      int ready =
          platform_wait_readable(socket, drop_look_wait_ms(&drops, platform_monotonic_us()));
      if (ready == 0) {
        watch_host_drops(program, &drops, platform_monotonic_us());
        continue;
      }
      if (ready != -1) {
        wait_ms = receive_no_wait;  // a datagram is there, or a stop cut the wait
      }
    }
    report_result result = receive_and_report_batch(socket, batch, wait_ms, &pace);
    if (result == report_output_failed) {
      return output_failure(program);
    }
    // A full batch, or one ended by a failed receive: more may be queued.
    wait_ms = receive_no_wait;
    if (result == report_printed) {
      watch_host_drops_after(program, &drops, 1);
      continue;
    }
    // The queue is dry: out go the lines, or a pause lets more queue up.
    std::int64_t now_us = platform_monotonic_us();
    if (pace_fell_behind(&pace)) {
      note_receive_backlog(&drops);
    }
    watch_host_drops(program, &drops, now_us);
    pace_step step = pace_when_dry(&pace, output_pending(), now_us);
    if (step.write_out && flush_output() != 0) {
      return output_failure(program);
    }
    if (step.pause_us > 0) {
      platform_pause(socket, step.pause_us);
    } else {
      wait_ms = receive_wait_forever;
    }
  }
}
