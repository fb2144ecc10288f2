// The core on a scripted platform: start-up decisions and the report lines.
#include <gtest/gtest.h>

#include <cstdio>
#include <cstring>
#include <memory>
#include <string>
#include <vector>

#include "core/exit_status.h"
#include "core/output.h"
#include "core/ssm_receiver.h"
#include "tests/unit/fake_platform.h"
#include "tests/unit/test_address.h"

namespace {

// The report line, as printf would make it.
std::string line(const char* sender, long sequence, long length) {
  char text[80];
  int size = std::snprintf(text, sizeof text, "%12s:seq=%6ld:len=%4ld\n", sender, sequence,
                           length);
  return std::string(text, static_cast<std::size_t>(size));
}

class Core : public ::testing::Test {
 protected:
  void SetUp() override {
    reset_fake();
    flush_output();  // lines an earlier test left held
    reset_fake();
    // Far from any moment an earlier test left the core remembering.
    static std::int64_t epoch = 0;
    epoch += 1000000000;
    fake.now_us = epoch;
    pace_start(&pace, fake.queue_bytes, fake.now_us);
  }

  int start(std::vector<const char*> args) {
    args.push_back(nullptr);
    receiver = ssm_receiver{};
    return open_ssm_receiver(static_cast<int>(args.size() - 1), const_cast<char**>(args.data()),
                             "ssm_test", &receiver);
  }

  // Runs receive_and_report once and writes out whatever it held.
  report_result report(int wait_ms = receive_no_wait) {
    report_result result = receive_and_report(7, buffer, &sender, wait_ms, &pace);
    flush_output();
    return result;
  }

  ssm_receiver receiver{};
  unsigned char buffer[report_buffer_size] = {};
  sender_record sender{};
  pace_state pace{};
};

}  // namespace

TEST_F(Core, TooFewOperandsPrintUsageAndTouchNoSocket) {
  for (std::vector<const char*> args : {std::vector<const char*>{"./ssm_listen"},
                                        {"./ssm_listen", "232.1.1.1"},
                                        {"./ssm_listen", "232.1.1.1", "10.1.1.1"}}) {
    reset_fake();
    testing::internal::CaptureStderr();
    EXPECT_EQ(start(args), exit_usage);
    EXPECT_EQ(testing::internal::GetCapturedStderr(), "");
    EXPECT_EQ(fake.output, " Use: ./ssm_listen <group> <source> <port>") << "no line end";
    EXPECT_EQ(fake.sockets_opened, 0);
    EXPECT_EQ(fake.stops_caught, 0);
  }
}

TEST_F(Core, MissingProgramNameFallsBackToOwnName) {
  EXPECT_EQ(start({}), exit_usage);
  EXPECT_EQ(fake.output, " Use: ssm_test <group> <source> <port>");
  reset_fake();
  std::vector<char*> argv = {nullptr};
  EXPECT_EQ(open_ssm_receiver(1, argv.data(), "ssm_test", &receiver), exit_usage);
  EXPECT_EQ(fake.output, " Use: ssm_test <group> <source> <port>");
}

TEST_F(Core, BadOperandsAreNamedOnStandardErrorOnly) {
  struct {
    std::vector<const char*> args;
    const char* message;
  } cases[] = {
      {{"x", "232.1.1", "10.1.1.1", "5000"},
       "ssm_test: group '232.1.1': not a dotted-decimal IPv4 address\n"},
      {{"x", "232.1.1.1", "host", "5000"},
       "ssm_test: source 'host': not a dotted-decimal IPv4 address\n"},
      {{"x", "232.1.1.1", "10.1.1.1", "65536"},
       "ssm_test: port '65536': not a decimal number from 0 to 65535\n"},
      {{"x", "232.1.1.1", "10.1.1.1", "abc"},
       "ssm_test: port 'abc': not a decimal number from 0 to 65535\n"},
      {{"x", "232.1.1.1", "10.1.1.1", "5000\n\x1b[2J"},
       "ssm_test: port '5000?\?[2J': not a decimal number from 0 to 65535\n"},
  };
  for (const auto& c : cases) {
    reset_fake();
    testing::internal::CaptureStderr();
    EXPECT_EQ(start(c.args), exit_usage);
    EXPECT_EQ(testing::internal::GetCapturedStderr(), c.message);
    EXPECT_EQ(fake.output, "");
    EXPECT_EQ(fake.sockets_opened, 0);
  }
}

