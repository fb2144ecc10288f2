// The host's checks on a scripted platform: which warning, in what words,
// and when nothing is said, Windows' answers among them; the drop lines and
// how often the count is read.
#include <gtest/gtest.h>

#include <cstring>
#include <string>
#include <vector>

#include "core/drop_watch.h"
#include "core/host_checks.h"
#include "core/output.h"
#include "core/ssm_receiver.h"
#include "tests/unit/fake_platform.h"

namespace {

class HostChecks : public ::testing::Test {
 protected:
  void SetUp() override {
    reset_fake();
    fake.interfaces = {{"eth0", 3}, {"eth1", 4}, {"lo", 1}};
    fake.membership_index = 3;
    fake.protocol = {3, 0, false};
  }

  // Starts a receiver on the fake and returns what it said on standard error.
  std::string start(const char* group = "232.1.2.3", const char* source = "10.1.1.1") {
    std::vector<const char*> args = {"ssm_test", group, source, "5000", nullptr};
    testing::internal::CaptureStderr();
    int status = open_ssm_receiver(4, const_cast<char**>(args.data()), "ssm_test", &receiver);
    std::string said = testing::internal::GetCapturedStderr();
    EXPECT_EQ(status, 0);
    flush_output();
    return said;
  }

  ssm_receiver receiver{};
};

const char igmp_tail[] = ": its reports name no source, and routers serving SSM ignore them\n";

}  // namespace

TEST_F(HostChecks, ReversePathFilteringIsOneWarningInTheKernelsWords) {
  fake.input_route = route_refused;
  fake.rp_own = 1;
  fake.rp_all = 0;
  fake.route_back = 1;
  fake.route_back_index = 4;
  EXPECT_EQ(start(), "ssm_test: warning: reverse-path filtering (rp_filter 1 on eth0) drops "
                     "datagrams from 10.1.1.1: its route leaves by eth1\n");
  EXPECT_EQ(fake.input_routes_asked, 1);

  // `all` above the interface's own, and no route back at all.
  fake.rp_own = 0;
  fake.rp_all = 2;
  fake.route_back = 0;
  EXPECT_EQ(start("232.1.2.3%eth0"),
            "ssm_test: warning: reverse-path filtering (rp_filter 2 on all interfaces, over 0 "
            "on eth0) drops datagrams from 10.1.1.1: no route leads back to it\n");

  // Refused with no filtering set, and no route lookup possible: still said.
  fake.rp_all = 0;
  fake.route_back = route_unknown;
  EXPECT_EQ(start(),
            "ssm_test: warning: the input route check on eth0 drops datagrams from 10.1.1.1\n");
}

TEST_F(HostChecks, SilentWhereNothingBlocksOrNothingCanBeKnown) {
  fake.input_route = route_refused;
  fake.rp_own = 1;
  fake.protocol = {2, 2, false};
  fake.loopbacks = {3};
  EXPECT_EQ(start(), "") << "a loopback membership";
  fake.loopbacks.clear();
  fake.source_local = true;
  fake.source_on_interface = 3;
  EXPECT_EQ(start(), "") << "this host's own sender on that interface: the loop brings it";
  fake.source_local = false;
  fake.source_on_interface = 0;
  fake.protocol = {3, 0, false};
  fake.input_route = route_delivered;
  EXPECT_EQ(start(), "") << "the kernel lets it through";
  fake.input_route = route_unknown;
  EXPECT_EQ(start(), "") << "no verdict: no guess";
  fake.input_route = route_refused;
  fake.membership_index = 0;
  EXPECT_EQ(start(), "") << "the interface is not known";
  int asked = fake.input_routes_asked;
  fake.membership_index = 3;
  fake.membership_result = -1;
  EXPECT_EQ(start(), "ssm_test: warning: join group 232.1.2.3 from source 10.1.1.1: "
                     "fake socket failure\n");
  EXPECT_EQ(fake.input_routes_asked, asked) << "no check without a membership";
}

TEST_F(HostChecks, OwnSourceOverALinkIsAMartianUnlessLetIn) {
  fake.input_route = route_refused;
  fake.source_local = true;
  fake.rp_own = 0;
  fake.rp_all = 0;
  EXPECT_EQ(start(), "ssm_test: warning: 10.1.1.1 is an address of this host: what comes in "
                     "from it on eth0 is dropped as a martian "
                     "(net.ipv4.conf.eth0.accept_local=1 lets it in)\n");
  // Let in by accept_local: the kernel's refusal is the reverse path's.
  fake.accept_local = 1;
  fake.rp_own = 1;
  fake.route_back = 0;
  EXPECT_EQ(start(), "ssm_test: warning: reverse-path filtering (rp_filter 1 on eth0) drops "
                     "datagrams from 10.1.1.1: no route leads back to it\n");
  EXPECT_FALSE(receiver.host.martian_source);
  fake.input_route = route_delivered;
  EXPECT_EQ(start(), "") << "let in";
}

