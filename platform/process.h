// The process: stop requests, the steady clock, standard output, and what
// the system says of the process. One file per system (process_posix.cpp,
// process_win32.cpp).
#ifndef PLATFORM_PROCESS_H
#define PLATFORM_PROCESS_H

#include <cstddef>
#include <cstdint>

#include "platform/socket.h"

// Stop requests: SIGINT, SIGTERM and SIGHUP (POSIX); Ctrl-C, Ctrl-Break and
// the console closing (Windows). The receivers write out the lines they hold
// before they end. A wait with a time (not receive_no_wait), in
// platform_wait_readable or platform_receive, is made only while no line is
// held: a stop may end the process there at once.

// From now on a stop request is noted instead of ending the process, and
// the receive, wait or pause in progress on socket returns at once, as does
// any receive or wait on it begun after the request (POSIX: its receiving
// side is shut), so a request that lands just before a blocking call is not
// lost. Where a program waits with no line held, Windows may end it then;
// always_noted (a program with a report to give at the end) keeps every
// request for the program to see. A signal that was ignored at start stays
// ignored. A second request ends the process at once.
void platform_catch_stops(ssm_socket socket, bool always_noted);

// The stop request noted (a signal number, or the console event plus one),
// or 0 while none came.
int platform_stop_requested();

// Ends the process as the stop request would have ended it: the signal again,
// at its default action (a shell sees 128 plus its number); on Windows the
// status of a console program ended by Ctrl-C. Returns only where the
// process cannot be ended so (a test's fake platform).
void platform_end_stopped(int stop);

// A steady clock in microseconds, for telling a fast stream from a slow one.
std::int64_t platform_monotonic_us();

// Writes all of data to standard output, waiting for room where it was made
// non-blocking. Returns 0, or -1 with the reason in
// platform_output_error_text(). A closed pipe keeps the platform's default.
int platform_write_output(const char* data, std::size_t size);

// Makes standard output and standard error carry bytes as written (no
// line-end translation).
void platform_prepare_output();

// Makes sure that the standard streams are open before any socket is, so
// that none takes the place of one: a closed standard input or standard
// error is opened on the null device. Returns -1 when standard output is
// closed (the program has nowhere to write its lines), else 0.
int platform_open_standard_streams();

// The reason for the last failed write to standard output.
const char* platform_output_error_text();

// Raises the limit of open files to `wanted` where the hard limit allows.
// Returns 0, or -1 with the hard limit in *most (-1 where the system keeps
// none that matters).
int platform_raise_open_files(long wanted, long* most);

// The time of day, UTC: milliseconds since 1970-01-01T00:00:00Z.
std::int64_t platform_wall_clock_ms();

// From now on a reload request (SIGHUP) is noted instead of ending the
// process, where the system has one; call after platform_catch_stops.
void platform_catch_reloads();

// Whether a reload request came since the last call.
bool platform_reload_requested();

// What the system says cheaply of this process, for its metrics. A figure it
// cannot say is negative.
struct process_figures {
  double start_unix_s;    // when it started: seconds since 1970, UTC
  double cpu_s;           // user and system CPU time so far
  double resident_bytes;  // memory resident now
  double virtual_bytes;   // virtual memory (Windows: committed privately)
  double open_files;      // descriptors open (Windows: handles)
  double most_files;      // the limit of open descriptors
};

// The figures of a system that says none of them.
const process_figures no_process_figures = {-1, -1, -1, -1, -1, -1};

// Fills *figures as the system says them now (one file per system:
// process_figures_linux.cpp reads /proc, process_win32.cpp asks Windows,
// process_figures_none.cpp says none).
void platform_process_figures(process_figures* figures);

#endif  // PLATFORM_PROCESS_H