TEST_F(Core, HugeOperandIsCutShortInTheMessage) {
  std::string huge(5000, '9');
  testing::internal::CaptureStderr();
  EXPECT_EQ(start({"x", "232.1.1.1", "10.1.1.1", huge.c_str()}), exit_usage);
  std::string message = testing::internal::GetCapturedStderr();
  EXPECT_LT(message.size(), 160u);
  EXPECT_NE(message.find("...': not a decimal number"), std::string::npos) << message;

  // Cut short at a character's start, never inside a UTF-8 sequence: each
  // of 1, 2 and 3 ASCII bytes ahead moves the cut within the 2-byte "é".
  for (std::size_t lead = 1; lead <= 3; ++lead) {
    std::string text(lead, 'x');
    for (int i = 0; i < 60; ++i) {
      text += "\xc3\xa9";
    }
    testing::internal::CaptureStderr();
    EXPECT_EQ(start({"x", text.c_str(), "10.1.1.1", "5000"}), exit_usage);
    std::string said = testing::internal::GetCapturedStderr();
    std::size_t cut = said.find("...'");
    ASSERT_NE(cut, std::string::npos) << said;
    EXPECT_NE(static_cast<unsigned char>(said[cut - 1]), 0xc3u) << "a lead byte without its tail";
    EXPECT_EQ(said.substr(cut - 2, 2), "\xc3\xa9") << said;
  }
}

TEST_F(Core, ReadyAfterBindAndOneJoinOnInterfaceZero) {
  EXPECT_EQ(start({"x", "232.1.2.3", "10.1.1.1", "5000", "ignored", "too"}), 0);
  EXPECT_EQ(fake.sockets_opened, 1);
  ASSERT_EQ(fake.binds.size(), 1u);
  EXPECT_EQ(fake.binds[0], 5000);
  ASSERT_EQ(fake.memberships.size(), 1u);
  EXPECT_EQ(fake.memberships[0].group, ipv4(232, 1, 2, 3)) << "operand 1 is the group";
  EXPECT_EQ(fake.memberships[0].source, ipv4(10, 1, 1, 1)) << "operand 2 is the source";
  EXPECT_EQ(fake.memberships[0].interface_address, 0u);
  EXPECT_EQ(ipv4_value(receiver.channel.group), ipv4(232, 1, 2, 3));
  EXPECT_EQ(ipv4_value(receiver.channel.source), ipv4(10, 1, 1, 1));
  EXPECT_EQ(receiver.channel.port, 5000);
  EXPECT_TRUE(receiver.joined);
  EXPECT_EQ(fake.output, "");
  EXPECT_EQ(fake.stops_caught, 1) << "a stop writes out the lines held from now on";
}

TEST_F(Core, StartUpFailuresStopWithStatusTwo) {
  testing::internal::CaptureStderr();
  fake.start_result = -1;
  EXPECT_EQ(start({"x", "232.1.2.3", "10.1.1.1", "5000"}), exit_failure);
  EXPECT_EQ(testing::internal::GetCapturedStderr(),
            "ssm_test: start the sockets library: fake socket failure\n");

  reset_fake();
  testing::internal::CaptureStderr();
  fake.socket_fails = true;
  EXPECT_EQ(start({"x", "232.1.2.3", "10.1.1.1", "5000"}), exit_failure);
  EXPECT_EQ(testing::internal::GetCapturedStderr(),
            "ssm_test: open a UDP socket: fake socket failure\n");

  reset_fake();
  testing::internal::CaptureStderr();
  fake.bind_result = -1;
  EXPECT_EQ(start({"x", "232.1.2.3", "10.1.1.1", "5000"}), exit_failure);
  EXPECT_EQ(testing::internal::GetCapturedStderr(),
            "ssm_test: bind to port 5000: fake socket failure\n");
  EXPECT_TRUE(fake.memberships.empty()) << "no join without a bound socket";
  EXPECT_EQ(fake.output, "");
}

