// The host firewall's verdict on inbound UDP to the program's port, decided
// from the firewall's own answers as the platform gathered them, and its
// words: what the receivers warn of, ssm_check's firewall line and the
// verdict's cause.
#ifndef CORE_FIREWALL_VERDICT_H
#define CORE_FIREWALL_VERDICT_H

#include <cstddef>

#include "core/host_findings.h"
#include "platform/host_verdicts.h"

// Decides what the firewall does to the program's inbound UDP on port from
// its answers. Only real answers count: a call not implemented or failed, a
// firewall that lists no rule at all, and any answer under Wine give
// firewall_cannot_say, never firewall_allowed.
void decide_firewall(const firewall_facts* facts, unsigned port, firewall_finding* found);

// Words a blocking firewall, as the warning and the verdict say it: "Windows
// Firewall blocks inbound UDP to <program> port <port> on the public
// profile: allow it with netsh advfirewall firewall add rule ...".
void word_firewall_block(const firewall_finding* found, char* out, std::size_t room);

// Words the finding for ssm_check's firewall line: "blocks ...", "allows
// inbound UDP to port 5000 on the public profile", "off for the public
// profile", "cannot say: <why>".
void word_firewall(const firewall_finding* found, char* out, std::size_t room);

#endif  // CORE_FIREWALL_VERDICT_H
