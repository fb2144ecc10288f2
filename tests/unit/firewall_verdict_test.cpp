// The firewall's verdict from its own answers: what each answer gives, in
// what words, and that nothing but a real answer ever gives "allowed".
#include "core/firewall_verdict.h"

#include <gtest/gtest.h>

#include <cstring>
#include <string>

namespace {

const char program[] = "C:\\tools\\ssm_watch.exe";

// A Windows with two networks, private and public, the firewall on for both
// and its rules in place, whose evaluation of the port says allowed.
firewall_facts windows_allowing() {
  firewall_facts facts{};
  facts.asked = true;
  facts.profiles_answer = {answer_given, 0};
  facts.profile_count = 2;
  facts.profiles[0] = {"private", {answer_given, 0}, true};
  facts.profiles[1] = {"public", {answer_given, 0}, true};
  facts.rules_answer = {answer_given, 0};
  facts.rule_count = 412;
  facts.port_answer = {answer_given, 0};
  facts.port_allowed = true;
  std::strcpy(facts.program, program);
  return facts;
}

struct decided {
  firewall_state state;
  std::string words;  // as the report's firewall line says it
};

decided decide(const firewall_facts& facts) {
  firewall_finding found;
  decide_firewall(&facts, 5000, &found);
  char words[1700];
  word_firewall(&found, words, sizeof words);
  return decided{found.state, words};
}

}  // namespace

TEST(FirewallVerdict, AllowedBlockedAndOffInTheFirewallsOwnTerms) {
  firewall_facts facts = windows_allowing();
  decided allowed = decide(facts);
  EXPECT_EQ(allowed.state, firewall_allowed);
  EXPECT_EQ(allowed.words, "allows inbound UDP to port 5000 on the private and public profiles");
  facts.port_restricted = true;
  EXPECT_EQ(decide(facts).words,
            "allows inbound UDP to port 5000 on the private and public profiles, from some "
            "remote addresses only: see that the source is one");

  // Blocked on one profile of two: the firewall is off for the other.
  facts = windows_allowing();
  facts.profiles[0].on = false;
  facts.port_allowed = false;
  facts.port_restricted = true;
  firewall_finding found;
  decide_firewall(&facts, 5000, &found);
  EXPECT_EQ(found.state, firewall_blocked);
  const std::string blocks =
      "blocks inbound UDP to C:\\tools\\ssm_watch.exe port 5000 on the public profile: allow it "
      "with netsh advfirewall firewall add rule name=\"ssm_watch 5000\" dir=in action=allow "
      "program=\"C:\\tools\\ssm_watch.exe\" protocol=UDP localport=5000 profile=public";
  EXPECT_EQ(decide(facts).words, blocks);
  char warning[1700];
  word_firewall_block(&found, warning, sizeof warning);
  EXPECT_EQ(std::string(warning), "Windows Firewall " + blocks);
  facts.profiles[0].on = true;
  EXPECT_EQ(decide(facts).words,
            "blocks inbound UDP to C:\\tools\\ssm_watch.exe port 5000 on the private and public "
            "profiles: allow it with netsh advfirewall firewall add rule name=\"ssm_watch 5000\" "
            "dir=in action=allow program=\"C:\\tools\\ssm_watch.exe\" protocol=UDP "
            "localport=5000 profile=private,public");

  // Off for every active profile: whatever the port's evaluation says.
  facts = windows_allowing();
  facts.profiles[0].on = facts.profiles[1].on = false;
  facts.port_answer = {answer_not_implemented, static_cast<long>(0x80004001UL)};
  decided off = decide(facts);
  EXPECT_EQ(off.state, firewall_off);
  EXPECT_EQ(off.words, "off for the private and public profiles");

  // Linux: not asked, and nothing is said.
  EXPECT_EQ(decide(firewall_facts{}).state, firewall_not_asked);
}

TEST(FirewallVerdict, NothingButARealAnswerAllows) {
  struct row {
    const char* what;
    void (*set)(firewall_facts*);
    const char* words;
  };
  const row rows[] = {
      {"Wine", [](firewall_facts* f) { f->under_wine = true; },
       "cannot say: this is Wine, which has no Windows Firewall to ask"},
      {"profiles not implemented",
       [](firewall_facts* f) { f->profiles_answer = {answer_not_implemented, 0}; },
       "cannot say: its active profiles: not implemented"},
      {"no profile", [](firewall_facts* f) { f->profile_count = 0; },
       "cannot say: it names no active profile"},
      {"on failed",
       [](firewall_facts* f) {
         f->profiles[1].on_answer = {answer_failed, static_cast<long>(0x80070005UL)};
       },
       "cannot say: whether it is on for the public profile: failed (error 0x80070005)"},
      {"rules not implemented",
       [](firewall_facts* f) { f->rules_answer = {answer_not_implemented, 0}; },
       "cannot say: its rules: not implemented"},
      {"empty rule list", [](firewall_facts* f) { f->rule_count = 0; },
       "cannot say: it lists no rules at all"},
      {"port not implemented",
       [](firewall_facts* f) { f->port_answer = {answer_not_implemented, 0}; },
       "cannot say: its evaluation of the port (IsPortAllowed): not implemented"},
      {"port not asked", [](firewall_facts* f) { f->port_answer = system_answer{}; },
       "cannot say: its evaluation of the port (IsPortAllowed): not asked"},
  };
  for (const row& r : rows) {
    firewall_facts facts = windows_allowing();
    r.set(&facts);
    decided said = decide(facts);
    EXPECT_EQ(said.state, firewall_cannot_say) << r.what;
    EXPECT_EQ(said.words, r.words) << r.what;
  }
}
