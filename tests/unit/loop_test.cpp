// Both programs' loops over the scripted platform, with a clock: streams at
// every rate, the pauses and wake-ups they cost, how long a line waits, and
// stop requests at every step.
#include <gtest/gtest.h>

#include <cstdio>
#include <memory>
#include <string>
#include <vector>

#include "core/drop_watch.h"
#include "core/exit_status.h"
#include "core/output.h"
#include "ssm_listen/listen_loop.h"
#include "ssm_watch/watch_loop.h"
#include "tests/unit/fake_platform.h"
#include "tests/unit/test_address.h"

namespace {

const std::size_t line_size = 33;  // "    10.1.1.1:seq=     1:len=   4\n"

std::string line(long sequence) {
  char text[80];
  int size = std::snprintf(text, sizeof text, "%12s:seq=%6ld:len=%4d\n", "10.1.1.1", sequence, 4);
  return std::string(text, static_cast<std::size_t>(size));
}

std::string lines(int count) {
  std::string all;
  for (int i = 1; i <= count; ++i) {
    all += line(i);
  }
  return all;
}

class Loop : public ::testing::Test {
 public:
  void SetUp() override {
    reset_fake();
    flush_output();  // lines an earlier test left held
    reset_fake();
    fake.now_us = start_us;
  }

  // count datagrams of 4 bytes numbered from 1, rate a second, the first
  // 1 ms from now.
  void stream(int count, double rate) {
    for (int i = 0; i < count; ++i) {
      std::int64_t at = start_us + 1000 + static_cast<std::int64_t>(i * 1e6 / rate);
      unsigned char n = static_cast<unsigned char>(i + 1);
      fake.datagrams.push_back({4, peer(10, 1, 1, 1),
                                {n, static_cast<unsigned char>((i + 1) >> 8), 0, 0}, 0, at});
      arrivals.push_back(at);
    }
  }

  int listen() { return listen_loop(receiver, batch.get(), "ssm_test"); }

  int watch() {
    return watch_loop(&receiver, buffer.get(), "ssm_test", "232.1.2.3", "10.1.1.1");
  }

  // How long each line waited in the program: from its datagram's arrival to
  // the write that carried it.
  std::vector<std::int64_t> waits() {
    std::vector<std::int64_t> waited;
    std::size_t write = 0;
    for (std::size_t i = 0; i < arrivals.size(); ++i) {
      while (write < fake.write_log.size() && fake.write_log[write].second < (i + 1) * line_size) {
        ++write;
      }
      waited.push_back(write < fake.write_log.size() ? fake.write_log[write].first - arrivals[i]
                                                     : -1);
    }
    return waited;
  }

  // Pauses and blocked waits: every time the program went to sleep.
  int wake_ups() const { return static_cast<int>(fake.pauses.size()) + fake.blocked; }

  const std::int64_t start_us = 5000000;
  ssm_receiver receiver{
      7, {peer(232, 1, 2, 3), peer(10, 1, 1, 1), 5000, nullptr, 0}, true, 0, 0, nullptr, "", {}};
  std::vector<std::int64_t> arrivals;
  std::unique_ptr<report_batch> batch{new report_batch()};
  std::unique_ptr<unsigned char[]> buffer{new unsigned char[report_buffer_size]};
};

// Every line in order, none waiting more than the moment, at most one
// wake-up a datagram, and the program ended by the stop that came when it
// had nothing left to do.
void expect_stream_reported(Loop* test, int count, int status) {
  EXPECT_EQ(status, 128 + 15);
  EXPECT_EQ(fake.ended_by, 15);
  EXPECT_EQ(fake.output_at_end, lines(count));
  std::vector<std::int64_t> waited = test->waits();
  for (int i = 0; i < count; ++i) {
    ASSERT_GE(waited[static_cast<std::size_t>(i)], 0) << "line " << i + 1 << " never written";
    ASSERT_LE(waited[static_cast<std::size_t>(i)], line_wait_most_us) << "line " << i + 1;
  }
}

}  // namespace

