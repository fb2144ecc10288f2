// ssm_monitor's pieces that know no network: its time stamps, its JSON, the
// channel file, and the pause between rounds of receives.
#include <gtest/gtest.h>

#include <cstdio>
#include <string>
#include <vector>

#include "core/pace.h"
#include "ssm_monitor/channel_list.h"
#include "ssm_monitor/monitor_events.h"
#include "ssm_monitor/monitor_pace.h"

namespace {

std::string utc(std::int64_t unix_ms) {
  char text[utc_text_room];
  format_utc(text, unix_ms);
  return text;
}

std::string escaped(const char* text) {
  char out[256];
  json_escape(out, sizeof out, text);
  return out;
}

// Writes text to a file of its own and reads it as a channel file.
int read_file(const std::string& text, std::vector<channel_entry>* list, std::string* problem) {
  const char path[] = "monitor_test.channels";  // in the test's own directory
  std::FILE* file = std::fopen(path, "wb");
  std::fputs(text.c_str(), file);
  std::fclose(file);
  char said[channel_problem_room] = "";
  int status = list_file_channels(path, list, said, sizeof said);
  std::remove(path);
  std::string where = std::string(path) + ":";
  *problem = said;
  if (problem->compare(0, where.size(), where) == 0) {
    problem->replace(0, where.size(), "FILE:");
  }
  return status;
}

const long large_queue = 8388608;
const std::int64_t no_look_soon = 100000;

// A round of receives that took taken datagrams of 32 bytes, at most most of
// them from one socket, over window_us since the sockets were emptied at 1 s.
monitor_round round_of(std::int64_t taken, std::int64_t most, std::int64_t bytes = 32) {
  monitor_round round{};
  round.emptied_us = 1000000;
  round.taken = taken;
  round.bytes = taken * bytes;
  round.most_taken = most;
  return round;
}

}  // namespace

TEST(MonitorPace, ManySlowChannelsPauseTheLongest) {
  // 1,000 channels at 100/s: a millisecond gathers 100 datagrams, one a socket.
  monitor_round round = round_of(100, 1);
  EXPECT_EQ(monitor_pause_us(&round, large_queue, 1001000, no_look_soon), monitor_pause_most_us);
  // Begun anew from then.
  EXPECT_EQ(round.taken, 0);
  EXPECT_EQ(round.emptied_us, 1001000);
  // But never past the next look at the channels.
  round = round_of(100, 1);
  EXPECT_EQ(monitor_pause_us(&round, large_queue, 1001000, 300), 300);
}

TEST(MonitorPace, AFastChannelGathersHalfABatchAndLessThanHalfItsQueue) {
  // One channel at 100,000/s: the pause gathers pace_gather_most on it.
  monitor_round round = round_of(50, 50);
  int pause = monitor_pause_us(&round, large_queue, 1000500, no_look_soon);
  EXPECT_GE(pause, pace_gather_most * 10 - 1);
  EXPECT_LE(pause, pace_gather_most * 10);
  // 8000-byte datagrams at 50,000/s into the usual queue: half of it fills in
  // 106496 / (0.05 * 8832) = 241 us, before 32 datagrams come.
  round = round_of(50, 50, 8000);
  EXPECT_EQ(monitor_pause_us(&round, 212992, 1001000, no_look_soon), 241);
}

TEST(MonitorPace, NoPauseWhenMoreIsQueuedOrTheStreamIsSlow) {
  // A receive or the wait came back full: on at once, and the round counts on.
  monitor_round round = round_of(64, 64);
  round.left_behind = true;
  EXPECT_EQ(monitor_pause_us(&round, large_queue, 1000640, no_look_soon), 0);
  EXPECT_EQ(round.taken, 64);
  EXPECT_FALSE(round.left_behind);
  round.taken += 20;
  round.most_taken = 64;
  EXPECT_GT(monitor_pause_us(&round, large_queue, 1000840, no_look_soon), 0);
  // One datagram in 10 ms: a pause would gather one, no better than a wait.
  round = round_of(1, 1);
  EXPECT_EQ(monitor_pause_us(&round, large_queue, 1010000, no_look_soon), 0);
  // Nothing: the wait ran out.
  round = round_of(0, 0);
  EXPECT_EQ(monitor_pause_us(&round, large_queue, 1100000, no_look_soon), 0);
  EXPECT_EQ(round.emptied_us, 1100000);
}