TEST_F(Core, StandardOutputClosedStopsBeforeAnySocket) {
  fake.stdout_closed = true;
  testing::internal::CaptureStderr();
  EXPECT_EQ(start({"x", "232.1.2.3", "10.1.1.1", "5000"}), exit_failure);
  EXPECT_EQ(testing::internal::GetCapturedStderr(),
            "ssm_test: write to standard output: it is closed\n");
  EXPECT_EQ(fake.sockets_opened, 0);
}

TEST_F(Core, PortZeroSaysWhichPortTheSystemChose) {
  testing::internal::CaptureStderr();
  EXPECT_EQ(start({"x", "232.1.2.3", "10.1.1.1", "0"}), 0);
  EXPECT_EQ(testing::internal::GetCapturedStderr(),
            "ssm_test: port 0: the system chose port 40000\n");
  testing::internal::CaptureStderr();
  EXPECT_EQ(start({"x", "232.1.2.3", "10.1.1.1", "5000"}), 0);
  EXPECT_EQ(testing::internal::GetCapturedStderr(), "") << "a port given is not repeated";
}

TEST_F(Core, Ipv6OperandsMakeAnIpv6ChannelJoinedByIndex) {
  fake.interfaces = {{"eth1", 3}};
  ssm_address group = peer6(0xff3e, 0, 0, 0, 0, 0, 0x8000, 1);
  ssm_address source = peer6(0xfd00, 0x77, 0, 0, 0, 0, 0, 1);
  struct {
    const char* group_text;
    unsigned index;
  } cases[] = {{"ff3e::8000:1", 0}, {"ff3e::8000:1%eth1", 3}, {"FF3E:0::8000:1%7", 7}};
  for (const auto& c : cases) {
    reset_fake();
    fake.interfaces = {{"eth1", 3}};
    EXPECT_EQ(start({"x", c.group_text, "fd00:77::1", "5000"}), 0) << c.group_text;
    EXPECT_EQ(fake.families, (std::vector<ssm_family>{ssm_ipv6}));
    ASSERT_EQ(fake.memberships.size(), 1u);
    const fake_membership& joined = fake.memberships[0];
    EXPECT_TRUE(joined.by_index);
    EXPECT_EQ(joined.interface_index, c.index) << c.group_text;
    EXPECT_EQ(std::memcmp(joined.group_address.bytes, group.bytes, 16), 0);
    EXPECT_EQ(std::memcmp(joined.source_address.bytes, source.bytes, 16), 0);
    EXPECT_EQ(receiver.membership_interface, c.index) << "a named interface is the one held";
  }
  // IPv4 on a named interface goes by index too; without one, as always.
  reset_fake();
  fake.interfaces = {{"eth1", 3}};
  EXPECT_EQ(start({"x", "232.1.2.3%eth1", "10.1.1.1", "5000"}), 0);
  ASSERT_EQ(fake.memberships.size(), 1u);
  EXPECT_TRUE(fake.memberships[0].by_index);
  EXPECT_EQ(fake.memberships[0].interface_index, 3u);
  EXPECT_EQ(fake.families, (std::vector<ssm_family>{ssm_ipv4}));
}

TEST_F(Core, InterfaceThatIsNotThereIsARefusedMembership) {
  testing::internal::CaptureStderr();
  EXPECT_EQ(start({"x", "ff3e::8000:1%eth9", "fd00:77::1", "5000"}), 0);
  EXPECT_EQ(testing::internal::GetCapturedStderr(),
            "ssm_test: warning: join group ff3e::8000:1%eth9 from source fd00:77::1: "
            "no such interface\n");
  EXPECT_FALSE(receiver.joined);
  EXPECT_TRUE(fake.memberships.empty()) << "nothing asked of the system";
}

TEST_F(Core, InterfaceIndexThatIsNotThereHasTheSameWording) {
  for (const char* group : {"ff3e::8000:1%7", "232.1.2.3%7"}) {
    reset_fake();
    fake.gone = {7};
    const char* source = group[0] == 'f' ? "fd00:77::1" : "10.1.1.1";
    testing::internal::CaptureStderr();
    EXPECT_EQ(start({"x", group, source, "5000"}), 0);
    EXPECT_EQ(testing::internal::GetCapturedStderr(),
              std::string("ssm_test: warning: join group ") + group + " from source " + source +
                  ": no such interface\n");
    EXPECT_TRUE(fake.memberships.empty()) << group;
  }
}

