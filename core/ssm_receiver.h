// The receiver core that ssm_watch and ssm_listen share: start-up and the
// source-specific membership, and the report line for each datagram.
#ifndef CORE_SSM_RECEIVER_H
#define CORE_SSM_RECEIVER_H

#include <cstddef>
#include <cstdint>

#include "core/host_findings.h"
#include "core/pace.h"
#include "platform/socket.h"

// The channel given on the command line, fixed for the whole run.
struct ssm_channel {
  ssm_address group;     // IPv4 or IPv6, as the source
  ssm_address source;
  std::uint16_t port;    // host byte order
  // The interface named on the group operand ("ff3e::8000:1%eth1"): its name,
  // looked up at every request, or its decimal index. Neither: the system
  // chooses.
  const char* interface_name;
  unsigned interface_index;
};

// The 32-bit value of an IPv4 address, in network byte order.
std::uint32_t ipv4_value(const ssm_address& address);

// What a successful start-up hands to the program's loop.
struct ssm_receiver {
  ssm_socket socket;
  ssm_channel channel;
  bool joined;  // whether the start-up membership request was accepted
  unsigned membership_interface;  // the index the membership is on; 0: none known
  // IPv6 with an interface named: the index the socket was last bound to
  // (0: none), and why that binding was refused, until said (see
  // warn_unbound_interface).
  unsigned bound_interface;
  const char* unbound_reason;
  char join_refusal[160];  // why the start-up request was refused; "" when accepted
  host_findings host;      // what the host's checks found after the last accepted join
};

// Size of the buffer every datagram is received into: any UDP payload fits
// (65507 bytes over IPv4, 65527 over IPv6).
const std::size_t report_buffer_size = 65536;

// The sender of the last datagram received.
struct sender_record {
  ssm_address address;
};

// Checks the operands <group> <source> <port> (both addresses IPv4, or both
// IPv6; the group may name an interface after '%'), opens a UDP socket of
// that family bound to the port on all local addresses and asks for the
// (source, group) membership.
// `program` names the program in messages and stands in for a missing argv[0].
// Returns 0 when *receiver is ready; otherwise the exit status, after the
// usage line (too few operands) or one line on standard error. A refused
// membership is a warning on standard error, and start-up still succeeds.
// Once ready, stop requests are caught (platform_catch_stops).
int open_ssm_receiver(int argc, char** argv, const char* program, ssm_receiver* receiver);

// Room for the words of what is wrong with an operand: two quoted operands
// and the reason.
const std::size_t operand_problem_room = 320;

// Checks the three operand texts of a channel (both addresses IPv4, or both
// IPv6; the group may name an interface after '%'; the port 0 to 65535) into
// *channel. Returns 0, or exit_usage with what is wrong in problem (room
// bytes), naming the operand: "group '232.1': not a dotted-decimal IPv4
// address".
int read_channel_operands(const char* group_text, const char* source_text,
                          const char* port_text, ssm_channel* channel, char* problem,
                          std::size_t room);

// Makes sure standard output is open and starts the sockets library, before
// the program opens any socket. Returns 0, or exit_failure after one line on
// standard error.
int prepare_sockets(const char* program);

// open_ssm_receiver without the command line: checks the three operand texts
// and does the rest of its start-up (the messages name them alike). Output
// must be prepared (platform_prepare_output) first. Stops are caught with
// always_noted for a program that has a report to give at any stop (see
// platform_catch_stops); the receivers pass false.
int open_ssm_channel(const char* program, const char* group_text, const char* source_text,
                     const char* port_text, bool always_noted, ssm_receiver* receiver);

// Asks once for the IPv4 membership of (source, group) on interface_address,
// all in network byte order. Returns the setsockopt result: 0, or -1
// (SOCKET_ERROR).
int join_ssm_group(ssm_socket socket, std::uint32_t group, std::uint32_t source,
                   std::uint32_t interface_address);

// Asks once for the receiver's membership: an IPv4 channel with no interface
// named through join_ssm_group, on interface 0; any other by the interface's
// index (0 when none is named). A name is looked up anew each time; an
// interface that is not there is refused as "no such interface". An IPv6
// socket is first bound to the named interface, again whenever its index
// changes (a refusal is kept in unbound_reason). Notes which interface the
// membership is on. Returns 0, or -1 with the reason in *reason.
int join_ssm_channel(ssm_receiver* receiver, const char** reason);

