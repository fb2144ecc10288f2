#include "core/sequence_tally.h"

#include <cstring>

namespace {

int slot_of(std::int64_t number) {
  return static_cast<int>(((number % tally_window) + tally_window) % tally_window);
}

bool seen(const sequence_run* run, std::int64_t number) {
  int slot = slot_of(number);
  return (run->seen[slot / 8] & (1U << (slot % 8))) != 0;
}

void mark(sequence_run* run, std::int64_t number, bool on) {
  int slot = slot_of(number);
  auto bit = static_cast<unsigned char>(1U << (slot % 8));
  if (on) {
    run->seen[slot / 8] = static_cast<unsigned char>(run->seen[slot / 8] | bit);
  } else {
    run->seen[slot / 8] = static_cast<unsigned char>(run->seen[slot / 8] & ~bit);
  }
}

std::uint32_t value_of(std::int64_t number) {
  return static_cast<std::uint32_t>(number);
}

// The reading of a 32-bit number nearest to `near`: a stream may pass 2^31.
std::int64_t nearest(std::int64_t near, std::uint32_t number) {
  return near + static_cast<std::int32_t>(number - value_of(near));
}

std::int64_t distance(std::int64_t a, std::int64_t b) {
  return a > b ? a - b : b - a;
}

void start_run(sequence_run* run, std::int64_t number) {
  std::memset(run->seen, 0, sizeof run->seen);
  run->low = number;
  run->high = number;
  mark(run, number, true);
}

std::int64_t window_low(const sequence_run* run) {
  std::int64_t low = run->high - tally_window + 1;
  return low > run->low ? low : run->low;
}

// Adds a range to a list in stream order, joining it to the last one where
// they touch, unless that one is among the first join_from (an earlier run's).
void add_range(sequence_ranges* list, std::int64_t join_from, sequence_range range) {
  if (list->total > join_from && list->latest.last + 1U == range.first) {
    list->latest.last = range.last;
    if (list->total <= list->kept_count) {
      list->kept[list->total - 1].last = range.last;
    }
    return;
  }
  // Kept only while every range before it is: the kept ones are the first.
  if (list->kept_count == list->total && list->kept_count < tally_ranges_kept) {
    list->kept[list->kept_count++] = range;
  }
  ++list->total;
  list->latest = range;
}

// Takes number out of the kept range that holds it, from the range
// numbered `from` on, shrinking or splitting it. Returns whether one held it.
bool take_out(sequence_ranges* list, std::int64_t from, std::uint32_t number) {
  for (std::int64_t i = from; i < list->kept_count; ++i) {
    sequence_range range = list->kept[i];
    if (number - range.first > range.last - range.first) {
      continue;
    }
    sequence_range after[tally_ranges_kept + 1] = {};
    int count = 0;
    for (std::int64_t k = 0; k < i; ++k) {
      after[count++] = list->kept[k];
    }
    if (number != range.first) {
      after[count++] = sequence_range{range.first, number - 1};
    }
    if (number != range.last) {
      after[count++] = sequence_range{number + 1, range.last};
    }
    for (std::int64_t k = i + 1; k < list->kept_count; ++k) {
      after[count++] = list->kept[k];
    }
    bool all_kept = list->kept_count == list->total;
    list->total += count - list->kept_count;
    if (all_kept && list->total > 0) {
      list->latest = after[list->total - 1];
    }
    list->kept_count = count < tally_ranges_kept ? count : tally_ranges_kept;
    std::memcpy(list->kept, after, sizeof list->kept);
    return true;
  }
  return false;
}

// The numbers from..to (within the run's window) that the run has not seen,
// added to *list as ranges (null: only counted). Returns how many.
std::int64_t gaps(const sequence_run* run, std::int64_t from, std::int64_t to,
                  sequence_ranges* list, std::int64_t join_from) {
  std::int64_t count = 0;
  for (std::int64_t n = from; n <= to; ++n) {
    if (seen(run, n)) {
      continue;
    }
    std::int64_t first = n;
    while (n + 1 <= to && !seen(run, n + 1)) {
      ++n;
    }
    count += n - first + 1;
    if (list != nullptr) {
      add_range(list, join_from, sequence_range{value_of(first), value_of(n)});
    }
  }
  return count;
}

void found_missing(sequence_tally* tally, std::int64_t count) {
  tally->missing_found += count;
  tally->found_numbers += count;
}

// The highest moves up to n: the numbers it passes are found missing, and
// those that leave the window unseen are missing for good.
void advance(sequence_tally* tally, std::int64_t n) {
  sequence_run* run = &tally->run;
  if (n - run->high > 1) {
    found_missing(tally, n - run->high - 1);
    add_range(&tally->found, 0, sequence_range{value_of(run->high + 1), value_of(n - 1)});
  }
  std::int64_t new_low = n - tally_window + 1;
  std::int64_t leaving = new_low - 1 < run->high ? new_low - 1 : run->high;
  tally->missing_gone += gaps(run, window_low(run), leaving, &tally->gone, tally->run_ranges_from);
  if (new_low - 1 > run->high) {
    // Passed and out of the window at once.
    tally->missing_gone += new_low - 1 - run->high;
    add_range(&tally->gone, tally->run_ranges_from,
              sequence_range{value_of(run->high + 1), value_of(new_low - 1)});
  }
  for (std::int64_t k = run->high + 1 > new_low ? run->high + 1 : new_low; k <= n; ++k) {
    mark(run, k, false);
  }
  run->high = n;
  mark(run, n, true);
}

// Counts n, within the window below the current run's highest or ahead of it.
void tally_in_run(sequence_tally* tally, std::int64_t n) {
  sequence_run* run = &tally->run;
  if (n > run->high) {
    advance(tally, n);
  } else if (n < run->low) {
    // Earlier than the first of the run (joined mid-stream): the run reaches
    // back to it, and the numbers between are missing until they come.
    ++tally->out_of_order;
    if (n + 1 < run->low) {
      found_missing(tally, run->low - n - 1);
      add_range(&tally->found, 0, sequence_range{value_of(n + 1), value_of(run->low - 1)});
    }
    run->low = n;
    mark(run, n, true);
  } else if (seen(run, n)) {
    ++tally->duplicates;
  } else {
    ++tally->out_of_order;
    mark(run, n, true);
  }
}

// A held number that the current run outlived (see tally_number).
void stray(sequence_tally* tally, std::uint32_t number) {
  std::int64_t n = nearest(tally->run.high, number);
  bool in_run = n >= tally->run.low && n <= tally->run.high;
  if (in_run && n >= window_low(&tally->run)) {
    tally_in_run(tally, n);
  } else if (in_run && take_out(&tally->gone, tally->run_ranges_from, number)) {
    --tally->missing_gone;
    ++tally->out_of_order;
  } else if (in_run && tally->gone.kept_count == tally->gone.total) {
    ++tally->duplicates;  // every gap of the run is known, and none holds it
  } else {
    ++tally->out_of_order;
  }
}

void settle_as_strays(sequence_tally* tally) {
  const sequence_run* held = &tally->pending_run;
  for (std::int64_t n = held->low; n <= held->high; ++n) {
    if (seen(held, n)) {
      stray(tally, value_of(n));
    }
  }
  tally->pending = 0;
}

// The numbers held are a new run: the current one closes.
void restart(sequence_tally* tally) {
  sequence_run* run = &tally->run;
  tally->missing_gone +=
      gaps(run, window_low(run), run->high, &tally->gone, tally->run_ranges_from);
  tally->expected_closed += run->high - run->low + 1;
  tally->latest_jump = sequence_jump{tally->pending_before, tally->pending_first};
  if (tally->jumps < tally_jumps_kept) {
    tally->jumps_kept[tally->jumps] = tally->latest_jump;
  }
  ++tally->jumps;
  tally->run_ranges_from = tally->gone.total;
  *run = tally->pending_run;
  tally->out_of_order += tally->pending_late;
  found_missing(tally, gaps(run, run->low, run->high, &tally->found, 0));
  tally->pending = 0;
}

void hold(sequence_tally* tally, std::uint32_t number, std::uint32_t before) {
  tally->pending = 1;
  tally->pending_before = before;
  tally->pending_first = number;
  tally->pending_late = 0;
  start_run(&tally->pending_run, number);
}

// Whether number goes on from the numbers held: all of them and it within
// the window, and it nearer to them than to the current run's highest.
bool goes_on_from_held(const sequence_tally* tally, std::uint32_t number) {
  const sequence_run* held = &tally->pending_run;
  std::int64_t n = nearest(held->high, number);
  std::int64_t low = n < held->low ? n : held->low;
  std::int64_t high = n > held->high ? n : held->high;
  if (high - low >= tally_window) {
    return false;
  }
  std::int64_t to_held = n < held->low ? held->low - n : n > held->high ? n - held->high : 0;
  return to_held < distance(nearest(tally->run.high, number), tally->run.high);
}

void add_held(sequence_tally* tally, std::uint32_t number) {
  sequence_run* held = &tally->pending_run;
  std::int64_t n = nearest(held->high, number);
  if (n >= held->low && n <= held->high && seen(held, n)) {
    ++tally->duplicates;
    return;
  }
  if (n < held->high) {
    ++tally->pending_late;
  }
  held->low = n < held->low ? n : held->low;
  held->high = n > held->high ? n : held->high;
  mark(held, n, true);
  ++tally->pending;
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
    start_run(&tally->run, number);
    return;
  }
  std::uint32_t before = tally->last;
  tally->last = number;
  if (tally->pending > 0) {
    if (goes_on_from_held(tally, number)) {
      add_held(tally, number);
      if (tally->pending >= tally_restart_numbers) {
        restart(tally);
      }
      return;
    }
    settle_as_strays(tally);
  }
  std::int64_t n = nearest(tally->run.high, number);
  if (n - tally->run.high > tally_jump_ahead || tally->run.high - n >= tally_window) {
    hold(tally, number, before);
    return;
  }
  tally_in_run(tally, n);
}