TEST_F(Loop, ListenPacesEveryRate) {
  for (double rate : {500.0, 1000.0, 2000.0, 5000.0, 20000.0, 100000.0, 300000.0}) {
    SCOPED_TRACE(rate);
    SetUp();
    arrivals.clear();
    int count = rate < 20000 ? 400 : 4000;
    stream(count, rate);
    fake.stop_when_idle = true;
    expect_stream_reported(this, count, listen());
    EXPECT_LE(wake_ups(), count) << "at most one wake-up a datagram";
    if (rate <= 1000) {
      EXPECT_TRUE(fake.pauses.empty()) << "a slow stream is never paused";
      for (std::int64_t waited : waits()) {
        ASSERT_EQ(waited, 0) << "a slow stream's line is written at once";
      }
    }
    if (rate >= 5000) {
      EXPECT_LT(wake_ups(), count / 2);
    }
    if (rate >= 100000) {
      EXPECT_LT(fake.batch_sizes.size(), static_cast<std::size_t>(count / 10));
      EXPECT_LT(fake.writes, count / 50);
    }
    for (int taken : fake.batch_sizes) {
      ASSERT_LT(taken, report_batch_slots) << "a pause never fills the batch";
    }
  }
}

TEST_F(Loop, ListenPausesThatRunLongStillLeaveTheBatchShort) {
  stream(20000, 100000);
  fake.pause_overrun_us = 60;  // the timer and the wake-up are late
  fake.stop_when_idle = true;
  EXPECT_EQ(listen(), 128 + 15);
  EXPECT_EQ(fake.output_at_end, lines(20000));
  int full = 0;
  for (int taken : fake.batch_sizes) {
    full += taken == report_batch_slots;
  }
  EXPECT_EQ(full, 0) << "no second receive after a pause";
  EXPECT_LT(fake.batch_sizes.size(), 20000u / 15);
}

TEST_F(Loop, APauseThatGathersNothingEndsThePausing) {
  for (int program = 0; program < 2; ++program) {
    SetUp();
    arrivals.clear();
    stream(2000, 100000);
    fake.stop_at_us = arrivals.back() + 100000;
    // The stop comes 100 ms after the last datagram: its lines must be out
    // long before, not held while the loop blocks.
    expect_stream_reported(this, 2000, program == 0 ? listen() : watch());
    int wasted = 0;
    for (std::int64_t started : fake.pause_starts) {
      wasted += started > arrivals.back();
    }
    EXPECT_LE(wasted, 1) << "the stream is over: one empty pause, then the loop blocks";
  }
}

TEST_F(Loop, ListenStopWritesOutEveryHeldLineFirst) {
  struct {
    fake_call call;
    int nth;
  } moments[] = {{fake_pause_call, 3}, {fake_receive_call, 4}, {fake_write_call, 1}};
  for (const auto& moment : moments) {
    SCOPED_TRACE(moment.call);
    SetUp();
    arrivals.clear();
    stream(3000, 100000);
    fake.stop_call = moment.call;
    fake.stop_nth = moment.nth;
    EXPECT_EQ(listen(), 128 + 15);
    EXPECT_EQ(fake.ended_by, 15);
    int taken = 0;
    for (int size : fake.batch_sizes) {
      taken += size;
    }
    EXPECT_GT(taken, 0);
    EXPECT_LT(taken, 3000) << "the stop ended the stream early";
    EXPECT_EQ(fake.output_at_end, lines(taken)) << "every datagram taken has its line";
  }
}

TEST_F(Loop, StopWhileNothingIsHeldEndsAtOnce) {
  // Each loop blocks once the stream is over; the stop comes there and the
  // fake fails the test if the loop blocks again.
  for (int program = 0; program < 2; ++program) {
    SetUp();
    arrivals.clear();
    stream(3, 100);
    fake.stop_at_us = start_us + 200000;
    int status = program == 0 ? listen() : watch();
    EXPECT_EQ(status, 128 + 15);
    EXPECT_EQ(fake.now_us, fake.stop_at_us) << "ended when the stop came";
    EXPECT_EQ(fake.output_at_end, lines(3));
    EXPECT_TRUE(fake.pauses.empty());
  }
}

