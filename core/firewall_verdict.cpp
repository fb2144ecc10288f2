#include "core/firewall_verdict.h"

#include <cstdio>
#include <cstring>

namespace {

// Words a call that gave no answer into found->why.
void say_no_answer(const char* question, const system_answer& answer, firewall_finding* found) {
  found->state = firewall_cannot_say;
  if (answer.kind == answer_not_implemented) {
    (void)std::snprintf(found->why, sizeof found->why, "%s: not implemented", question);
  } else if (answer.kind == answer_failed) {
    // An HRESULT, as Windows writes it.
    (void)std::snprintf(found->why, sizeof found->why, "%s: failed (error 0x%08lx)", question,
                        static_cast<unsigned long>(answer.error) & 0xffffffffUL);
  } else {
    (void)std::snprintf(found->why, sizeof found->why, "%s: not asked", question);
  }
}

// Adds a profile's name to the words ("private and public") and to netsh's
// list ("private,public").
void add_profile(firewall_finding* found, const char* name, int count, int of) {
  std::size_t used = std::strlen(found->profiles);
  const char* between = count == 0 ? "" : count + 1 == of ? " and " : ", ";
  (void)std::snprintf(found->profiles + used, sizeof found->profiles - used, "%s%s", between,
                      name);
  used = std::strlen(found->profile_list);
  (void)std::snprintf(found->profile_list + used, sizeof found->profile_list - used, "%s%s",
                      count == 0 ? "" : ",", name);
}

// Names the active profiles whose firewall is on (or, with on false, all of
// them). Returns how many.
int name_profiles(const firewall_facts* facts, bool on, firewall_finding* found) {
  int of = 0;
  for (int i = 0; i < facts->profile_count; ++i) {
    of += !on || facts->profiles[i].on ? 1 : 0;
  }
  int count = 0;
  for (int i = 0; i < facts->profile_count; ++i) {
    if (!on || facts->profiles[i].on) {
      add_profile(found, facts->profiles[i].name, count++, of);
    }
  }
  return count;
}

// Whether the firewall said whether it is on for every active profile;
// otherwise why not, in found.
bool profiles_answered(const firewall_facts* facts, firewall_finding* found) {
  if (facts->profiles_answer.kind != answer_given) {
    say_no_answer("its active profiles", facts->profiles_answer, found);
    return false;
  }
  if (facts->profile_count == 0) {
    found->state = firewall_cannot_say;
    (void)std::snprintf(found->why, sizeof found->why, "it names no active profile");
    return false;
  }
  for (int i = 0; i < facts->profile_count; ++i) {
    if (facts->profiles[i].on_answer.kind != answer_given) {
      char question[64];
      (void)std::snprintf(question, sizeof question, "whether it is on for the %s profile",
                          facts->profiles[i].name);
      say_no_answer(question, facts->profiles[i].on_answer, found);
      return false;
    }
  }
  return true;
}

const char* profile_noun(const firewall_finding* found) {
  return std::strchr(found->profile_list, ',') != nullptr ? "profiles" : "profile";
}

// The rule's name: the program's file name without ".exe", and the port.
void rule_name(const firewall_finding* found, char* out, std::size_t room) {
  const char* name = found->program;
  for (const char* at = found->program; *at != '\0'; ++at) {
    if (*at == '\\' || *at == '/') {
      name = at + 1;
    }
  }
  std::size_t length = std::strlen(name);
  if (length > 4 && std::strcmp(name + length - 4, ".exe") == 0) {
    length -= 4;
  }
  (void)std::snprintf(out, room, "%.*s %u", static_cast<int>(length), name, found->port);
}

// "blocks inbound UDP to ... : allow it with netsh ...", the words after the
// firewall's name.
void word_blocks(const firewall_finding* found, char* out, std::size_t room) {
  char name[128];
  rule_name(found, name, sizeof name);
  (void)std::snprintf(out, room,
                      "blocks inbound UDP to %s port %u on the %s %s: allow it with netsh "
                      "advfirewall firewall add rule name=\"%s\" dir=in action=allow "
                      "program=\"%s\" protocol=UDP localport=%u profile=%s",
                      found->program, found->port, found->profiles, profile_noun(found), name,
                      found->program, found->port, found->profile_list);
}

}  // namespace

void decide_firewall(const firewall_facts* facts, unsigned port, firewall_finding* found) {
  *found = firewall_finding{};
  if (!facts->asked) {
    return;
  }
  found->port = port;
  (void)std::snprintf(found->program, sizeof found->program, "%s", facts->program);
  if (facts->under_wine) {
    found->state = firewall_cannot_say;
    (void)std::snprintf(found->why, sizeof found->why,
                        "this is Wine, which has no Windows Firewall to ask");
    return;
  }
  if (!profiles_answered(facts, found)) {
    return;
  }
  if (name_profiles(facts, true, found) == 0) {
    found->state = firewall_off;
    (void)name_profiles(facts, false, found);
    return;
  }
  if (facts->rules_answer.kind != answer_given) {
    say_no_answer("its rules", facts->rules_answer, found);
  } else if (facts->rule_count <= 0) {
    // Windows Firewall comes with rules of its own: a list without any is
    // not its answer.
    found->state = firewall_cannot_say;
    (void)std::snprintf(found->why, sizeof found->why, "it lists no rules at all");
  } else if (facts->port_answer.kind != answer_given || found->program[0] == '\0') {
    say_no_answer("its evaluation of the port (IsPortAllowed)", facts->port_answer, found);
  } else {
    found->state = facts->port_allowed ? firewall_allowed : firewall_blocked;
    found->restricted = facts->port_allowed && facts->port_restricted;
  }
}

void word_firewall_block(const firewall_finding* found, char* out, std::size_t room) {
  char blocks[1600];
  word_blocks(found, blocks, sizeof blocks);
  (void)std::snprintf(out, room, "Windows Firewall %s", blocks);
}

void word_firewall(const firewall_finding* found, char* out, std::size_t room) {
  switch (found->state) {
    case firewall_blocked:
      word_blocks(found, out, room);
      return;
    case firewall_allowed:
      (void)std::snprintf(out, room, "allows inbound UDP to port %u on the %s %s%s", found->port,
                          found->profiles, profile_noun(found),
                          found->restricted
                              ? ", from some remote addresses only: see that the source is one"
                              : "");
      return;
    case firewall_off:
      (void)std::snprintf(out, room, "off for the %s %s", found->profiles, profile_noun(found));
      return;
    case firewall_cannot_say:
      (void)std::snprintf(out, room, "cannot say: %s", found->why);
      return;
    case firewall_not_asked:
      break;
  }
  (void)std::snprintf(out, room, "not asked on this system");
}