void tally_settled(const sequence_tally* tally, sequence_tally* out) {
  *out = *tally;
  if (out->pending > 0) {
    settle_as_strays(out);
  }
}

std::int64_t tally_missing(const sequence_tally* tally) {
  if (!tally->started) {
    return 0;
  }
  sequence_tally now;
  tally_settled(tally, &now);
  return now.missing_gone + gaps(&now.run, window_low(&now.run), now.run.high, nullptr, 0);
}

std::int64_t tally_expected(const sequence_tally* tally) {
  // Strays widen no run, so the numbers held change nothing here.
  if (!tally->started) {
    return 0;
  }
  return tally->expected_closed + tally->run.high - tally->run.low + 1;
}

int tally_missing_ranges(const sequence_tally* tally, sequence_range* out, int most,
                         std::int64_t* total) {
  sequence_tally now;
  tally_settled(tally, &now);
  sequence_ranges all = now.gone;
  // The window's gaps come after every range that left it.
  if (now.started) {
    (void)gaps(&now.run, window_low(&now.run), now.run.high, &all, now.run_ranges_from);
  }
  int written = 0;
  for (; written < most && written < all.kept_count; ++written) {
    out[written] = all.kept[written];
  }
  *total = all.total;
  return written;
}

int tally_take_new_missing(sequence_tally* tally, sequence_range* out, int most,
                           std::int64_t* numbers, std::int64_t* ranges) {
  int written = 0;
  for (; written < most && written < tally->found.kept_count; ++written) {
    out[written] = tally->found.kept[written];
  }
  *numbers = tally->found_numbers;
  *ranges = tally->found.total;
  std::memset(&tally->found, 0, sizeof tally->found);
  tally->found_numbers = 0;
  return written;
}
