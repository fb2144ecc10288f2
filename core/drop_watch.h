// What this host's socket dropped before the datagrams were read (a full
// queue, a bad checksum), as a receive loop watches it: one line on standard
// error when the count grew, with the total since start.
#ifndef CORE_DROP_WATCH_H
#define CORE_DROP_WATCH_H

#include <cstdint>

#include "platform/socket.h"

// How many datagrams the socket dropped before they were read, since it was
// opened (a full queue, a bad checksum); -1 where the system does not say.
long long host_socket_drops(ssm_socket socket);

// The socket's drop count, as a receive loop watches it.
struct drop_watch {
  ssm_socket socket;
  long long said;          // the total the last line gave
  bool looked;             // whether the count was read yet
  std::int64_t looked_us;  // and when, last
  int receives;            // receives since the clock was last read for it
  bool backlog;            // the loop fell behind since the count was last read
};

// The count is read at most this often while a stream goes on.
const std::int64_t drop_look_every_us = 1000000;

// Starts watching the socket's drops; nothing is read yet.
void drop_watch_start(drop_watch* watch, ssm_socket socket);

// Reads the drop count if it was last read a second or more before now_us
// (the loop's steady clock, platform_monotonic_us), and when it grew says so
// in one line on standard error, with the total since start.
void watch_host_drops(const char* program, drop_watch* watch, std::int64_t now_us);

// Counts receives made while the queue was not found dry; every so many, it
// reads the clock and watches the drops: a receiver that never catches up
// hears of its drops too.
void watch_host_drops_after(const char* program, drop_watch* watch, int receives);

// Reads the drop count once more, whatever the time, and says if it grew:
// before the program ends, so that the last line gives the final total.
void watch_host_drops_at_end(const char* program, drop_watch* watch);

// Notes that the loop fell behind the stream (see pace_fell_behind): the
// queue may have overflowed since the count was last read.
void note_receive_backlog(drop_watch* watch);

// How long a loop that would block with no limit may wait before the count
// is due (watch_host_drops): receive_wait_forever unless a backlog was noted
// since it was last read; else what is left of the second since then, in
// milliseconds rounded up, so that the drops of a burst are said though no
// datagram follows it.
int drop_look_wait_ms(const drop_watch* watch, std::int64_t now_us);

#endif  // CORE_DROP_WATCH_H
