// ssm_check's tally of sequence numbers.
#include "core/sequence_tally.h"
#include "core/sequence_text.h"

#include <gtest/gtest.h>

#include <cstdint>
#include <random>
#include <set>
#include <string>
#include <vector>

namespace {

sequence_tally tally_of(const std::vector<std::int64_t>& numbers) {
  sequence_tally tally;
  tally_start(&tally);
  for (std::int64_t n : numbers) {
    tally_number(&tally, static_cast<std::uint32_t>(n));
  }
  return tally;
}

// The missing ranges as "a-b c" (signed, as the report prints them), then
// "/total".
std::string ranges_of(const sequence_tally& tally, int most = tally_ranges_kept) {
  sequence_range ranges[tally_ranges_kept];
  std::int64_t total = 0;
  int count = tally_missing_ranges(&tally, ranges, most, &total);
  std::string text;
  for (int i = 0; i < count; ++i) {
    text += i > 0 ? " " : "";
    text += std::to_string(static_cast<std::int32_t>(ranges[i].first));
    if (ranges[i].last != ranges[i].first) {
      text += "-" + std::to_string(static_cast<std::int32_t>(ranges[i].last));
    }
  }
  return text + "/" + std::to_string(total);
}

TEST(SequenceTally, CompleteRunHasNothingMissing) {
  sequence_tally tally = tally_of({5, 6, 7, 8});
  EXPECT_EQ(tally_missing(&tally), 0);
  EXPECT_EQ(ranges_of(tally), "/0");
  EXPECT_EQ(tally.first, 5U);
  EXPECT_EQ(tally.last, 8U);
  EXPECT_EQ(tally.duplicates + tally.out_of_order + tally.jumps, 0);
}

TEST(SequenceTally, GapsAreNamedInOrder) {
  sequence_tally tally = tally_of({1, 2, 4, 7, 8, 12});
  EXPECT_EQ(tally_missing(&tally), 6);
  EXPECT_EQ(ranges_of(tally), "3 5-6 9-11/3");
  EXPECT_EQ(ranges_of(tally, 2), "3 5-6/3");
}

TEST(SequenceTally, LateNumbersFillTheirGapRepeatsDoNot) {
  sequence_tally tally = tally_of({1, 3, 2, 3, 5, 4, 4, 1});
  EXPECT_EQ(tally_missing(&tally), 0);
  EXPECT_EQ(tally.out_of_order, 2);
  EXPECT_EQ(tally.duplicates, 3);
}

TEST(SequenceTally, AnEarlierNumberThanTheFirstExtendsTheRun) {
  // Joined mid-stream: 10 came before 8, so 9 is missing until it comes.
  sequence_tally tally = tally_of({10, 11, 8});
  EXPECT_EQ(tally_missing(&tally), 1);
  EXPECT_EQ(ranges_of(tally), "9/1");
  EXPECT_EQ(tally.out_of_order, 1);
}

TEST(SequenceTally, GapsThatLeaveTheWindowStayMissingAndJoinTheirNeighbours) {
  // 3-2000 leave the window in pieces, then a gap wider than the window.
  sequence_tally tally = tally_of({1, 2, 2001, 2002, 100000, 100001});
  EXPECT_EQ(tally_missing(&tally), 1998 + 97997);
  EXPECT_EQ(ranges_of(tally), "3-2000 2003-99999/2");
  // A number that comes after its gap left the window is late: it fills it.
  tally_number(&tally, 5);
  tally_number(&tally, 100002);
  EXPECT_EQ(tally.jumps, 0);
  EXPECT_EQ(tally.out_of_order, 1);
  EXPECT_EQ(tally_missing(&tally), 1998 + 97997 - 1);
  EXPECT_EQ(ranges_of(tally), "3-4 6-2000 2003-99999/3");
}

// Numbers first, first + 1, ... appended to a stream.
void add_run(std::vector<std::int64_t>* stream, std::int64_t first, std::int64_t count) {
  for (std::int64_t n = first; n < first + count; ++n) {
    stream->push_back(n);
  }
}

TEST(SequenceTally, ARestartedSenderIsAJumpNotMillionsMissing) {
  // A run far ahead, then one far behind, each going on for as many numbers
  // as make a restart.
  std::vector<std::int64_t> stream = {1, 2, 3};
  add_run(&stream, 5000000, tally_restart_numbers);
  add_run(&stream, 4000, tally_restart_numbers);
  sequence_tally tally = tally_of(stream);
  EXPECT_EQ(tally_missing(&tally), 0);
  EXPECT_EQ(tally.jumps, 2);
  EXPECT_EQ(tally.jumps_kept[0].from, 3U);
  EXPECT_EQ(tally.jumps_kept[0].to, 5000000U);
  EXPECT_EQ(tally.jumps_kept[1].from, 5000000U + tally_restart_numbers - 1);
  EXPECT_EQ(tally.jumps_kept[1].to, 4000U);
  EXPECT_EQ(tally_expected(&tally), 3 + 2 * tally_restart_numbers);
  // Gaps in each run count; a run's open end at a jump is not a gap.
  stream = {1, 3, 9000000};
  add_run(&stream, 9000002, tally_restart_numbers);
  tally = tally_of(stream);
  EXPECT_EQ(ranges_of(tally), "2 9000001/2");
}

TEST(SequenceTally, NumbersPassTheTopOfThirtyTwoBits) {
  std::vector<std::int64_t> stream = {0x7ffffffe, 0x7fffffff, 0x80000001, 0xffffffff};
  add_run(&stream, 0, tally_restart_numbers);
  sequence_tally tally = tally_of(stream);
  EXPECT_EQ(tally.jumps, 1);  // 0x80000001 to 0xffffffff: far ahead
  tally = tally_of({0xfffffffe, 0xffffffff, 1});
  EXPECT_EQ(tally.jumps, 0);
  EXPECT_EQ(ranges_of(tally), "0/1");
}

TEST(SequenceTally, MemoryStaysBoundedWhateverArrives) {
  // Every run a jump from the last, with a gap: the kept lists stay at their
  // size.
  sequence_tally tally;
  tally_start(&tally);
  std::uint32_t n = 1;
  for (int i = 0; i < 20000; ++i) {
    tally_number(&tally, n);
    for (int k = 2; k <= tally_restart_numbers; ++k) {
      tally_number(&tally, n + static_cast<std::uint32_t>(k));
    }
    n = n * 2654435761U + 12345;
  }
  EXPECT_EQ(tally.counted, 20000 * tally_restart_numbers);
  EXPECT_GT(tally.jumps, 19000);
  EXPECT_GT(tally.gone.total, 19000);
  EXPECT_EQ(tally.gone.kept_count, tally_ranges_kept);
  EXPECT_EQ(ranges_of(tally).substr(ranges_of(tally).find('/')),
            "/" + std::to_string(tally.gone.total + 1));
}

// 1 to count, with each of `late` sent after `after` instead of in its place.
std::vector<std::int64_t> late_stream(std::int64_t count, std::int64_t after,
                                      const std::set<std::int64_t>& late) {
  std::vector<std::int64_t> stream;
  for (std::int64_t n = 1; n <= count; ++n) {
    if (late.count(n) == 0) {
      stream.push_back(n);
    }
    if (n == after) {
      stream.insert(stream.end(), late.begin(), late.end());
    }
  }
  return stream;
}

TEST(SequenceTally, AStrayLateNumberIsOutOfOrderNotAThousandMissing) {
  sequence_tally tally = tally_of(late_stream(2000, 1100, {5}));
  EXPECT_EQ(tally_missing(&tally), 0);
  EXPECT_EQ(ranges_of(tally), "/0");
  EXPECT_EQ((std::vector<std::int64_t>{tally.out_of_order, tally.jumps, tally.duplicates}),
            (std::vector<std::int64_t>{1, 0, 0}));
  EXPECT_EQ(tally_expected(&tally), 2000);
  // A few late together are no restart either.
  tally = tally_of(late_stream(2000, 1100, {5, 6, 7}));
  EXPECT_EQ((std::vector<std::int64_t>{tally_missing(&tally), tally.out_of_order, tally.jumps}),
            (std::vector<std::int64_t>{0, 3, 0}));
  // Sent twice, once in its place: a repeat.
  std::vector<std::int64_t> stream = late_stream(2000, 1100, {});
  stream.insert(stream.begin() + 1100, 5);
  tally = tally_of(stream);
  EXPECT_EQ((std::vector<std::int64_t>{tally_missing(&tally), tally.out_of_order,
                                       tally.duplicates}),
            (std::vector<std::int64_t>{0, 0, 1}));
}

TEST(SequenceTally, AStrayLateNumberBeyondTheKeptRangesStaysMissing) {
  // 10, 20, ... 100 missing: ten ranges, 100 beyond the eight kept. Sent
  // late, the tally cannot tell it from a repeat.
  std::vector<std::int64_t> stream;
  for (std::int64_t n = 1; n <= 3000; ++n) {
    if (n % 10 != 0 || n > 100) {
      stream.push_back(n);
    }
  }
  stream.push_back(100);
  stream.push_back(3001);
  sequence_tally tally = tally_of(stream);
  EXPECT_EQ((std::vector<std::int64_t>{tally_missing(&tally), tally.out_of_order, tally.jumps,
                                       tally.duplicates}),
            (std::vector<std::int64_t>{10, 1, 0, 0}));
  // 30, in a kept range, is no longer missing; 90 was never kept, so seven
  // of the nine ranges are named.
  tally_number(&tally, 30);
  EXPECT_EQ(tally_missing(&tally), 9);
  EXPECT_EQ(ranges_of(tally), "10 20 40 50 60 70 80/9");
}

TEST(SequenceTally, ARestartFromOneIsOneJump) {
  std::vector<std::int64_t> stream;
  add_run(&stream, 1, 3000);
  add_run(&stream, 1, 3000);
  sequence_tally tally = tally_of(stream);
  EXPECT_EQ((std::vector<std::int64_t>{tally_missing(&tally), tally.jumps, tally.out_of_order,
                                       tally.duplicates}),
            (std::vector<std::int64_t>{0, 1, 0, 0}));
  EXPECT_EQ(tally.jumps_kept[0].from, 3000U);
  EXPECT_EQ(tally.jumps_kept[0].to, 1U);
  EXPECT_EQ(tally_expected(&tally), 6000);
}

TEST(SequenceTally, NumbersHeldReadAsStraysUntilTheyMakeARun) {
  std::vector<std::int64_t> stream;
  add_run(&stream, 1, 3000);
  add_run(&stream, 1, 3);
  sequence_tally tally = tally_of(stream);
  // Asked now, the three read as repeats (every gap is known, none holds
  // them); asking changes nothing.
  sequence_tally now;
  tally_settled(&tally, &now);
  EXPECT_EQ((std::vector<std::int64_t>{tally_missing(&tally), now.duplicates, now.jumps}),
            (std::vector<std::int64_t>{0, 3, 0}));
  EXPECT_EQ(tally.duplicates, 0);
  EXPECT_EQ(tally.pending, 3);
  for (std::int64_t n = 4; n <= tally_restart_numbers; ++n) {
    tally_number(&tally, static_cast<std::uint32_t>(n));
  }
  EXPECT_EQ((std::vector<std::int64_t>{tally_missing(&tally), tally.duplicates, tally.jumps}),
            (std::vector<std::int64_t>{0, 0, 1}));
}

TEST(SequenceTally, AStrayFarAheadMovesNothing) {
  std::vector<std::int64_t> stream;
  add_run(&stream, 1, 100);
  stream.push_back(5000000);
  add_run(&stream, 101, 100);
  sequence_tally tally = tally_of(stream);
  EXPECT_EQ((std::vector<std::int64_t>{tally_missing(&tally), tally.out_of_order, tally.jumps}),
            (std::vector<std::int64_t>{0, 1, 0}));
  EXPECT_EQ(tally_expected(&tally), 200);
  // Read little-endian, 1 to 4 sent big-endian are each far from the others.
  tally = tally_of({16777216, 33554432, 50331648, 67108864});
  EXPECT_EQ((std::vector<std::int64_t>{tally_missing(&tally), tally_expected(&tally),
                                       tally.jumps}),
            (std::vector<std::int64_t>{0, 1, 0}));
}

TEST(SequenceTally, RepeatsDoNotSwellTheExpectedCount) {
  sequence_tally tally = tally_of({1, 2, 2, 2, 2, 2, 4});
  EXPECT_EQ(tally_missing(&tally), 1);
  EXPECT_EQ(tally_expected(&tally), 4);
  std::vector<std::int64_t> stream;
  for (int time = 0; time < 3; ++time) {
    for (std::int64_t n = 1; n <= 10; ++n) {
      if (n != 5) {
        stream.push_back(n);
      }
    }
  }
  tally = tally_of(stream);
  EXPECT_EQ(tally_missing(&tally), 1);
  EXPECT_EQ(tally_expected(&tally), 10);
  EXPECT_EQ(tally.duplicates, 18);
}

// The new missing ranges taken, as "a-b c" then "/numbers/ranges".
std::string take_of(sequence_tally* tally) {
  sequence_range ranges[tally_ranges_kept];
  std::int64_t numbers = 0;
  std::int64_t total = 0;
  int count = tally_take_new_missing(tally, ranges, tally_ranges_kept, &numbers, &total);
  std::string text;
  for (int i = 0; i < count; ++i) {
    text += (i > 0 ? " " : "") + std::to_string(ranges[i].first);
    if (ranges[i].last != ranges[i].first) {
      text += "-" + std::to_string(ranges[i].last);
    }
  }
  return text + "/" + std::to_string(numbers) + "/" + std::to_string(total);
}

TEST(SequenceTally, NumbersFoundMissingNeverDecrease) {
  sequence_tally tally = tally_of({1, 2, 5, 6, 8});
  EXPECT_EQ(tally.missing_found, 3);
  EXPECT_EQ(take_of(&tally), "3-4 7/3/2");
  // A late one lowers the net count, not the numbers found missing.
  tally_number(&tally, 3);
  EXPECT_EQ(tally_missing(&tally), 2);
  EXPECT_EQ(tally.missing_found, 3);
  EXPECT_EQ(take_of(&tally), "/0/0");
  tally_number(&tally, 11);
  EXPECT_EQ(tally.missing_found, 5);
  EXPECT_EQ(take_of(&tally), "9-10/2/1");
}

TEST(SequenceText, RangesWithANegativeEndReadUnambiguously) {
  sequence_range ranges[] = {{17, 17}, {40, 41}, {0xfffffffe, 1}, {0x7ffffffe, 0x80000001},
                             {0xfffffffb, 0xffffffff}};
  char text[200];
  write_ranges(ranges, 5, 5, text, sizeof text);
  EXPECT_STREQ(text, "17, 40-41, -2 to 1, 2147483646 to -2147483647, -5 to -1");
  write_ranges(ranges, 2, 12, text, sizeof text);
  EXPECT_STREQ(text, "17, 40-41, ... (12 ranges in all)");
  write_ranges(ranges, 0, 0, text, sizeof text);
  EXPECT_STREQ(text, "none");
  write_ranges(ranges, 5, 5, text, 12);
  EXPECT_STREQ(text, "17, 40-41, ");
  // A tally across 2^31.
  sequence_tally tally = tally_of({0x7ffffffd, 0x80000001});
  sequence_range missing[tally_ranges_kept];
  std::int64_t total = 0;
  write_ranges(missing, tally_missing_ranges(&tally, missing, tally_ranges_kept, &total), total,
               text, sizeof text);
  EXPECT_STREQ(text, "2147483646 to -2147483648");
}

TEST(SequenceTally, MatchesAPlainCountOverRandomStreams) {
  // Streams that reorder, repeat and lose within the window, against the
  // plain count of each.
  std::mt19937 random(7);
  for (int stream = 0; stream < 300; ++stream) {
    std::int64_t start = static_cast<std::int64_t>(random() % 5000);
    std::vector<std::int64_t> numbers;
    for (std::int64_t n = start; n < start + 3000; ++n) {
      if (random() % 10 != 0) {
        numbers.push_back(n);
      }
      if (random() % 20 == 0) {
        numbers.push_back(n - static_cast<std::int64_t>(random() % 600));
      }
    }
    for (std::size_t i = 0; i + 50 < numbers.size(); ++i) {
      if (random() % 15 == 0) {
        std::swap(numbers[i], numbers[i + 1 + random() % 49]);
      }
    }
    std::set<std::int64_t> came;
    std::int64_t highest = numbers[0];
    std::int64_t duplicates = 0;
    std::int64_t late = 0;
    for (std::int64_t n : numbers) {
      bool before = came.count(n) != 0;
      duplicates += before ? 1 : 0;
      late += !before && n < highest ? 1 : 0;
      highest = n > highest ? n : highest;
      came.insert(n);
    }
    std::int64_t expected = *came.rbegin() - *came.begin() + 1;
    sequence_tally tally = tally_of(numbers);
    ASSERT_EQ((std::vector<std::int64_t>{tally_missing(&tally), tally_expected(&tally),
                                         tally.duplicates, tally.out_of_order, tally.jumps}),
              (std::vector<std::int64_t>{expected - static_cast<std::int64_t>(came.size()),
                                         expected, duplicates, late, 0}))
        << "stream " << stream;
  }
}

}  // namespace