// renew_ssm_membership's result when the request was refused as one for a
// membership still in place is: the interface holds it (or the system cannot
// say otherwise).
const int renewal_held = 1;

// Asks for the membership again, as after a silent second: 0 when accepted,
// renewal_held, or -1 when refused with no membership in place (the reason
// in *reason). A membership still held on an interface that has
// gone since (deleted and made again: Linux keeps it and counts it against
// the socket's limit of memberships) is dropped first. When the request is
// refused and the interface itself no longer holds the membership (re-made
// with its index, moved away and back, an IPv6 MTU dip), the socket's stale
// record is dropped and the membership asked for once more.
int renew_ssm_membership(ssm_receiver* receiver, const char** reason);

// Prints `<program>: warning: bind to interface <interface>: <reason>` when
// the last join could not bind the socket to the interface, once.
void warn_unbound_interface(const char* program, ssm_receiver* receiver);

// What one receive_and_report or receive_and_report_batch call did.
enum report_result {
  report_printed,        // lines are on their way to standard output
  report_nothing,        // nothing arrived in time: no line
  report_output_failed,  // standard output cannot be written
  report_drained         // lines are on their way, and nothing more was queued
};

// Receives one datagram into report_buffer (report_buffer_size bytes), waiting
// at most wait_ms (see platform_receive), adds its report line to the output
// and counts it in *pace. A failed receive still gives a line, with length -1
// and the sender and sequence number of the datagram before it.
report_result receive_and_report(ssm_socket socket, unsigned char* report_buffer,
                                 sender_record* sender, int wait_ms, pace_state* pace);

// How many datagrams one receive_and_report_batch call takes at most: twice
// what a pause gathers.
const int report_batch_slots = 2 * pace_gather_most;

// ssm_listen's receive buffer: a slot per datagram of a batch, each large
// enough for any IPv4 UDP payload (only the pages a datagram touches become
// resident), and what a failed receive's line repeats.
struct report_batch {
  unsigned char slots[report_batch_slots][report_buffer_size];
  sender_record sender;   // the sender of the last datagram received
  std::int32_t sequence;  // and its sequence number
};

// Receives the datagrams already queued, up to report_batch_slots of them in
// one system call where the system allows, waiting for the first as wait_ms
// says, adds a report line for each, in arrival order, exactly as
// receive_and_report would, and counts them in *pace. Returns report_drained
// when the batch was not full (and did not end in a failed receive): nothing
// more was queued.
report_result receive_and_report_batch(ssm_socket socket, report_batch* batch, int wait_ms,
                                       pace_state* pace);

// What wait_for_datagram saw.
enum wait_result {
  wait_readable = 1,
  wait_timed_out = 0,
  wait_failed = -1,
  wait_output_failed = -2,  // reason in platform_output_error_text()
  wait_stopped = -3         // a stop request came: see end_stopped
};

// Waits at most wait_ms (receive_wait_forever for no limit) for the socket to
// turn readable. Lines still held are written out first: at once for a slow
// stream; a fast one (see pace.h) looks for its next datagram and pauses
// between looks while its lines may wait. No line waits while we block.
wait_result wait_for_datagram(ssm_socket socket, int wait_ms, pace_state* pace);

// Whether a stop request came (see platform_catch_stops).
bool stop_requested();

// Writes out every line held, then ends the process as the stop request
// would have. Returns, with 128 plus the request, only where the platform
// cannot end it so (a test's fake).
int end_stopped(const char* program);

// Prints `<program>: <what>: <reason>` as one line on standard error.
void print_failure(const char* program, const char* what, const char* reason);

// Prints `<program>: <what> group <group> from source <source>: <reason>`
// (without ": <reason>" for nullptr), the operands as given but for control
// characters.
void print_channel_notice(const char* program, const char* what, const char* group_text,
                          const char* source_text, const char* reason);

// Says that standard output cannot be written; returns the exit status for it.
int output_failure(const char* program);

#endif  // CORE_SSM_RECEIVER_H
