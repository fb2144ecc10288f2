#include "ssm_watch/watch_loop.h"

#include "core/drop_watch.h"
#include "core/exit_status.h"
#include "core/host_checks.h"
#include "platform/process.h"
#include "platform/socket.h"

int watch_loop(ssm_receiver* receiver, unsigned char* report_buffer, const char* program,
               const char* group_text, const char* source_text) {
  // Before the first datagram, a failed receive shows the family's zero
  // address: 0.0.0.0 or ::.
  sender_record sender{ssm_address{receiver->channel.group.family, {}}};
  pace_state pace;
  pace_start(&pace, platform_receive_queue_bytes(receiver->socket), platform_monotonic_us());
  // Whether the last membership request was refused. A request for a
  // membership still in place is refused as well (Linux: EADDRNOTAVAIL), so
  // only an accepted request after a refused one means the channel is joined
  // anew: that is worth a line, a renewal is not.
  bool refused = !receiver->joined;
  drop_watch drops;
  drop_watch_start(&drops, receiver->socket);

  for (;;) {
    // Each wait on its own: the second starts afresh after every datagram and
    // every renewal.
    wait_result waited = wait_for_datagram(receiver->socket, watch_wait_ms, &pace);
    if (waited == wait_readable) {
      // Never block here: the datagram that made the socket readable can be
      // gone by now (a bad checksum shows only when it is read), and a
      // blocked receive would stop the renewals.
      if (receive_and_report(receiver->socket, report_buffer, &sender, receive_no_wait, &pace) ==
          report_output_failed) {
        return output_failure(program);
      }
      watch_host_drops_after(program, &drops, 1);
    } else if (waited == wait_timed_out) {
      watch_host_drops(program, &drops, platform_monotonic_us());
      const char* reason = nullptr;
      int joined = renew_ssm_membership(receiver, &reason);
      warn_unbound_interface(program, receiver);
      if (joined == 0 && refused) {
        print_channel_notice(program, "joined", group_text, source_text, nullptr);
      }
      // An interface found down says nothing of the stream's fate until it
      // is up: look again while the channel is silent.
      if (joined == 0 && (refused || receiver->host.interface_down)) {
        check_host_blockers(program, receiver);
      }
      refused = joined != 0;
    } else if (waited == wait_output_failed) {
      return output_failure(program);
    } else if (waited == wait_stopped) {
      watch_host_drops_at_end(program, &drops);
      return end_stopped(program);
    } else {
      // Retried, it would fail again at once: a busy core and a program
      // that looks alive but hears nothing. (A signal's cut is retried.)
      print_failure(program, "wait for a datagram", platform_socket_error_text());
      return exit_failure;
    }
  }
}