TEST_F(Core, Ipv6SocketIsBoundToTheNamedInterface) {
  struct {
    const char* group;
    const char* source;
    std::vector<unsigned> bound;
  } cases[] = {{"ff3e::8000:1%eth1", "fd00:77::1", {3}},
               {"ff3e::8000:1%5", "fd00:77::1", {5}},
               {"ff3e::8000:1", "fd00:77::1", {}},
               {"232.1.2.3%eth1", "10.1.1.1", {}}};  // IPv4 filters by interface itself
  for (const auto& c : cases) {
    reset_fake();
    fake.interfaces = {{"eth1", 3}};
    testing::internal::CaptureStderr();
    EXPECT_EQ(start({"x", c.group, c.source, "5000"}), 0);
    EXPECT_EQ(testing::internal::GetCapturedStderr(), "") << c.group;
    EXPECT_EQ(fake.bound, c.bound) << c.group;
  }
  // Bound again only when the name's index changes; a refusal is said once.
  reset_fake();
  fake.interfaces = {{"eth1", 3}};
  EXPECT_EQ(start({"x", "ff3e::8000:1%eth1", "fd00:77::1", "5000"}), 0);
  const char* reason = nullptr;
  EXPECT_EQ(renew_ssm_membership(&receiver, &reason), 0);
  EXPECT_EQ(fake.bound, (std::vector<unsigned>{3})) << "same index: bound already";
  fake.interfaces = {{"eth1", 8}};
  fake.gone = {3};
  fake.bind_interface_result = -1;
  testing::internal::CaptureStderr();
  EXPECT_EQ(renew_ssm_membership(&receiver, &reason), 0);
  warn_unbound_interface("ssm_test", &receiver);
  EXPECT_EQ(renew_ssm_membership(&receiver, &reason), 0);
  warn_unbound_interface("ssm_test", &receiver);
  EXPECT_EQ(testing::internal::GetCapturedStderr(),
            "ssm_test: warning: bind to interface eth1: fake socket failure\n");
  EXPECT_EQ(fake.bound, (std::vector<unsigned>{3, 8}));
  EXPECT_EQ(fake.memberships.back().interface_index, 8u) << "joined all the same";
}

TEST_F(Core, FamiliesAndSuffixesThatCannotBe) {
  struct {
    std::vector<const char*> args;
    const char* message;
  } cases[] = {
      {{"x", "232.1.2.3", "fd00:77::1", "5000"},
       "ssm_test: group '232.1.2.3' and source 'fd00:77::1': not of one address family\n"},
      {{"x", "ff3e::8000:1", "10.1.1.1", "5000"},
       "ssm_test: group 'ff3e::8000:1' and source '10.1.1.1': not of one address family\n"},
      {{"x", "ff3e::8000:g", "fd00:77::1", "5000"},
       "ssm_test: group 'ff3e::8000:g': not an IPv6 address\n"},
      {{"x", "ff3e::8000:1", "fd00:77::1%eth0", "5000"},
       "ssm_test: source 'fd00:77::1%eth0': the interface goes on the group "
       "(<group>%<interface>), not on the source\n"},
      {{"x", "::ffff:232.1.2.3", "::ffff:10.1.1.1", "5000"},
       "ssm_test: group '::ffff:232.1.2.3': an IPv4-mapped IPv6 address: write the IPv4 "
       "address (232.1.2.3)\n"},
      {{"x", "ff3e::8000:1%eth0", "::FFFF:a01:101", "5000"},
       "ssm_test: source '::FFFF:a01:101': an IPv4-mapped IPv6 address: write the IPv4 "
       "address (10.1.1.1)\n"},
      {{"x", "232.1.2.3%", "10.1.1.1", "5000"},
       "ssm_test: group '232.1.2.3%': the interface after '%' must be a name of 1 to 15 "
       "characters or an index\n"},
      {{"x", "ff3e::1%abcdefghijklmnop", "fd00:77::1", "5000"},
       "ssm_test: group 'ff3e::1%abcdefghijklmnop': the interface after '%' must be a name of "
       "1 to 15 characters or an index\n"},
      {{"x", "232.1.2%eth1", "10.1.1.1", "5000"},
       "ssm_test: group '232.1.2%eth1': not a dotted-decimal IPv4 address\n"},
  };
  for (const auto& c : cases) {
    reset_fake();
    testing::internal::CaptureStderr();
    EXPECT_EQ(start(c.args), exit_usage);
    EXPECT_EQ(testing::internal::GetCapturedStderr(), c.message);
    EXPECT_EQ(fake.sockets_opened, 0);
  }
}

