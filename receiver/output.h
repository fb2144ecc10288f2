// Report lines on their way to standard output. Lines are gathered here and
// written out in one go; the loops decide when (see wait_for_datagram).
#ifndef RECEIVER_OUTPUT_H
#define RECEIVER_OUTPUT_H

#include <cstddef>

// How long the socket must stay idle before held lines are written out, in
// milliseconds, while the stream is fast: short enough that a line reaches
// its file at once to a person, long enough that a fast stream is written in
// large blocks.
const int output_linger_ms = 1;

// Adds text to the output, writing out what is held first when it would not
// fit. Returns 0, or -1 when standard output cannot be written.
int append_output(const char* text, std::size_t size);

// Whether lines are held that standard output has not been given yet.
bool output_pending();

// Writes out every line held. Returns 0, or -1 when standard output cannot be
// written (reason in platform_output_error_text()).
int flush_output();

#endif  // RECEIVER_OUTPUT_H
