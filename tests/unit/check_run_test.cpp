// ssm_check's listening over the scripted platform: what counts as received
// and what only as taken, when the link's count is read, and the report's
// lines of Windows' checks.
#include <gtest/gtest.h>

#include <cstring>
#include <string>

#include "ssm_check/check_report.h"
#include "ssm_check/check_run.h"
#include "tests/unit/fake_platform.h"
#include "tests/unit/test_address.h"

namespace {

const std::int64_t start_us = 1000000;
const ssm_socket capture = 3;

class CheckRun : public ::testing::Test {
 public:
  void SetUp() override {
    reset_fake();
    fake.now_us = start_us;
    receiver = ssm_receiver{};
    receiver.socket = 5;
    receiver.channel.source = peer(10, 1, 1, 1);
    receiver.joined = true;
    options = check_options{};
    options.seconds = 5;
    start_facts(&facts, start_us);
    facts.link_checked = true;
  }

  // A datagram numbered n from sender, queued at start_us + after_us.
  static void arrive(std::uint8_t n, const ssm_address& sender, std::int64_t after_us) {
    fake.datagrams.push_back({4, sender, {n, 0, 0, 0}, 0, start_us + after_us});
  }

  ssm_receiver receiver;
  check_options options;
  // Static in the program: the tally's window is large.
  static check_facts facts;
};

check_facts CheckRun::facts;

TEST_F(CheckRun, WhatComesAfterTheCountIsTakenNotReceived) {
  options.count = 3;
  for (std::uint8_t n = 1; n <= 5; ++n) {
    arrive(n, receiver.channel.source, 1000);
  }
  arrive(9, peer(10, 2, 2, 2), 1000);
  arrive(6, receiver.channel.source, 2500);   // while the link's last datagrams settle
  arrive(7, receiver.channel.source, 10000);  // after it all
  fake.link_counts = {6};
  ASSERT_EQ(run_check(&receiver, capture, &options, &facts), 0);
  EXPECT_EQ(facts.end, ended_by_count);
  EXPECT_EQ(facts.ended_us, start_us + 1000);
  EXPECT_EQ((std::vector<std::int64_t>{facts.received, facts.taken, facts.others}),
            (std::vector<std::int64_t>{3, 6, 0}));
  EXPECT_EQ(tally_missing(&facts.tally), 0);
  EXPECT_EQ(facts.tally.last, 3U);
  // The link's count first, then the pause, then the last take.
  EXPECT_EQ(fake.link_reads, (std::vector<std::int64_t>{start_us + 1000}));
  EXPECT_EQ(fake.pauses, (std::vector<int>{2000}));
  EXPECT_EQ(fake.take_times.back(), start_us + 3000);
  EXPECT_EQ(facts.link_seen, 6);
  EXPECT_TRUE(facts.link_checked);
  EXPECT_EQ(fake.datagrams.size(), 1U);
}

TEST_F(CheckRun, TheLinkIsCountedWhileListeningAndAtTheEnd) {
  options.seconds = 3;
  arrive(1, receiver.channel.source, 500000);
  arrive(2, receiver.channel.source, 3000500);  // after the time ran out
  fake.link_counts = {4, 5, 6, 7};
  ASSERT_EQ(run_check(&receiver, capture, &options, &facts), 0);
  EXPECT_EQ(facts.end, ended_by_time);
  EXPECT_EQ((std::vector<std::int64_t>{facts.received, facts.taken}),
            (std::vector<std::int64_t>{1, 2}));
  // No read is more than a wait of a second and a half apart.
  ASSERT_EQ(fake.link_reads.size(), 3U);
  EXPECT_LE(fake.link_reads[0] - start_us, 1500000);
  EXPECT_LE(fake.link_reads[1] - fake.link_reads[0], 1500000);
  EXPECT_EQ(fake.link_reads[2], facts.ended_us);
  EXPECT_EQ(facts.link_seen, 4 + 5 + 6);
  // A count that cannot be read is no count.
  SetUp();
  fake.link_count_fails = true;
  arrive(1, receiver.channel.source, 1000);
  options.count = 1;
  ASSERT_EQ(run_check(&receiver, capture, &options, &facts), 0);
  EXPECT_FALSE(facts.link_checked);
  EXPECT_STREQ(facts.link_reason, "the capture's count could not be read");
  EXPECT_TRUE(fake.pauses.empty());
}

}  // namespace

TEST_F(CheckRun, WindowsReportNamesTheHostWideCountAndTheFirewallAsSuch) {
  for (std::uint8_t n : {std::uint8_t{1}, std::uint8_t{2}, std::uint8_t{5}}) {
    arrive(n, receiver.channel.source, 1000);
  }
  facts.link_checked = false;
  facts.link_reason = "not made on this system";
  fake.udp_errors = {40, 42};
  receiver.channel.port = 5000;
  receiver.host.firewall.state = firewall_cannot_say;
  std::strcpy(receiver.host.firewall.why, "this is Wine, which has no Windows Firewall to ask");
  receiver.host.version_unknown_why = "no IGMPVersion value";
  std::strcpy(receiver.host.interface_name, "loopback_1");
  ASSERT_EQ(run_check(&receiver, ssm_no_socket, &options, &facts), 0);
  EXPECT_EQ(facts.host_udp_errors, 2);
  ASSERT_EQ(write_check_report(&receiver, &options, &facts), 0);
  for (const char* line :
       {"\ninterface_protocol: not checked: no IGMPVersion value\n",
        "\nhost_dropped: not known on this system\nhost_udp_errors: 2 (all UDP on this host)\n",
        "\nreverse_path: not checked: this system does not say\nfirewall: cannot say: this is "
        "Wine, which has no Windows Firewall to ask\n",
        "\nverdict: 2 missing of 5: this host counted 2 UDP datagrams received in error "
        "meanwhile (all UDP on this host): some may have been dropped here\n"}) {
    EXPECT_NE(fake.output.find(line), std::string::npos) << line << fake.output;
  }
  // Where the system keeps no such count, no line.
  reset_fake();
  start_facts(&facts, start_us);
  ASSERT_EQ(run_check(&receiver, ssm_no_socket, &options, &facts), 0);
  EXPECT_EQ(facts.host_udp_errors, -1);
}
