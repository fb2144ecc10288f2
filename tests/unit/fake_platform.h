// A scripted platform layer for the unit tests and the fuzzers: receives
// come from a queue, writes land in a string, and every call is counted.
#ifndef TESTS_UNIT_FAKE_PLATFORM_H
#define TESTS_UNIT_FAKE_PLATFORM_H

#include <cstdint>
#include <deque>
#include <string>
#include <vector>

#include "platform.h"

struct fake_datagram {
  long result;  // length, -1 for a failed receive, receive_nothing (the queue is empty)
  std::uint32_t sender;
  std::vector<unsigned char> bytes;  // the datagram's first bytes
  unsigned char fill = 0;            // its bytes after them, up to its length
};

struct fake_membership {
  std::uint32_t group;
  std::uint32_t source;
  std::uint32_t interface_address;
};

struct fake_state {
  // Script.
  int start_result = 0;
  bool socket_fails = false;
  int bind_result = 0;
  int membership_result = 0;
  int write_result = 0;
  std::deque<fake_datagram> datagrams;
  std::deque<int> readiness;  // results of platform_wait_readable; empty: 0
  std::int64_t now_us = 0;    // the clock; tests move it
  int batch_limit = 64;       // 1: a system without a batched receive
  // What happened.
  int sockets_opened = 0;
  std::vector<std::uint16_t> binds;
  std::vector<fake_membership> memberships;
  std::vector<int> receive_waits;  // every receive, batched or not
  std::vector<int> batch_sizes;    // results of each batched receive
  std::vector<int> pauses;         // microseconds
  std::vector<int> readable_waits;
  std::string output;
  int writes = 0;
};

// The one fake, reset by each test.
extern fake_state fake;

void reset_fake();

#endif  // TESTS_UNIT_FAKE_PLATFORM_H