TEST_F(Core, RefusedJoinWarnsAndGoesOn) {
  fake.membership_result = -1;
  testing::internal::CaptureStderr();
  EXPECT_EQ(start({"x", "232.1.2.3", "10.1.1.1", "5000"}), 0);
  EXPECT_EQ(testing::internal::GetCapturedStderr(),
            "ssm_test: warning: join group 232.1.2.3 from source 10.1.1.1: fake socket failure\n");
  EXPECT_FALSE(receiver.joined);
  EXPECT_EQ(fake.output, "");
}

TEST_F(Core, JoinGroupPassesItsArgumentsAndResult) {
  fake.membership_result = -1;
  EXPECT_EQ(join_ssm_group(7, ipv4(232, 9, 9, 9), ipv4(10, 2, 2, 2), 0), -1);
  fake.membership_result = 0;
  EXPECT_EQ(join_ssm_group(7, ipv4(232, 9, 9, 9), ipv4(10, 2, 2, 2), 0), 0);
  ASSERT_EQ(fake.memberships.size(), 2u);
  EXPECT_EQ(fake.memberships[1].group, ipv4(232, 9, 9, 9));
  EXPECT_EQ(fake.memberships[1].source, ipv4(10, 2, 2, 2));
}

TEST_F(Core, OneLinePerDatagram) {
  fake.datagrams.push_back({4, peer(10, 1, 1, 1), {0x01, 0x00, 0x00, 0x00}});
  fake.datagrams.push_back({5, peer(10, 1, 1, 1), {0x00, 0x00, 0x00, 0x01, 0xaa}});
  fake.datagrams.push_back({4, peer(10, 1, 1, 1), {0xff, 0xff, 0xff, 0xff}});
  EXPECT_EQ(report(), report_printed);
  EXPECT_EQ(report(), report_printed);
  EXPECT_EQ(report(), report_printed);
  EXPECT_EQ(fake.output,
            "    10.1.1.1:seq=     1:len=   4\n"
            "    10.1.1.1:seq=16777216:len=   5\n"
            "    10.1.1.1:seq=    -1:len=   4\n");
}

TEST_F(Core, FailedReceiveFirstShowsZeroes) {
  fake.datagrams.push_back({-1, {}, {}});
  EXPECT_EQ(report(), report_printed);
  EXPECT_EQ(fake.output, "     0.0.0.0:seq=     0:len=  -1\n");
}

TEST_F(Core, FailedReceiveShowsTheDatagramBefore) {
  fake.datagrams.push_back({6, peer(10, 1, 1, 1), {0x2a, 0, 0, 0, 9, 9}});
  fake.datagrams.push_back({-1, peer(9, 9, 9, 9), {0x01, 0x01, 0x01, 0x01}});
  report();
  report();
  EXPECT_EQ(fake.output,
            "    10.1.1.1:seq=    42:len=   6\n"
            "    10.1.1.1:seq=    42:len=  -1\n");
}

TEST_F(Core, ShortDatagramsCountMissingBytesAsZero) {
  fake.datagrams.push_back({8, peer(10, 1, 1, 1), {0x11, 0x22, 0x33, 0x44, 1, 2, 3, 4}});
  fake.datagrams.push_back({2, peer(10, 2, 2, 2), {0x05, 0x01}});
  fake.datagrams.push_back({0, peer(10, 1, 1, 1), {}});
  fake.datagrams.push_back({3, peer(10, 1, 1, 1), {0xff, 0xff, 0xff}});
  fake.datagrams.push_back({-1, {}, {}});
  for (int i = 0; i < 5; ++i) {
    report();
  }
  EXPECT_EQ(fake.output,
            "    10.1.1.1:seq=1144201745:len=   8\n"
            "    10.2.2.2:seq=   261:len=   2\n"
            "    10.1.1.1:seq=     0:len=   0\n"
            "    10.1.1.1:seq=16777215:len=   3\n"
            "    10.1.1.1:seq=16777215:len=  -1\n");
  EXPECT_EQ(buffer[4], 1) << "bytes past the sequence field are not cleared";
}

