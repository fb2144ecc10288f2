// ssm_monitor's events, one line each on standard output: readable text by
// default, JSON Lines with -j. Every line starts with the time (UTC, RFC
// 3339 with milliseconds) and the channel.
#ifndef SSM_MONITOR_MONITOR_EVENTS_H
#define SSM_MONITOR_MONITOR_EVENTS_H

#include <cstddef>
#include <cstdint>

// What happened to a channel.
enum monitor_event_kind {
  event_joined,        // a membership request accepted, at start or after refused ones
  event_refused,       // refused: once per run of refusals
  event_up,            // the first datagram, and the first after a silence
  event_silent,        // no datagram for -s seconds, and why
  event_missing,       // sequence numbers found missing in the last second
  event_jump,          // the sender started anew elsewhere
  event_host_dropped,  // the channel's socket dropped datagrams
  event_left           // removed by a reload
};

// The event and what it carries (only the fields of its kind are read).
struct monitor_event {
  monitor_event_kind kind;
  const char* reason;         // refused, silent: the words
  double after_s;             // up: seconds since the join, or since the silence began
  long long for_s;            // silent: how long
  const char* cause;          // silent: its name (verdict_cause_name)
  long long link_datagrams;   // silent: what the link saw; -1 when not checked
  long long count;            // missing: numbers; host_dropped: datagrams since the last
  const char* numbers;        // missing: the ranges, as ssm_check writes them
  std::int32_t from;          // jump
  std::int32_t to;
  long long total;            // host_dropped: since the start
};

// Who it happened to.
struct event_channel {
  const char* group;      // the addresses' text
  const char* source;
  unsigned port;
  const char* interface;  // the membership's interface; "" when unknown
  const char* name;       // "" when unnamed
};

// Room for the time's text: "2026-12-08T15:04:05.123Z" and its NUL.
const std::size_t utc_text_room = 25;

// Writes the moment (milliseconds since 1970, UTC) as RFC 3339 with
// milliseconds and "Z" into out (utc_text_room bytes).
void format_utc(char* out, std::int64_t unix_ms);

// Writes text into out (room bytes) as the inside of a JSON string: quotes,
// backslashes and control characters escaped, bytes that are not UTF-8 as
// U+FFFD. Returns its length.
std::size_t json_escape(char* out, std::size_t room, const char* text);

// Adds the event's line to the output (see output.h). Returns 0, or -1 when
// standard output cannot be written.
int write_event(const event_channel* channel, const monitor_event* event, bool json,
                std::int64_t unix_ms);

#endif  // SSM_MONITOR_MONITOR_EVENTS_H
