// ssm_monitor: watches many source-specific multicast channels around the
// clock and writes one line for each event: a channel joined or refused, up,
// silent (and why), datagrams missing or dropped by this host.
#include <cstdio>

#include "core/exit_status.h"
#include "core/output.h"
#include "platform/process.h"
#include "platform/readiness.h"
#include "platform/socket.h"
#include "ssm_monitor/channel_list.h"
#include "ssm_monitor/metrics_file.h"
#include "ssm_monitor/metrics_server.h"
#include "ssm_monitor/monitor.h"
#include "ssm_monitor/monitor_loop.h"
#include "ssm_monitor/monitor_options.h"

namespace {

const char program[] = "ssm_monitor";

// Sockets beyond the channels': the wake socket, the standard streams, and
// the counts of links that find why a channel is silent; and with -l, the
// metrics endpoint's.
const long other_files = 16 + capture_most;
const long endpoint_files = 1 + connections_most;

// Raises the open-file limit to what the channels need; says so when the
// hard limit is too low (the program goes on: a socket it cannot open then
// says why).
void make_room_for(long channels, bool endpoint) {
  long wanted = channels + other_files + (endpoint ? endpoint_files : 0);
  long most = 0;
  if (platform_raise_open_files(wanted, &most) != 0 && most >= 0) {
    (void)std::fprintf(stderr,
                       "%s: warning: open files: the hard limit is %ld, and %ld channels need "
                       "about %ld: raise it (ulimit -Hn, or LimitNOFILE= in a service)\n",
                       program, most, channels, wanted);
  }
}

// Reads every channel asked for. Returns 0 or the exit status.
int list_channels(const monitor_options* options, std::vector<channel_entry>* operand_channels,
                  std::vector<channel_entry>* all) {
  char problem[channel_problem_room];
  if (list_operand_channels(options->operands, operand_channels, problem, sizeof problem) != 0) {
    (void)std::fprintf(stderr, "%s: %s\n", program, problem);
    return exit_usage;
  }
  *all = *operand_channels;
  if (options->file != nullptr &&
      list_file_channels(options->file, all, problem, sizeof problem) != 0) {
    (void)std::fprintf(stderr, "%s: %s\n", program, problem);
    return exit_usage;
  }
  if (all->empty()) {
    (void)std::fprintf(stderr, "%s: %s: no channel in it\n", program, options->file);
    return exit_usage;
  }
  return 0;
}

}  // namespace

int main(int argc, char** argv) {
  platform_prepare_output();
  static monitor_options options;
  int status = parse_monitor_options(argc, argv, program, &options);
  if (status != 0) {
    return status == monitor_help_printed ? 0 : status;
  }
  static monitor m;
  m.program = program;
  m.options = &options;
  std::vector<channel_entry> channels;
  status = list_channels(&options, &m.operand_channels, &channels);
  if (status != 0) {
    return status;
  }
  status = prepare_sockets(program);
  if (status != 0) {
    return status;
  }
  make_room_for(static_cast<long>(channels.size()), options.listen.given);
  m.ready = platform_open_readiness(static_cast<int>(channels.size()) + 17 + connections_most);
  m.wake = platform_open_udp_socket(ssm_ipv4);
  if (m.ready == nullptr || m.wake == ssm_no_socket ||
      platform_bind_any(m.wake, ssm_ipv4, 0) != 0 ||
      platform_watch_socket(m.ready, m.wake, wake_tag, false) != 0) {
    print_failure(program, "wait for datagrams", platform_socket_error_text());
    return exit_failure;
  }
  // Before any channel is joined: a port that cannot be had ends it here.
  status = options.listen.given ? open_metrics_server(&m) : 0;
  if (status == 0 && options.metrics_file != nullptr) {
    status = open_metrics_file(&m);
  }
  if (status != 0) {
    return status;
  }
  std::int64_t now_us = platform_monotonic_us();
  std::int64_t unix_ms = platform_wall_clock_ms();
  for (const channel_entry& entry : channels) {
    status = add_channel(&m, entry, now_us, unix_ms);
    if (status != 0) {
      // The channels joined so far are left, and what they said is kept
      // back: the program does not run.
      for (std::size_t slot = 0; slot < m.slots.size(); ++slot) {
        if (m.slots[slot] != nullptr) {
          (void)drop_channel(&m, slot, false, unix_ms);
        }
      }
      return status;
    }
  }
  if (flush_output() != 0) {
    return output_failure(program);
  }
  // A stop shuts the wake socket's receiving side: a wait begun after the
  // loop's last look returns at once. SIGHUP reads the file again.
  platform_catch_stops(m.wake, true);
  platform_catch_reloads();
  return monitor_loop(&m);
}