TEST_F(Loop, ListenOutputFailureEndsWithStatusTwo) {
  stream(10, 1000);
  fake.write_result = -1;
  testing::internal::CaptureStderr();
  EXPECT_EQ(listen(), exit_failure);
  EXPECT_EQ(testing::internal::GetCapturedStderr(),
            "ssm_test: write to standard output: fake output failure\n");
}

TEST_F(Loop, WatchPacesEveryRateOneDatagramAWait) {
  for (double rate : {500.0, 2000.0, 20000.0, 100000.0}) {
    SCOPED_TRACE(rate);
    SetUp();
    arrivals.clear();
    int count = rate < 20000 ? 400 : 4000;
    stream(count, rate);
    // Half a second after the stream: no renewal before the silent second.
    fake.stop_at_us = arrivals.back() + 500000;
    expect_stream_reported(this, count, watch());
    EXPECT_TRUE(fake.memberships.empty()) << "no renewal while datagrams come";
    EXPECT_LE(wake_ups(), count);
    for (int wait : fake.receive_waits) {
      ASSERT_EQ(wait, receive_no_wait) << "one datagram a readable wait, never a blocking receive";
    }
    EXPECT_EQ(fake.receive_waits.size(), static_cast<std::size_t>(count));
    if (rate >= 20000) {
      EXPECT_LT(wake_ups(), count / 4);
    }
  }
}

TEST_F(Loop, WatchTakesABurstAfterAQuietSpellWithoutPausingOnIt) {
  // 100 datagrams back to back, 2 ms after the start, while taking each one
  // lasts 20 us: most of the burst is queued before the second is taken.
  for (int i = 0; i < 100; ++i) {
    unsigned char n = static_cast<unsigned char>(i + 1);
    std::int64_t at = start_us + 2000 + i;
    fake.datagrams.push_back({4, peer(10, 1, 1, 1), {n, 0, 0, 0}, 0, at});
  }
  fake.receive_cost_us = 20;
  fake.stop_at_us = start_us + 500000;
  EXPECT_EQ(watch(), 128 + 15);
  EXPECT_EQ(fake.output_at_end, lines(100));
  EXPECT_EQ(fake.paused_with_queue, 0) << "a pause with datagrams already queued";
  // From the take to the write that carried it: at most the moment, give or
  // take one receive.
  std::size_t write = 0;
  for (std::size_t i = 0; i < fake.take_times.size(); ++i) {
    while (fake.write_log[write].second < (i + 1) * line_size) {
      ++write;
    }
    ASSERT_LE(fake.write_log[write].first - fake.take_times[i],
              line_wait_most_us + fake.receive_cost_us)
        << "line " << i + 1 << " held too long";
  }
  EXPECT_GE(fake.writes, 2) << "the lines go out during the burst, not only at its end";
}

TEST_F(Loop, WatchRenewsAfterEverySilentSecondAndStopsWithItsLines) {
  stream(20, 10000);
  fake.stop_at_us = arrivals.back() + 3500000;
  EXPECT_EQ(watch(), 128 + 15);
  EXPECT_EQ(fake.memberships.size(), 3u);
  EXPECT_EQ(fake.output_at_end, lines(20));

  // A stop during a pause, with lines held.
  SetUp();
  arrivals.clear();
  stream(3000, 100000);
  fake.stop_call = fake_pause_call;
  fake.stop_nth = 5;
  EXPECT_EQ(watch(), 128 + 15);
  EXPECT_GT(fake.output_at_end.size(), 0u);
  EXPECT_EQ(fake.output_at_end, lines(static_cast<int>(fake.receive_waits.size())));
}

TEST_F(Loop, WatchWaitThatFailsForGoodIsSaidAndEndsTheProgram) {
  fake.readiness = {wait_cut_short, -1};  // a signal's cut is retried; EBADF is not
  testing::internal::CaptureStderr();
  EXPECT_EQ(watch(), exit_failure);
  EXPECT_EQ(testing::internal::GetCapturedStderr(),
            "ssm_test: wait for a datagram: fake socket failure\n");
  EXPECT_EQ(fake.readable_waits.size(), 2u);
}

