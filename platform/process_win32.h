// What process_win32.cpp keeps for the platform's other Windows files: the
// stop state the socket waits of socket_win32.cpp share (the console handler
// runs on a thread of its own, and may end the process only while the main
// thread waits with no line held), and the words of a system error. For the
// platform's Windows files only.
#ifndef PLATFORM_PROCESS_WIN32_H
#define PLATFORM_PROCESS_WIN32_H

#include <cstddef>

// Whether a stop request was noted.
bool stop_noted();

// Whether every stop request is only noted, for the program to see
// (platform_catch_stops' always_noted): a wait then looks for one between
// slices.
bool stops_only_noted();

// Lets the console handler end the process, for a wait made while no line
// is held.
void let_stop_in();

// Keeps the console handler from ending the process again, once the wait is
// over.
void keep_stop_out();

// Writes the system's words for a Windows or Winsock error code into out
// (room bytes) as one line. Returns false, out empty, where it has none.
bool system_error_words(unsigned long code, char* out, std::size_t room);

#endif  // PLATFORM_PROCESS_WIN32_H
