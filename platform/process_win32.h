// The stop state that process_win32.cpp keeps and the socket waits of
// socket_win32.cpp share: the console handler runs on a thread of its own,
// and may end the process only while the main thread waits with no line
// held. For the platform's Windows files only.
#ifndef PLATFORM_PROCESS_WIN32_H
#define PLATFORM_PROCESS_WIN32_H

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

#endif  // PLATFORM_PROCESS_WIN32_H
