// The socket's drops, said on standard error as a receive loop goes.
#include "core/drop_watch.h"

#include <cstdio>

#include "platform/host_verdicts.h"
#include "platform/process.h"
#include "platform/socket.h"

long long host_socket_drops(ssm_socket socket) {
  return platform_socket_drops(socket);
}

namespace {

// How many receives go by between two readings of the clock for the drops.
const int drop_look_receives = 64;

// A count with its thousands grouped: 29,918.
void format_count(char* out, std::size_t room, long long count) {
  char digits[32];
  int size = std::snprintf(digits, sizeof digits, "%lld", count);
  std::size_t at = 0;
  for (int i = 0; i < size && at + 1 < room; ++i) {
    if (i > 0 && (size - i) % 3 == 0 && at + 2 < room) {
      out[at++] = ',';
    }
    out[at++] = digits[i];
  }
  out[at] = '\0';
}

void look_at_drops(const char* program, drop_watch* watch, std::int64_t now_us) {
  watch->looked = true;
  watch->looked_us = now_us;
  watch->backlog = false;
  long long total = host_socket_drops(watch->socket);
  if (total <= watch->said) {
    return;  // none since the last line, or the system does not count
  }
  char now[32];
  char all[32];
  format_count(now, sizeof now, total - watch->said);
  format_count(all, sizeof all, total);
  bool one = total - watch->said == 1;
  char queue[96] = "";
  long queue_bytes = platform_receive_queue_bytes(watch->socket);
  if (queue_bytes > 0) {
    char kib[32];
    format_count(kib, sizeof kib, queue_bytes / 1024);
    const char* limit = platform_receive_queue_limit(watch->socket);
    (void)std::snprintf(queue, sizeof queue, "; receive queue %s KiB%s%s", kib,
                        limit != nullptr ? ": raise " : "", limit != nullptr ? limit : "");
  }
  (void)std::fprintf(stderr, "%s: this host dropped %s datagram%s before %s read (%s in all%s)\n",
                     program, now, one ? "" : "s", one ? "it was" : "they were", all, queue);
  watch->said = total;
}

}  // namespace

void drop_watch_start(drop_watch* watch, ssm_socket socket) {
  *watch = drop_watch{};
  watch->socket = socket;
}

void watch_host_drops(const char* program, drop_watch* watch, std::int64_t now_us) {
  watch->receives = 0;
  if (watch->looked && now_us - watch->looked_us < drop_look_every_us) {
    return;
  }
  look_at_drops(program, watch, now_us);
}

void watch_host_drops_after(const char* program, drop_watch* watch, int receives) {
  watch->receives += receives;
  if (watch->receives >= drop_look_receives) {
    watch_host_drops(program, watch, platform_monotonic_us());
  }
}

void watch_host_drops_at_end(const char* program, drop_watch* watch) {
  look_at_drops(program, watch, platform_monotonic_us());
}

void note_receive_backlog(drop_watch* watch) {
  watch->backlog = true;
}

int drop_look_wait_ms(const drop_watch* watch, std::int64_t now_us) {
  if (!watch->backlog) {
    return receive_wait_forever;
  }
  std::int64_t left_us = watch->looked_us + drop_look_every_us - now_us;
  if (!watch->looked || left_us <= 0) {
    return receive_no_wait;
  }
  return static_cast<int>((left_us + 999) / 1000);
}