TEST_F(Core, NothingReceivedGivesNoLine) {
  EXPECT_EQ(report(), report_nothing);
  EXPECT_EQ(fake.output, "");
  EXPECT_EQ(fake.writes, 0);
}

TEST_F(Core, ReceiveWaitsAsAsked) {
  fake.datagrams.push_back({4, peer(10, 1, 1, 1), {1, 0, 0, 0}});
  report(receive_wait_forever);
  report(receive_no_wait);
  EXPECT_EQ(fake.receive_waits, (std::vector<int>{receive_wait_forever, receive_no_wait}));
}

TEST_F(Core, LinesAreGatheredIntoFewWrites) {
  for (int i = 0; i < 300; ++i) {
    fake.datagrams.push_back({4, peer(10, 1, 1, 1), {static_cast<unsigned char>(i), 0, 0, 0}});
  }
  for (int i = 0; i < 300; ++i) {
    ASSERT_EQ(receive_and_report(7, buffer, &sender, receive_no_wait, &pace), report_printed);
  }
  EXPECT_TRUE(output_pending());
  EXPECT_EQ(flush_output(), 0);
  EXPECT_FALSE(output_pending());
  EXPECT_LE(fake.writes, 2);
  std::string expected;
  for (int i = 0; i < 300; ++i) {
    char line[64];
    std::snprintf(line, sizeof line, "    10.1.1.1:seq=%6d:len=   4\n", i % 256);
    expected += line;
  }
  EXPECT_EQ(fake.output, expected) << "every line, in order, none cut at a block boundary";
}

TEST_F(Core, OutputFailureIsReported) {
  fake.write_result = -1;
  for (int i = 0; i < 1000; ++i) {
    fake.datagrams.push_back({4, peer(10, 1, 1, 1), {1, 0, 0, 0}});
  }
  report_result result = report_printed;
  for (int i = 0; i < 1000 && result == report_printed; ++i) {
    result = receive_and_report(7, buffer, &sender, receive_no_wait, &pace);
  }
  EXPECT_EQ(result, report_output_failed) << "once the held block cannot be written";
  fake.write_result = 0;
}

// ssm_listen's batched receive: the same lines, however the datagrams fall
// into batches and slots.
class Batch : public Core {
 protected:
  report_result take(int wait_ms = receive_no_wait) {
    report_result result = receive_and_report_batch(7, batch.get(), wait_ms, &pace);
    flush_output();
    return result;
  }

  std::unique_ptr<report_batch> batch{new report_batch()};
};

TEST_F(Batch, LinesKeepArrivalOrderAcrossBatches) {
  std::string expected;
  for (int i = 0; i < 2 * report_batch_slots + 6; ++i) {
    fake.datagrams.push_back({4, peer(10, 1, 1, 1), {static_cast<unsigned char>(i), 0, 0, 1}});
    expected += line("10.1.1.1", i + (1 << 24), 4);
  }
  EXPECT_EQ(take(receive_wait_forever), report_printed);
  EXPECT_EQ(take(), report_printed);
  EXPECT_EQ(take(), report_drained) << "a short batch: nothing more queued";
  EXPECT_EQ(take(), report_nothing);
  EXPECT_EQ(fake.batch_sizes, (std::vector<int>{report_batch_slots, report_batch_slots, 6, 0}));
  EXPECT_EQ(fake.receive_waits.front(), receive_wait_forever);
  EXPECT_EQ(fake.output, expected);

  // A partial batch: the queue ran dry after three.
  reset_fake();
  for (unsigned char sequence = 1; sequence <= 3; ++sequence) {
    fake.datagrams.push_back({4, peer(10, 2, 2, 2), {sequence, 0, 0, 0}});
  }
  fake.datagrams.push_back({receive_nothing, {}, {}});
  fake.datagrams.push_back({4, peer(10, 2, 2, 2), {4, 0, 0, 0}});
  EXPECT_EQ(take(), report_drained);
  EXPECT_EQ(take(), report_drained);
  EXPECT_EQ(fake.batch_sizes, (std::vector<int>{3, 1}));
  EXPECT_EQ(fake.output, line("10.2.2.2", 1, 4) + line("10.2.2.2", 2, 4) +
                             line("10.2.2.2", 3, 4) + line("10.2.2.2", 4, 4));

  // Where the system takes one datagram a call, one is not a dry queue.
  reset_fake();
  fake.batch_limit = 1;
  fake.datagrams.push_back({4, peer(10, 2, 2, 2), {5, 0, 0, 0}});
  EXPECT_EQ(take(receive_wait_forever), report_printed);
  EXPECT_EQ(take(), report_nothing);
  EXPECT_EQ(fake.output, line("10.2.2.2", 5, 4));
}

