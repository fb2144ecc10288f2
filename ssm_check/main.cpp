// ssm_check: joins a source-specific multicast channel as the receivers do,
// listens for a while, and reports what came, what is missing, what this
// host dropped or blocks, and a verdict, with an exit status to match.
#include "core/drop_watch.h"
#include "core/exit_status.h"
#include "platform/capture.h"
#include "platform/host_verdicts.h"
#include "platform/process.h"
#include "platform/socket.h"
#include "ssm_check/check_options.h"
#include "ssm_check/check_report.h"
#include "ssm_check/check_run.h"

namespace {

const char program[] = "ssm_check";

// Opens the capture on the membership's interface, or says in
// facts->link_reason why the link is not checked.
ssm_socket open_capture(const ssm_receiver* receiver, check_facts* facts) {
  if (!receiver->joined) {
    facts->link_reason = "no membership";
    return ssm_no_socket;
  }
  const ssm_channel& channel = receiver->channel;
  ssm_socket capture =
      platform_open_link_capture(receiver->membership_interface, &channel.group,
                                 &channel.source, channel.port, &facts->link_reason);
  facts->link_checked = capture != ssm_no_socket;
  return capture;
}

}  // namespace

int main(int argc, char** argv) {
  platform_prepare_output();
  check_options options;
  int status = parse_check_options(argc, argv, program, &options);
  if (status != 0) {
    return status == check_help_printed ? 0 : status;
  }
  ssm_receiver receiver;
  // Every stop must be noted: the report is still to come.
  status = open_ssm_channel(program, options.group_text, options.source_text, options.port_text,
                            true, &receiver);
  if (status != 0) {
    return status;
  }
  // Static: the facts hold the tally's window.
  static check_facts facts;
  start_facts(&facts, platform_monotonic_us());
  // As soon as the join: what the link counts may reach the socket from now.
  ssm_socket capture = open_capture(&receiver, &facts);
  if (run_check(&receiver, capture, &options, &facts) != 0) {
    print_failure(program, "wait for a datagram", platform_socket_error_text());
    return exit_failure;
  }
  if (capture != ssm_no_socket) {
    platform_close_link_capture(capture);
  }
  facts.host_dropped = host_socket_drops(receiver.socket);
  facts.queue_limit = platform_receive_queue_limit(receiver.socket);
  if (write_check_report(&receiver, &options, &facts) != 0) {
    return output_failure(program);
  }
  return check_status(&receiver, &facts);
}
