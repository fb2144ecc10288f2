// ssm_watch's loop, apart from main so that the unit tests can run it over a
// scripted platform.
#ifndef SSM_WATCH_WATCH_LOOP_H
#define SSM_WATCH_WATCH_LOOP_H

#include "core/ssm_receiver.h"

// The longest wait: the membership is asked for again after every second in
// which nothing arrived.
const int watch_wait_ms = 1000;

// Reports every datagram that reaches the receiver's socket, one per wait
// that finds it readable, and renews the membership after each silent
// second (renew_ssm_membership), until a stop request, an output failure or
// a wait that fails for another reason than a signal. group_text and
// source_text are the operands, as given, for the notice that the channel is
// joined. Returns the exit status: after an output failure's message, or
// (only where the platform does not end the process) after a stop.
int watch_loop(ssm_receiver* receiver, unsigned char* report_buffer, const char* program,
               const char* group_text, const char* source_text);

#endif  // SSM_WATCH_WATCH_LOOP_H