TEST_F(Batch, FailedReceiveRepeatsTheDatagramBeforeItWhateverTheSlot) {
  fake.datagrams.push_back({-1, {}, {}});  // before any datagram
  fake.datagrams.push_back({4, peer(10, 1, 1, 1), {9, 0, 0, 0}});
  fake.datagrams.push_back({4, peer(10, 1, 1, 1), {99, 0, 0, 0}});  // slot 1
  fake.datagrams.push_back({receive_nothing, {}, {}});
  fake.datagrams.push_back({6, peer(10, 2, 2, 2), {42, 0, 0, 0, 7, 7}});
  fake.datagrams.push_back({-1, peer(9, 9, 9, 9), {1, 1, 1, 1}});  // in slot 1, within a batch
  fake.datagrams.push_back({-1, {}, {}});                           // first of the next batch
  // A failure says nothing of the queue: the loop receives again at once.
  EXPECT_EQ(take(), report_printed);
  EXPECT_EQ(take(), report_drained);
  EXPECT_EQ(take(), report_printed);
  EXPECT_EQ(take(), report_printed);
  EXPECT_EQ(fake.batch_sizes, (std::vector<int>{1, 2, 2, 1}));
  EXPECT_EQ(fake.output, line("0.0.0.0", 0, -1) + line("10.1.1.1", 9, 4) +
                             line("10.1.1.1", 99, 4) + line("10.2.2.2", 42, 6) +
                             line("10.2.2.2", 42, -1) + line("10.2.2.2", 42, -1));
}

TEST_F(Batch, ShortAndLargestDatagramsInReusedSlots) {
  fake.datagrams.push_back({8, peer(10, 1, 1, 1), {0x11, 0x22, 0x33, 0x44, 1, 2, 3, 4}});
  fake.datagrams.push_back({8, peer(10, 1, 1, 1), {0x55, 0x66, 0x77, 0x08, 5, 6, 7, 8}});
  fake.datagrams.push_back({receive_nothing, {}, {}});
  // The same two slots again: short datagrams must not show what is left there.
  fake.datagrams.push_back({2, peer(10, 2, 2, 2), {0x05, 0x01}});
  fake.datagrams.push_back({0, peer(10, 1, 1, 1), {}});
  fake.datagrams.push_back({65507, peer(10, 1, 1, 1), {1, 2, 3, 4}, 0xab});
  fake.datagrams.push_back({3, peer(10, 1, 1, 1), {0xff, 0xff, 0xff}});
  EXPECT_EQ(take(), report_drained);
  EXPECT_EQ(take(), report_drained);
  EXPECT_EQ(fake.output, line("10.1.1.1", 0x44332211, 8) + line("10.1.1.1", 0x08776655, 8) +
                             line("10.2.2.2", 0x0105, 2) + line("10.1.1.1", 0, 0) +
                             line("10.1.1.1", 0x04030201, 65507) +
                             line("10.1.1.1", 0x00ffffff, 3));
  EXPECT_EQ(batch->slots[0][4], 1) << "bytes past the sequence field are not cleared";
  EXPECT_EQ(batch->slots[2][65506], 0xab) << "the largest datagram is received whole";
}
