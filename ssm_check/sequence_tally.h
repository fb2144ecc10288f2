// The tally of a stream's sequence numbers: which are missing, which came
// twice or late, and where the sender started anew. Memory stays the same
// whatever numbers arrive: a window of the latest numbers, and the first few
// gaps and jumps.
#ifndef SSM_CHECK_SEQUENCE_TALLY_H
#define SSM_CHECK_SEQUENCE_TALLY_H

#include <cstdint>

// How many numbers behind the highest so far a datagram may come and still
// count as late or repeated; further behind, it starts a new run (a jump).
const int tally_window = 1024;

// How far ahead of the highest so far a number may be and count the numbers
// between as missing; further ahead, it starts a new run (a jump).
const std::int64_t tally_jump_ahead = 1000000;

// How many ranges of missing numbers, and how many jumps, are kept to be named.
const int tally_ranges_kept = 8;
const int tally_jumps_kept = 4;

// Numbers first to last, both in, as 32-bit values (print them as signed,
// as the receivers do).
struct sequence_range {
  std::uint32_t first;
  std::uint32_t last;
};

// One jump: the number before it, and the one that started the new run.
struct sequence_jump {
  std::uint32_t from;
  std::uint32_t to;
};

// The tally. Set up by tally_start; the fields are the tally's own.
struct sequence_tally {
  bool started;
  std::uint32_t first;        // the first number to arrive
  std::uint32_t last;         // the latest number to arrive
  std::int64_t highest;       // the highest of the current run, unwrapped
  std::int64_t run_first;     // the lowest of the current run, unwrapped
  unsigned char seen[tally_window / 8];  // number n's bit: n modulo the window
  std::int64_t counted;       // numbers tallied
  std::int64_t missing_gone;  // numbers missing that left the window
  std::int64_t duplicates;
  std::int64_t out_of_order;  // came after a higher one, and not twice
  std::int64_t jumps;
  sequence_jump jumps_kept[tally_jumps_kept];
  sequence_range ranges[tally_ranges_kept];  // the first ranges missing_gone holds
  int ranges_kept;
  std::int64_t ranges_gone;  // how many ranges missing_gone makes in all
  sequence_range latest_gone;  // the last of them, kept or not
};

// Starts an empty tally.
void tally_start(sequence_tally* tally);

// Counts one datagram's sequence number.
void tally_number(sequence_tally* tally, std::uint32_t number);

// How many numbers are missing: in each run, those between its lowest and
// its highest that never came.
std::int64_t tally_missing(const sequence_tally* tally);

// The first `most` ranges of missing numbers (most at most
// tally_ranges_kept), in the order the stream passed them, into out. Returns
// how many it wrote; *total is how many ranges there are in all.
int tally_missing_ranges(const sequence_tally* tally, sequence_range* out, int most,
                         std::int64_t* total);

#endif  // SSM_CHECK_SEQUENCE_TALLY_H