TEST_F(HostChecks, DownInterfaceIsSaidOnceAndCheckedAgainOnceUp) {
  // Down, the kernel refuses every route in: its verdict would be wrong
  // about a stream that comes once the interface is up.
  fake.input_route = route_refused;
  fake.rp_own = 1;
  fake.down = {3};
  EXPECT_EQ(start("232.1.2.3%eth0"),
            "ssm_test: warning: eth0 is down: nothing comes in on it until it is up\n");
  EXPECT_EQ(fake.input_routes_asked, 0);
  testing::internal::CaptureStderr();
  check_host_blockers("ssm_test", &receiver);
  EXPECT_EQ(testing::internal::GetCapturedStderr(), "") << "still down: said once";
  fake.down.clear();
  fake.input_route = route_delivered;
  testing::internal::CaptureStderr();
  check_host_blockers("ssm_test", &receiver);
  EXPECT_EQ(testing::internal::GetCapturedStderr(), "");
  EXPECT_FALSE(receiver.host.interface_down);
  EXPECT_EQ(fake.input_routes_asked, 1);
}

TEST_F(HostChecks, OlderGroupProtocolsNameTheirCause) {
  fake.protocol = {2, 2, false};
  EXPECT_EQ(start(), std::string("ssm_test: warning: eth0 speaks IGMPv2 "
                                 "(net.ipv4.conf.eth0.force_igmp_version=2)") + igmp_tail);
  fake.protocol = {1, 1, true};
  EXPECT_EQ(start(), std::string("ssm_test: warning: eth0 speaks IGMPv1 "
                                 "(net.ipv4.conf.all.force_igmp_version=1)") + igmp_tail);
  fake.protocol = {2, 0, false};
  EXPECT_EQ(start(), std::string("ssm_test: warning: eth0 speaks IGMPv2 "
                                 "(a router on the link queries in IGMPv2)") + igmp_tail);
  // IPv6: MLDv1 only; Linux filters no IPv6 reverse path.
  fake.input_route = route_refused;
  fake.protocol = {1, 1, false};
  int asked = fake.input_routes_asked;
  EXPECT_EQ(start("ff3e::8000:1%eth0", "fd00:77::1"),
            std::string("ssm_test: warning: eth0 speaks MLDv1 "
                        "(net.ipv6.conf.eth0.force_mld_version=1)") + igmp_tail);
  EXPECT_EQ(fake.input_routes_asked, asked);
  fake.protocol = {2, 0, false};
  EXPECT_EQ(start("ff3e::8000:1%eth0", "fd00:77::1"), "");
}

TEST_F(HostChecks, DropsAreSaidAtMostOnceASecondWithTheTotal) {
  drop_watch watch;
  drop_watch_start(&watch, 7);
  const std::int64_t second = drop_look_every_us;
  auto look = [&watch](std::int64_t now_us) {
    testing::internal::CaptureStderr();
    watch_host_drops("ssm_test", &watch, now_us);
    return testing::internal::GetCapturedStderr();
  };
  fake.queue_bytes = 425984;
  fake.drops = 0;
  EXPECT_EQ(look(10 * second), "");
  EXPECT_EQ(fake.drop_read_times.size(), 1u) << "the first look reads at once";
  fake.drops = 29918;
  EXPECT_EQ(look(10 * second + second / 2), "");
  EXPECT_EQ(fake.drop_read_times.size(), 1u) << "not again within the second";
  fake.queue_limit = "net.core.rmem_max";
  EXPECT_EQ(look(11 * second),
            "ssm_test: this host dropped 29,918 datagrams before they were read (29,918 in all; "
            "receive queue 416 KiB: raise net.core.rmem_max)\n");
  EXPECT_EQ(look(12 * second), "") << "no growth, no line";
  fake.drops = 1234567;
  fake.queue_limit = nullptr;
  fake.queue_bytes = 8388608;
  EXPECT_EQ(look(13 * second),
            "ssm_test: this host dropped 1,204,649 datagrams before they were read "
            "(1,234,567 in all; receive queue 8,192 KiB)\n");
  // At the end the count is read whatever the time.
  fake.drops = 1234568;
  std::size_t reads = fake.drop_read_times.size();
  testing::internal::CaptureStderr();
  watch_host_drops_at_end("ssm_test", &watch);
  EXPECT_EQ(testing::internal::GetCapturedStderr(),
            "ssm_test: this host dropped 1 datagram before it was read (1,234,568 in all; "
            "receive queue 8,192 KiB)\n");
  EXPECT_EQ(fake.drop_read_times.size(), reads + 1);
  // A receiver that never finds its queue dry looks after so many receives.
  fake.now_us = 20 * second;
  fake.drops = 1234570;
  testing::internal::CaptureStderr();
  for (int i = 0; i < 63; ++i) {
    watch_host_drops_after("ssm_test", &watch, 1);
  }
  EXPECT_EQ(testing::internal::GetCapturedStderr(), "");
  testing::internal::CaptureStderr();
  watch_host_drops_after("ssm_test", &watch, 1);
  EXPECT_NE(testing::internal::GetCapturedStderr().find("(1,234,570 in all"), std::string::npos);
  // Where the system does not count, nothing is ever said.
  fake.drops = -1;
  EXPECT_EQ(look(30 * second), "");
}

