// Many sockets waited on together: a monitor's channels. One file per
// system, chosen by CMake: readiness_epoll_linux.cpp where the system has
// epoll, readiness_poll.cpp on other POSIX systems, readiness_win32.cpp
// (WSAPoll).
#ifndef PLATFORM_READINESS_H
#define PLATFORM_READINESS_H

#include <cstdint>

#include "platform/socket.h"

// A set of sockets waited on together, each known by a tag.
struct readiness_set;

// What a wait found of one socket.
struct readiness_event {
  std::uint32_t tag;
  bool readable;  // or closed, or an error is pending
  bool writable;
};

// Opens a set for at most `most` sockets. Returns nullptr with the reason in
// platform_socket_error_text().
readiness_set* platform_open_readiness(int most);

// Watches the socket (or changes what is watched of it): for reading, and
// for writing too where writable. Returns 0 or -1.
int platform_watch_socket(readiness_set* set, ssm_socket socket, std::uint32_t tag,
                          bool writable);

// Watches the socket (or changes what is watched of it) for writing only:
// what it receives meanwhile waits, and wakes no wait. Returns 0 or -1.
int platform_watch_socket_writing(readiness_set* set, ssm_socket socket, std::uint32_t tag);

// Stops watching the socket; call before closing it.
void platform_unwatch_socket(readiness_set* set, ssm_socket socket);

// Waits at most wait_ms milliseconds (0 only looks) until watched sockets are
// ready, and writes at most `most` of them into events. A program whose stops
// are always noted (platform_catch_stops) sees a stop within about 100 ms
// where the system cannot cut the wait short. Returns how many, 0 when the
// time ran out, wait_cut_short, or -1 on failure.
int platform_wait_ready(readiness_set* set, readiness_event* events, int most, int wait_ms);

#endif  // PLATFORM_READINESS_H
