// Report lines on their way to standard output. Lines are gathered here and
// written out in one go; the loops decide when (see pace.h).
#ifndef CORE_OUTPUT_H
#define CORE_OUTPUT_H

#include <cstddef>

// Adds text to the output, writing out what is held first when it would not
// fit. Returns 0, or -1 when standard output cannot be written.
int append_output(const char* text, std::size_t size);

// Whether lines are held that standard output has not been given yet.
bool output_pending();

// Writes out every line held. Returns 0, or -1 when standard output cannot be
// written (reason in platform_output_error_text()).
int flush_output();

#endif  // CORE_OUTPUT_H