namespace {

// What a Windows host answers: no input route verdict of its own, and a
// firewall that blocks the port on the public profile.
void script_windows_blocking() {
  fake.judges_input_route = false;
  fake.protocol = group_protocol{};
  fake.firewall.asked = true;
  fake.firewall.profiles_answer = {answer_given, 0};
  fake.firewall.profile_count = 1;
  fake.firewall.profiles[0] = {"public", {answer_given, 0}, true};
  fake.firewall.rules_answer = {answer_given, 0};
  fake.firewall.rule_count = 300;
  fake.firewall.port_answer = {answer_given, 0};
  fake.firewall.port_allowed = false;
  std::strcpy(fake.firewall.program, "C:\\ssm\\ssm_test.exe");
}

const char firewall_warning[] =
    "ssm_test: warning: Windows Firewall blocks inbound UDP to C:\\ssm\\ssm_test.exe port 5000 "
    "on the public profile: allow it with netsh advfirewall firewall add rule name=\"ssm_test "
    "5000\" dir=in action=allow program=\"C:\\ssm\\ssm_test.exe\" protocol=UDP localport=5000 "
    "profile=public\n";

}  // namespace

TEST_F(HostChecks, BlockingFirewallIsOneWarningWithTheCommand) {
  script_windows_blocking();
  EXPECT_EQ(start(), firewall_warning);
  // Said once: a later join that finds it still blocking says nothing.
  testing::internal::CaptureStderr();
  check_host_blockers("ssm_test", &receiver);
  EXPECT_EQ(testing::internal::GetCapturedStderr(), "");
  // Unicast still comes after a refused join: the firewall is still asked.
  fake.membership_result = -1;
  EXPECT_EQ(start(), std::string("ssm_test: warning: join group 232.1.2.3 from source 10.1.1.1: "
                                 "fake socket failure\n") + firewall_warning);
  // A non-answer is no warning.
  fake.membership_result = 0;
  fake.firewall.port_answer = {answer_not_implemented, 0};
  EXPECT_EQ(start(), "");
  EXPECT_EQ(receiver.host.firewall.state, firewall_cannot_say);
}

TEST_F(HostChecks, MembershipOffTheRouteToTheSourceIsSaidWhereTheSystemJudgesNothing) {
  fake.route_back = 1;
  fake.route_back_index = 4;
  EXPECT_EQ(start(), "") << "the kernel's own input route verdict speaks instead (Linux)";
  fake.judges_input_route = false;
  EXPECT_EQ(start(), "ssm_test: warning: the system chose eth0 for the membership, but the route "
                     "to 10.1.1.1 leaves by eth1: name that interface, as 232.1.2.3%4\n");
  EXPECT_TRUE(receiver.host.chosen_off_route);
  EXPECT_EQ(start("232.1.2.3%eth0"), "") << "named: the user's choice";
  fake.route_back_index = 3;
  EXPECT_EQ(start(), "") << "the route's own interface";
  fake.route_back = route_unknown;
  fake.route_back_index = 4;
  EXPECT_EQ(start(), "") << "no route known: no guess";
}

TEST_F(HostChecks, WindowsIgmpSettingIsNamedAsTheRegistryHasIt) {
  fake.judges_input_route = false;
  fake.protocol = {2, 2, true};
  fake.protocol.setting = "HKLM\\SYSTEM\\CurrentControlSet\\Services\\Tcpip\\Parameters\\IGMPVersion";
  fake.protocol.setting_value = 3;
  EXPECT_EQ(start(), std::string("ssm_test: warning: eth0 speaks IGMPv2 (HKLM\\SYSTEM\\"
                                 "CurrentControlSet\\Services\\Tcpip\\Parameters\\IGMPVersion=3)") +
                         igmp_tail);
  fake.protocol = group_protocol{};
  fake.protocol.unknown_why = "no IGMPVersion value";
  EXPECT_EQ(start(), "");
  EXPECT_STREQ(receiver.host.version_unknown_why, "no IGMPVersion value");
}