TEST_F(Loop, WatchLeavesAMembershipOnAGoneInterfaceBeforeJoiningAnew) {
  // Joined on interface 4; it is deleted and made again as 9.
  receiver.membership_interface = 4;
  fake.stop_at_us = start_us + 3500000;
  fake.membership_index = 9;
  fake.membership_result = -1;  // held: every renewal refused, nothing left
  EXPECT_EQ(watch(), 128 + 15);
  EXPECT_EQ(fake.memberships.size(), 3u);
  EXPECT_TRUE(fake.leaves.empty()) << "interface 4 is still there";

  SetUp();
  receiver.membership_interface = 4;
  fake.gone = {4};
  fake.stop_at_us = start_us + 2500000;
  fake.membership_index = 9;
  EXPECT_EQ(watch(), 128 + 15);
  EXPECT_EQ(fake.leaves, (std::vector<unsigned>{4})) << "left once, before the first renewal";
  EXPECT_EQ(fake.memberships.size(), 2u);
  EXPECT_EQ(receiver.membership_interface, 9u) << "the new membership's interface, learnt";
}

TEST_F(Loop, WatchRejoinsWhenTheInterfaceItselfLostTheMembership) {
  // Refused as held, and the interface says it holds it: a healthy silent
  // channel, one request a second and nothing left.
  receiver.membership_interface = 4;
  fake.membership_index = 4;
  fake.membership_result = -1;
  fake.device = device_holds;
  fake.stop_at_us = start_us + 3500000;
  EXPECT_EQ(watch(), 128 + 15);
  EXPECT_EQ(fake.memberships.size(), 3u);
  EXPECT_EQ(fake.device_asked, 3);
  EXPECT_TRUE(fake.leaves.empty());

  // Re-made with its index: the socket's stale record is left, and the
  // membership asked for again, in the same second.
  SetUp();
  receiver.membership_interface = 4;
  fake.membership_index = 4;
  fake.membership_result = -1;
  fake.membership_results = {-1, 0};
  fake.device = device_lacks;
  fake.stop_at_us = start_us + 1500000;
  testing::internal::CaptureStderr();
  EXPECT_EQ(watch(), 128 + 15);
  EXPECT_EQ(testing::internal::GetCapturedStderr(), "") << "was joined all along";
  EXPECT_EQ(fake.leaves, (std::vector<unsigned>{4}));
  EXPECT_EQ(fake.memberships.size(), 2u);
  EXPECT_EQ(receiver.membership_interface, 4u);

  // The system cannot say (Windows): as before, nothing left.
  SetUp();
  receiver.membership_interface = 4;
  fake.membership_result = -1;
  fake.stop_at_us = start_us + 2500000;
  EXPECT_EQ(watch(), 128 + 15);
  EXPECT_EQ(fake.memberships.size(), 2u);
  EXPECT_TRUE(fake.leaves.empty());
}

TEST_F(Loop, WatchJoinedAnewChecksTheHostAgain) {
  receiver.joined = false;
  fake.interfaces = {{"eth0", 3}};
  fake.membership_index = 3;
  fake.protocol = {2, 2, false};
  fake.stop_at_us = start_us + 2500000;
  testing::internal::CaptureStderr();
  EXPECT_EQ(watch(), 128 + 15);
  EXPECT_EQ(testing::internal::GetCapturedStderr(),
            "ssm_test: joined group 232.1.2.3 from source 10.1.1.1\n"
            "ssm_test: warning: eth0 speaks IGMPv2 (net.ipv4.conf.eth0.force_igmp_version=2): "
            "its reports name no source, and routers serving SSM ignore them\n")
      << "once, after the join that followed a refusal; not after a renewal";
  EXPECT_EQ(fake.memberships.size(), 2u);
}

TEST_F(Loop, WatchLooksAgainAtADownInterfaceWhileSilent) {
  fake.interfaces = {{"eth0", 3}};
  fake.membership_index = 3;
  receiver.membership_interface = 3;
  receiver.host.interface_down = true;
  fake.input_route = route_refused;
  fake.rp_own = 1;
  fake.rp_all = 0;
  fake.stop_at_us = start_us + 1500000;
  testing::internal::CaptureStderr();
  EXPECT_EQ(watch(), 128 + 15);
  EXPECT_EQ(testing::internal::GetCapturedStderr(),
            "ssm_test: warning: reverse-path filtering (rp_filter 1 on eth0) drops datagrams "
            "from 10.1.1.1\n")
      << "up by the first silent second, and the kernel's verdict is said then";
  EXPECT_EQ(fake.input_routes_asked, 1);
  fake.stop_at_us = start_us + 5000000;
  EXPECT_EQ(watch(), 128 + 15);
  EXPECT_EQ(fake.input_routes_asked, 1) << "once up, a renewal does not look again";
}

