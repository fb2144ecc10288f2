// A scripted platform layer for the unit tests and the fuzzers: receives
// come from a queue, writes land in a string, and every call is counted.
// Datagrams may carry an arrival time: the fake's clock then moves as a real
// one would, to the next arrival when a receive or wait blocks, and by the
// time asked for when the loop pauses.
#ifndef TESTS_UNIT_FAKE_PLATFORM_H
#define TESTS_UNIT_FAKE_PLATFORM_H

#include <cstdint>
#include <deque>
#include <string>
#include <utility>
#include <vector>

#include "platform/host_verdicts.h"
#include "platform/membership.h"
#include "platform/socket.h"

struct fake_datagram {
  long result;  // length, -1 for a failed receive, receive_nothing (the queue is empty)
  ssm_address sender;
  std::vector<unsigned char> bytes;  // the datagram's first bytes
  unsigned char fill = 0;            // its bytes after them, up to its length
  std::int64_t arrival_us = 0;       // when it reaches the queue
};

// One membership request: IPv4 by ip_mreq_source, or any by index.
struct fake_membership {
  std::uint32_t group;  // by ip_mreq_source
  std::uint32_t source;
  std::uint32_t interface_address;
  bool by_index;
  ssm_address group_address;  // by index
  ssm_address source_address;
  unsigned interface_index;
};

// Calls during which a planned stop request comes.
enum fake_call { fake_no_call, fake_receive_call, fake_pause_call, fake_write_call };

struct fake_state {
  // Script.
  int start_result = 0;
  bool socket_fails = false;
  int bind_result = 0;
  bool stdout_closed = false;
  std::uint16_t chosen_port = 40000;  // what a bind to port 0 gets
  int membership_result = 0;
  std::deque<int> membership_results;  // taken first, one per request
  unsigned membership_index = 0;    // the interface a membership is on, as asked
  std::vector<unsigned> gone;       // interfaces deleted since
  int bind_interface_result = 0;    // of platform_bind_to_interface
  device_membership device = device_cannot_say;  // what the interface holds
  std::vector<std::pair<std::string, unsigned>> interfaces;  // name, index
  int write_result = 0;
  std::deque<fake_datagram> datagrams;
  std::deque<int> readiness;  // results of platform_wait_readable; empty: by the datagrams
  std::int64_t now_us = 0;    // the clock; tests move it
  int batch_limit = 64;       // 1: a system without a batched receive
  long queue_bytes = 212992;  // the receive queue granted
  int pause_overrun_us = 0;   // how much longer than asked a pause lasts
  int receive_cost_us = 0;    // how long taking one datagram lasts
  // A stop request (stop_signal) comes during the stop_nth call (from 1) of
  // kind stop_call, or when the clock reaches stop_at_us (a blocked call
  // returns then), or when the program would otherwise block for ever.
  fake_call stop_call = fake_no_call;
  int stop_nth = 0;
  std::int64_t stop_at_us = -1;
  bool stop_when_idle = false;
  int stop_signal = 15;
  // What happened.
  int sockets_opened = 0;
  std::vector<ssm_family> families;  // of each socket opened
  std::vector<std::uint16_t> binds;
  std::vector<fake_membership> memberships;
  std::vector<unsigned> leaves;  // interfaces a membership was dropped on
  std::vector<unsigned> bound;   // interfaces the socket was bound to
  int device_asked = 0;          // platform_device_holds_membership calls
  std::vector<int> receive_waits;  // every receive, batched or not
  std::vector<int> batch_sizes;    // results of each batched receive
  std::vector<int> pauses;         // microseconds
  std::vector<std::int64_t> pause_starts;
  std::vector<int> readable_waits;
  std::vector<std::int64_t> take_times;  // when each datagram was taken
  int paused_with_queue = 0;       // pauses begun with a datagram already queued
  int blocked = 0;                 // waits and receives that slept until a datagram came
  std::string output;
  int writes = 0;
  std::vector<std::pair<std::int64_t, std::size_t>> write_log;  // (clock, output size) per write
  int stops_caught = 0;
  int stopped = 0;    // the stop request noted
  int ended_by = 0;   // what platform_end_stopped was given
  std::string output_at_end;
  int calls[4] = {};  // per fake_call
  // The host's checks. Script: the kernel's verdicts and settings.
  int input_route = route_unknown;
  int route_back = route_unknown;   // platform_route_interface's result
  unsigned route_back_index = 0;    // and the interface it gives
  bool source_local = false;
  unsigned source_on_interface = 0;  // the interface the source is an address of
  std::vector<unsigned> loopbacks;  // loopback interfaces' indexes
  std::vector<unsigned> down;       // interfaces that are down
  int accept_local = 0;             // platform_accepts_local_source's answer
  int rp_own = -1;
  int rp_all = -1;
  group_protocol protocol{0, 0, false};
  bool judges_input_route = true;   // false: as on Windows
  firewall_facts firewall{};        // asked: false, as on Linux
  std::deque<long long> udp_errors;  // the host's UDP error count at each read; none: -1
  long long drops = -1;  // the socket's drop count; -1: not counted
  std::int64_t drops_from_us = 0;  // before this moment the count reads 0
  const char* queue_limit = nullptr;
  // What happened.
  int input_routes_asked = 0;
  std::vector<std::int64_t> drop_read_times;  // when the drop count was read
  // The link capture. Script: what each read of its count adds (none left:
  // 0), and whether a read fails.
  std::deque<long long> link_counts;
  bool link_count_fails = false;
  // What happened: when its count was read.
  std::vector<std::int64_t> link_reads;
};

// The one fake, reset by each test.
extern fake_state fake;

void reset_fake();

#endif  // TESTS_UNIT_FAKE_PLATFORM_H
