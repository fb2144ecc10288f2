// Ranges of sequence numbers as the reports write them.
#ifndef CORE_SEQUENCE_TEXT_H
#define CORE_SEQUENCE_TEXT_H

#include <cstddef>
#include <cstdint>

#include "core/sequence_tally.h"

// Writes count ranges, numbers signed as the receivers print them, into out
// (room bytes, cut to fit): "17, 40-41, -2 to 1", a range with a negative end
// always with " to "; ", ... (N ranges in all)" after them when total is
// more than count; "none" when count is 0.
void write_ranges(const sequence_range* ranges, int count, std::int64_t total, char* out,
                  std::size_t room);

#endif  // CORE_SEQUENCE_TEXT_H
