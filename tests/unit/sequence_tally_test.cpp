// ssm_check's tally of sequence numbers.
#include "sequence_tally.h"
#include "sequence_text.h"

#include <gtest/gtest.h>

#include <cstdint>
#include <initializer_list>
#include <string>

namespace {

sequence_tally tally_of(std::initializer_list<std::int64_t> numbers) {
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
  // A number that comes after its gap left the window is a jump back.
  tally_number(&tally, 5);
  EXPECT_EQ(tally.jumps, 1);
  EXPECT_EQ(tally_missing(&tally), 1998 + 97997);
}

TEST(SequenceTally, ARestartedSenderIsAJumpNotMillionsMissing) {
  sequence_tally tally = tally_of({1, 2, 3, 5000000, 5000001, 4000, 4001});
  EXPECT_EQ(tally_missing(&tally), 0);
  EXPECT_EQ(tally.jumps, 2);
  EXPECT_EQ(tally.jumps_kept[0].from, 3U);
  EXPECT_EQ(tally.jumps_kept[0].to, 5000000U);
  EXPECT_EQ(tally.jumps_kept[1].from, 5000001U);
  EXPECT_EQ(tally.jumps_kept[1].to, 4000U);
  // Gaps in each run count; a run's open end at a jump is not a gap.
  tally = tally_of({1, 3, 9000000, 9000002});
  EXPECT_EQ(ranges_of(tally), "2 9000001/2");
}

TEST(SequenceTally, NumbersPassTheTopOfThirtyTwoBits) {
  sequence_tally tally = tally_of({0x7ffffffe, 0x7fffffff, 0x80000001, 0xffffffff, 0, 2});
  EXPECT_EQ(tally.jumps, 1);  // 0x80000001 to 0xffffffff: far ahead
  tally = tally_of({0xfffffffe, 0xffffffff, 1});
  EXPECT_EQ(tally.jumps, 0);
  EXPECT_EQ(ranges_of(tally), "0/1");
}

TEST(SequenceTally, MemoryStaysBoundedWhateverArrives) {
  // Every number a jump from the last: the kept lists stay at their size.
  sequence_tally tally;
  tally_start(&tally);
  std::uint32_t n = 1;
  for (int i = 0; i < 100000; ++i) {
    tally_number(&tally, n);
    tally_number(&tally, n + 2);
    n = n * 2654435761U + 12345;
  }
  EXPECT_EQ(tally.counted, 200000);
  EXPECT_GT(tally.jumps, 99000);
  EXPECT_GT(tally.ranges_gone, 99000);
  EXPECT_EQ(tally.ranges_kept, tally_ranges_kept);
  EXPECT_EQ(ranges_of(tally).substr(ranges_of(tally).find('/')),
            "/" + std::to_string(tally.ranges_gone + 1));
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

}  // namespace