TEST(MonitorEvents, TimesAreRfc3339InUtcWithMilliseconds) {
  EXPECT_EQ(utc(0), "1970-01-01T00:00:00.000Z");
  EXPECT_EQ(utc(1796742245123), "2026-12-08T15:04:05.123Z");
  EXPECT_EQ(utc(951782400999), "2000-02-29T00:00:00.999Z");  // a leap day
  EXPECT_EQ(utc(4102444799000), "2099-12-31T23:59:59.000Z");
}

TEST(MonitorEvents, JsonStringsAreEscapedAndValid) {
  EXPECT_EQ(escaped("plain: a-b.c"), "plain: a-b.c");
  EXPECT_EQ(escaped("\"q\" \\ \n\t\x01"), "\\\"q\\\" \\\\ \\u000a\\u0009\\u0001");
  EXPECT_EQ(escaped("caf\xc3\xa9"), "caf\xc3\xa9") << "UTF-8 passes";
  EXPECT_EQ(escaped("a\xff" "b\xc3"), "a\\ufffdb\\ufffd") << "what is not UTF-8 is replaced";
  EXPECT_EQ(escaped("\xed\xa0\x80"), "\\ufffd\\ufffd\\ufffd") << "no surrogates";
  char small[8];
  EXPECT_EQ(json_escape(small, sizeof small, "\"\"\"\"\"\""), 6u) << "cut between escapes";
}

TEST(ChannelFile, LinesCommentsBlanksAndNames) {
  std::vector<channel_entry> list;
  std::string problem;
  ASSERT_EQ(read_file("# channels\r\n\n  232.1.2.3   10.1.1.1\t5000 news # the news\r\n"
                      "ff3e::8000:1%eth1 fd00::1 5001\n",
                      &list, &problem),
            0)
      << problem;
  ASSERT_EQ(list.size(), 2u);
  EXPECT_EQ(std::string(list[0].name) + "@" + std::to_string(list[0].line), "news@3");
  EXPECT_EQ(std::string(list[1].group_text) + " " + list[1].name, "ff3e::8000:1%eth1 ");
  struct {
    const char* text;
    const char* problem;
  } bad[] = {
      {"232.1.2.3 10.1.1.1 5000 a b\n",
       "FILE:1: more than 4 fields: a channel is <group>[%interface] <source> <port> [name]"},
      {"\n232.1.2.3\n", "FILE:2: 1 field: a channel is <group>[%interface] <source> <port> [name]"},
      {"232.1.2.3 10.1.1.1 5000 nnnnnnnnnnnnnnnnnnnnnnnnnnnnnnnnnnnnnnnnnnnnnnnnnnnnnnnnnnnnnnnnn\n",
       "FILE:1: name 'nnnnnnnnnnnnnnnnnnnnnnnnnnnnnnnnnnnnnnnnnnnnnnnnnnnnnnnnnnnnnnnnn': 1 to 64 of "
       "A-Z a-z 0-9 . _ : -"},
      {"232.1.2.3 10.1.1.1 5000\n232.1.2.3 10.1.1.1 5000 again\n",
       "FILE:2: the same channel as line 1"},
      {"232.1.2.3 10.1.1.1 70000\n", "FILE:1: port '70000': not a decimal number from 0 to 65535"},
  };
  for (const auto& row : bad) {
    list.clear();
    EXPECT_EQ(read_file(row.text, &list, &problem), 1) << row.text;
    EXPECT_EQ(problem, row.problem);
  }
  // The same channel given on the command line first.
  list.clear();
  char said[channel_problem_room];
  ASSERT_EQ(list_operand_channels({"232.1.2.3", "10.1.1.1", "5000"}, &list, said, sizeof said), 0);
  EXPECT_EQ(read_file("232.1.2.3%eth0 10.1.1.1 5000\n232.1.2.3 10.1.1.1 5000\n", &list, &problem),
            1);
  EXPECT_EQ(problem, "FILE:2: the same channel as the command line's");
  // A reload keeps a channel by its key: addresses as they mean, the
  // interface as written.
  list.clear();
  ASSERT_EQ(read_file("ff3e::1 fd00::1 5000\nff3e::1%eth0 fd00::1 5000\nff3e::1 fd00::1 5001\n",
                      &list, &problem), 0) << problem;
  channel_entry written = list[0];
  std::snprintf(written.group_text, sizeof written.group_text, "ff3e:0:0::1");
  EXPECT_EQ(channel_key(written), channel_key(list[0]));
  EXPECT_NE(channel_key(list[1]), channel_key(list[0]));
  EXPECT_NE(channel_key(list[2]), channel_key(list[0]));
}