TEST_F(Loop, DropsAreReadAboutOnceASecondAndOnceMoreAtTheStop) {
  for (int program = 0; program < 2; ++program) {
    SetUp();
    arrivals.clear();
    stream(3000, 1000);  // 3 s, the queue dry at every datagram
    fake.drops = 52;
    fake.stop_at_us = arrivals.back() + 500000;  // before a renewal
    testing::internal::CaptureStderr();
    EXPECT_EQ(program == 0 ? listen() : watch(), 128 + 15);
    EXPECT_EQ(testing::internal::GetCapturedStderr(),
              "ssm_test: this host dropped 52 datagrams before they were read (52 in all; "
              "receive queue 208 KiB)\n");
    EXPECT_EQ(fake.output_at_end, lines(3000));
    EXPECT_GE(fake.drop_read_times.size(), 4u) << program;
    EXPECT_LE(fake.drop_read_times.size(), 5u) << program << ": one a second, and one at the stop";
  }
}

TEST_F(Loop, ListenSaysTheDropsOfABacklogInTheSilenceAfterIt) {
  // A datagram, the drop count read (nothing yet); 100 ms later a burst
  // that overflowed the queue, then silence until the stop 5 s on.
  for (int burst : {300, 40}) {
    SCOPED_TRACE(burst);
    SetUp();
    arrivals.clear();
    stream(1, 1000);
    const std::int64_t burst_us = start_us + 100000;
    for (int i = 2; i <= burst + 1; ++i) {
      fake.datagrams.push_back({4, peer(10, 1, 1, 1),
                                {static_cast<unsigned char>(i), static_cast<unsigned char>(i >> 8),
                                 0, 0},
                                0, burst_us});
    }
    fake.drops = 700;
    fake.drops_from_us = burst_us;
    fake.stop_at_us = burst_us + 5000000;
    testing::internal::CaptureStderr();
    EXPECT_EQ(listen(), 128 + 15);
    EXPECT_EQ(testing::internal::GetCapturedStderr(),
              "ssm_test: this host dropped 700 datagrams before they were read (700 in all; "
              "receive queue 208 KiB)\n");
    EXPECT_EQ(fake.output_at_end, lines(burst + 1));
    ASSERT_GE(fake.drop_read_times.size(), 2u);
    if (burst > report_batch_slots) {
      // The batch came back full: the loop waited only until the count was due.
      EXPECT_EQ(fake.readable_waits.size(), 1u);
      EXPECT_EQ(fake.drop_read_times[1], fake.drop_read_times[0] + drop_look_every_us)
          << "a second after the last look, with no datagram since";
    } else {
      // Never a full batch: it blocks in the receive as it always did.
      EXPECT_TRUE(fake.readable_waits.empty());
      EXPECT_EQ(fake.drop_read_times[1], fake.stop_at_us) << "read again only at the stop";
    }
  }
}

TEST(Pace, APauseThatGathersNothingWritesOutWhatIsHeld) {
  pace_state pace;
  pace_start(&pace, 212992, 0);
  // 100,000/s: 10 datagrams in 100 us, their lines held.
  pace_took(&pace, 10, 320);
  pace_step step = pace_when_dry(&pace, true, 100);
  ASSERT_GT(step.pause_us, 0) << "a fast stream pauses";
  EXPECT_FALSE(step.write_out) << "its lines may wait a while";
  // The pause gathers nothing: the held lines go out, and the loop blocks.
  step = pace_when_dry(&pace, true, 100 + step.pause_us);
  EXPECT_EQ(step.pause_us, 0);
  EXPECT_TRUE(step.write_out) << "no line is held while the loop blocks";
  EXPECT_FALSE(pace_fast(&pace, 100 + step.pause_us));
}
