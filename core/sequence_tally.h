// The tally of a stream's sequence numbers: which are missing, which came
// twice or late, and where the sender started anew. Memory stays the same
// whatever numbers arrive: a window of the latest numbers, a few numbers held
// until what follows decides them, and the first few gaps and jumps.
#ifndef CORE_SEQUENCE_TALLY_H
#define CORE_SEQUENCE_TALLY_H

#include <cstdint>

// How many numbers behind the highest so far a datagram may come and still
// count as late or repeated in the window; a number further behind is held
// (see tally_restart_numbers).
const int tally_window = 1024;

// How far ahead of the highest so far a number may be and count the numbers
// between as missing; a number further ahead is held.
const std::int64_t tally_jump_ahead = 1000000;

// A number far from the current run (further behind than the window, or
// further ahead than tally_jump_ahead) is held, with the numbers near it that
// follow, until what follows decides: once this many numbers near each other
// (within the window) came, they are a new run, a jump (a restarted sender);
// when the current run goes on before that, each held number is a stray.
const int tally_restart_numbers = 8;

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

// The first ranges of a list of ranges in stream order, how many there are
// in all, and the last of them.
struct sequence_ranges {
  sequence_range kept[tally_ranges_kept];
  int kept_count;
  std::int64_t total;
  sequence_range latest;
};

// A run of numbers, unwrapped to 64 bits: its lowest and highest, and which
// of the last tally_window numbers up to the highest came.
struct sequence_run {
  std::int64_t low;
  std::int64_t high;
  unsigned char seen[tally_window / 8];  // number n's bit: n modulo the window
};

// The tally. Set up by tally_start; the fields are the tally's own.
// duplicates, out_of_order, jumps and missing_found never decrease (a
// monitor may export them as counters), and the numbers held (pending) are
// in none of them until what follows decides them: read them as ssm_check's
// report does through tally_settled.
struct sequence_tally {
  bool started;
  std::uint32_t first;        // the first number to arrive
  std::uint32_t last;         // the latest number to arrive
  sequence_run run;           // the current run
  std::int64_t counted;       // numbers tallied: every number checked
  std::int64_t duplicates;    // came before
  std::int64_t out_of_order;  // came after a higher one (late), or a stray
  std::int64_t jumps;
  sequence_jump jumps_kept[tally_jumps_kept];
  sequence_jump latest_jump;  // the last of them, kept or not
  std::int64_t missing_gone;     // missing numbers that left the window; a late one lowers it
  sequence_ranges gone;          // their ranges
  std::int64_t run_ranges_from;  // how many of them came before the current run
  std::int64_t expected_closed;  // the expected numbers of the runs before
  // Numbers found missing as the stream passed them (a higher one came
  // first); one that comes late afterwards does not lower it.
  std::int64_t missing_found;
  sequence_ranges found;       // the ranges found since the last take
  std::int64_t found_numbers;  // and how many numbers they hold
  // The numbers held: how many (0: none), the number before the first of
  // them, that first one, those of them that came after a higher one of
  // them, and the run they would start.
  int pending;
  std::uint32_t pending_before;
  std::uint32_t pending_first;
  std::int64_t pending_late;
  sequence_run pending_run;
};

// Starts an empty tally.
void tally_start(sequence_tally* tally);

// Counts one datagram's sequence number. When the current run goes on while
// numbers are held, each held number is a stray: far ahead, it moves nothing
// and counts out of order; far behind, it is late (out of order) and no
// longer missing when one of the kept ranges holds it, repeated when every
// range is kept and none holds it, and otherwise out of order while its
// number stays counted missing (beyond the first tally_ranges_kept ranges
// the tally cannot tell late from repeated).
void tally_number(sequence_tally* tally, std::uint32_t number);

// Copies the tally into *out as it reads should the stream end here: the
// numbers still held are strays (see tally_number). The readers below read
// the tally so themselves; read duplicates and out_of_order from the copy.
void tally_settled(const sequence_tally* tally, sequence_tally* out);

// How many numbers are missing now: in each run, those between its lowest
// and its highest that never came (a late one lowers it).
std::int64_t tally_missing(const sequence_tally* tally);

// How many numbers were expected: the highest less the lowest plus one of
// each run, summed over the runs.
std::int64_t tally_expected(const sequence_tally* tally);

// The first `most` ranges of missing numbers (most at most
// tally_ranges_kept), in the order the stream passed them, into out. Returns
// how many it wrote; *total is how many ranges there are in all.
int tally_missing_ranges(const sequence_tally* tally, sequence_range* out, int most,
                         std::int64_t* total);

// Takes the ranges found missing (as tally->missing_found counts them) since
// the last take: the first `most` (at most tally_ranges_kept) into out,
// *numbers how many numbers they all hold and *ranges how many ranges there
// are in all. Returns how many ranges it wrote.
int tally_take_new_missing(sequence_tally* tally, sequence_range* out, int most,
                           std::int64_t* numbers, std::int64_t* ranges);

#endif  // CORE_SEQUENCE_TALLY_H
