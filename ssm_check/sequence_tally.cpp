#include "sequence_tally.h"

#include <cstring>

namespace {

int slot_of(std::int64_t number) {
  return static_cast<int>(((number % tally_window) + tally_window) % tally_window);
}

bool seen(const sequence_tally* tally, std::int64_t number) {
  int slot = slot_of(number);
  return (tally->seen[slot / 8] & (1U << (slot % 8))) != 0;
}

void mark(sequence_tally* tally, std::int64_t number, bool on) {
  int slot = slot_of(number);
  auto bit = static_cast<unsigned char>(1U << (slot % 8));
  if (on) {
    tally->seen[slot / 8] = static_cast<unsigned char>(tally->seen[slot / 8] | bit);
  } else {
    tally->seen[slot / 8] = static_cast<unsigned char>(tally->seen[slot / 8] & ~bit);
  }
}

std::uint32_t value_of(std::int64_t number) {
  return static_cast<std::uint32_t>(number);
}

// Adds a range to a list of ranges in stream order, joining it to the last
// one where they touch. *latest is the last range of all, kept or not.
void add_range(sequence_range* kept, int* kept_count, int most, std::int64_t* total,
               sequence_range* latest, sequence_range range) {
  if (*total > 0 && value_of(static_cast<std::int64_t>(latest->last) + 1) == range.first) {
    latest->last = range.last;
    if (*total <= most) {
      kept[*total - 1].last = range.last;
    }
    return;
  }
  ++*total;
  *latest = range;
  if (*kept_count < most) {
    kept[(*kept_count)++] = range;
  }
}

// Numbers first to last (unwrapped) are missing for good.
void missing_for_good(sequence_tally* tally, std::int64_t first, std::int64_t last) {
  tally->missing_gone += last - first + 1;
  add_range(tally->ranges, &tally->ranges_kept, tally_ranges_kept, &tally->ranges_gone,
            &tally->latest_gone, sequence_range{value_of(first), value_of(last)});
}

std::int64_t window_low(const sequence_tally* tally) {
  std::int64_t low = tally->highest - tally_window + 1;
  return low > tally->run_first ? low : tally->run_first;
}

// Every number of the window not seen is missing for good: a new run starts.
void close_run(sequence_tally* tally) {
  for (std::int64_t n = window_low(tally); n <= tally->highest; ++n) {
    if (!seen(tally, n)) {
      missing_for_good(tally, n, n);
    }
  }
}

void start_run(sequence_tally* tally, std::uint32_t number) {
  std::memset(tally->seen, 0, sizeof tally->seen);
  tally->highest = number;
  tally->run_first = number;
  mark(tally, number, true);
}

// The highest number moves up to `number`: those that leave the window
// unseen are missing for good.
void advance(sequence_tally* tally, std::int64_t number) {
  std::int64_t gap = number - tally->highest;
  std::int64_t steps = gap < tally_window ? gap : tally_window;
  for (std::int64_t k = 1; k <= steps; ++k) {
    std::int64_t leaving = tally->highest + k - tally_window;
    if (leaving >= tally->run_first && !seen(tally, leaving)) {
      missing_for_good(tally, leaving, leaving);
    }
    mark(tally, leaving, false);
  }
  if (gap > tally_window) {
    missing_for_good(tally, tally->highest + 1, number - tally_window);
  }
  tally->highest = number;
  mark(tally, number, true);
}

}  // namespace

void tally_start(sequence_tally* tally) {
  std::memset(tally, 0, sizeof *tally);
}

void tally_number(sequence_tally* tally, std::uint32_t number) {
  ++tally->counted;
  if (!tally->started) {
    tally->started = true;
    tally->first = number;
    tally->last = number;
    start_run(tally, number);
    return;
  }
  std::uint32_t before = tally->last;
  tally->last = number;
  // The nearest reading of the 32-bit number: a stream may pass 2^31.
  auto delta = static_cast<std::int32_t>(number - value_of(tally->highest));
  std::int64_t unwrapped = tally->highest + delta;
  bool jump = delta > 0 ? delta > tally_jump_ahead
                        : -static_cast<std::int64_t>(delta) >= tally_window;
  if (jump) {
    close_run(tally);
    if (tally->jumps < tally_jumps_kept) {
      tally->jumps_kept[tally->jumps] = sequence_jump{before, number};
    }
    ++tally->jumps;
    start_run(tally, number);
    return;
  }
  if (delta > 0) {
    advance(tally, unwrapped);
    return;
  }
  if (unwrapped < tally->run_first) {
    // Earlier than the first of the run (joined mid-stream): the run reaches
    // back to it, and the numbers between are missing until they come.
    tally->run_first = unwrapped;
    ++tally->out_of_order;
    mark(tally, unwrapped, true);
  } else if (seen(tally, unwrapped)) {
    ++tally->duplicates;
  } else {
    ++tally->out_of_order;
    mark(tally, unwrapped, true);
  }
}

std::int64_t tally_missing(const sequence_tally* tally) {
  if (!tally->started) {
    return 0;
  }
  std::int64_t missing = tally->missing_gone;
  for (std::int64_t n = window_low(tally); n <= tally->highest; ++n) {
    if (!seen(tally, n)) {
      ++missing;
    }
  }
  return missing;
}

int tally_missing_ranges(const sequence_tally* tally, sequence_range* out, int most,
                         std::int64_t* total) {
  int written = 0;
  for (; written < most && written < tally->ranges_kept; ++written) {
    out[written] = tally->ranges[written];
  }
  *total = tally->ranges_gone;
  if (!tally->started) {
    return written;
  }
  sequence_range latest = tally->latest_gone;
  // The window's gaps come after every range that left it.
  std::int64_t n = window_low(tally);
  while (n <= tally->highest) {
    if (seen(tally, n)) {
      ++n;
      continue;
    }
    std::int64_t first = n;
    while (n + 1 <= tally->highest && !seen(tally, n + 1)) {
      ++n;
    }
    add_range(out, &written, most, total, &latest, sequence_range{value_of(first), value_of(n)});
    ++n;
  }
  return written;
}
