// ssm_listen's loop, apart from main so that the unit tests can run it over a
// scripted platform.
#ifndef SSM_LISTEN_LISTEN_LOOP_H
#define SSM_LISTEN_LISTEN_LOOP_H

#include "core/ssm_receiver.h"

// Reports every datagram that reaches the receiver's socket, taking what is
// queued in batches and pausing a fast stream (see pace.h), until a stop
// request or an output failure. Returns the exit status: after an output
// failure's message, or (only where the platform does not end the process)
// after a stop.
int listen_loop(const ssm_receiver& receiver, report_batch* batch, const char* program);

#endif  // SSM_LISTEN_LISTEN_LOOP_H
