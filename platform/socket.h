// The few operations the receiver core needs from the sockets interface and
// the console. Each platform implements all of them in one file of its own
// (platform_posix.cpp, platform_win32.cpp); the build picks one.
#ifndef RECEIVER_PLATFORM_H
#define RECEIVER_PLATFORM_H

#include <cstddef>
#include <cstdint>

// A socket handle. Wide enough for a POSIX descriptor and a Winsock SOCKET.
typedef std::intptr_t ssm_socket;

// The value of an ssm_socket that holds no socket.
const ssm_socket ssm_no_socket = -1;

// How long platform_receive may wait for a datagram.
const int receive_wait_forever = -1;
const int receive_no_wait = 0;

// platform_receive's result when nothing arrived within the wait, or a signal
// cut the wait short: not a failed receive.
const long receive_nothing = -2;

// The two address families of a channel.
enum ssm_family { ssm_ipv4, ssm_ipv6 };

// An IPv4 or IPv6 address: its 4 or 16 bytes, in network order.
struct ssm_address {
  ssm_family family;
  unsigned char bytes[16];
};

// The platform's membership records, filled by field name only.
struct ip_mreq_source;
struct group_source_req;

// Starts the sockets library where the platform has one. Returns 0, or -1 with
// the reason in platform_socket_error_text().
int platform_start_sockets();

// Opens a UDP socket of the family (IPv6: for IPv6 only) that receives only
// the groups it joined itself, with a large receive queue where the system
// allows it (a smaller or refused queue is not an error). Returns
// ssm_no_socket on failure.
ssm_socket platform_open_udp_socket(ssm_family family);

// The kernel memory the socket's receive queue may hold, as the system
// granted it (bytes; 0 when it does not say).
long platform_receive_queue_bytes(ssm_socket socket);

// Binds to the family's wildcard address and the port (host byte order).
// Returns 0 or -1.
int platform_bind_any(ssm_socket socket, ssm_family family, std::uint16_t port);

// The port the socket is bound to (host byte order), as the system chose it
// for port 0. Returns 0, or -1 with the reason in platform_socket_error_text().
int platform_bound_port(ssm_socket socket, std::uint16_t* port);

// Fills the IPv4 membership record by field name; addresses in network byte
// order.
void platform_fill_source_membership(struct ip_mreq_source* request, std::uint32_t group,
                                     std::uint32_t source, std::uint32_t interface_address);

// Asks for the IPv4 (source, group) membership with one setsockopt call of
// IP_ADD_SOURCE_MEMBERSHIP. Returns the call's result: 0, or -1 with the
// reason in platform_socket_error_text().
int platform_add_source_membership(ssm_socket socket, std::uint32_t group, std::uint32_t source,
                                   std::uint32_t interface_address);

// Fills the protocol-independent membership record by field name: the
// interface's index (0: the system chooses), the group and the source.
void platform_fill_group_source_request(struct group_source_req* request, unsigned interface_index,
                                        const ssm_address* group, const ssm_address* source);

// Asks with one setsockopt call for the (source, group) membership on the
// interface with this index (0: the system chooses): for IPv6, and for IPv4
// on a named interface, each in the platform's own way. Returns the call's
// result: 0, or -1 with the reason in platform_socket_error_text().
int platform_join_source_group(ssm_socket socket, const ssm_address* group,
                               const ssm_address* source, unsigned interface_index);

// The index of the interface named so, or 0 when there is none now.
unsigned platform_interface_index(const char* name);

// The longest interface name the system has.
std::size_t platform_interface_name_most();

// The index of the interface on which the socket holds its membership of
// group, as the system says; 0 when it holds none or the system cannot say.
unsigned platform_membership_interface(ssm_socket socket, const ssm_address* group);

// Whether an interface with this index exists now.
bool platform_interface_exists(unsigned index);

// Drops the socket's membership of group on the interface with this index,
// which may be gone by now. Returns the setsockopt result: 0 or -1.
int platform_leave_group(ssm_socket socket, const ssm_address* group, unsigned index);

// Makes the socket take only the datagrams that come in on the interface with
// this index, where the system matches an IPv6 membership by group and
// source alone (Linux). Returns 0, also where nothing is needed, or -1 with
// the reason in platform_socket_error_text().
int platform_bind_to_interface(ssm_socket socket, unsigned index);

// What the system says of an interface's own source filters.
enum device_membership { device_holds, device_lacks, device_cannot_say };

// Whether the interface with this index itself holds the (source, group)
// filter now, as the system lists it; a socket's record of its membership
// can outlive the interface's.
device_membership platform_device_holds_membership(unsigned index, const ssm_address* group,
                                                   const ssm_address* source);

// Receives one datagram into buffer, waiting at most wait_ms milliseconds
// (receive_no_wait, receive_wait_forever, or a positive time). Returns its
// length, -1 when the receive failed, or receive_nothing. On success *sender
// is the sender's address; otherwise it is left.
long platform_receive(ssm_socket socket, unsigned char* buffer, std::size_t size,
                      ssm_address* sender, int wait_ms);

// Receives the datagrams already queued on the socket, at most count of them
// (and at most platform_batch_limit()), in one call where the system has one
// (recvmmsg), one datagram where it has not. Fewer than that means nothing
// more was queued. Datagram i goes to slots + i * slot_size, its length (or -1 for a
// failed receive, which ends the batch) to lengths[i] and, when received, its
// sender to senders[i]. Only the first is waited for,
// as wait_ms says (receive_no_wait or receive_wait_forever). Returns how many
// results it gave, or 0 when nothing arrived (as receive_nothing above).
int platform_receive_batch(ssm_socket socket, unsigned char* slots, std::size_t slot_size,
                           int count, long* lengths, ssm_address* senders, int wait_ms);

// How many datagrams platform_receive_batch can take in one call: 1 where
// the system has no batched receive.
int platform_batch_limit();

// Waits about wait_us microseconds while the socket's queue fills, so that a
// fast stream's next datagrams come in one batch. Where the system can only
// sleep coarsely (Winsock), it returns at the next datagram instead. A stop
// request cuts it short.
void platform_pause(ssm_socket socket, int wait_us);

// platform_wait_readable's result when a signal cut the wait short.
const int wait_cut_short = -2;

// Waits with select until the socket is readable, at most wait_ms
// milliseconds (0 only looks, receive_wait_forever has no limit).
// Returns 1 when readable, 0 when the time ran out, wait_cut_short, or -1 on
// failure.
int platform_wait_readable(ssm_socket socket, int wait_ms);

// Opens a count of the channel's datagrams as they reach the interface with
// this index, whatever this host does with them afterwards: UDP from source
// to group and port, the first fragment of each (behind IPv6's hop-by-hop,
// destination options, routing and fragment headers, a few of them), and, on
// an interface that is not a loopback one, the host's own datagrams of the
// channel going out of it. The count costs a filter run per packet: nothing
// is kept to be read. Returns ssm_no_socket, with the reason in *reason,
// where it cannot be made (it needs root or CAP_NET_RAW, and a system that
// has one) or no interface is known (index 0).
ssm_socket platform_open_link_capture(unsigned interface_index, const ssm_address* group,
                                      const ssm_address* source, std::uint16_t port,
                                      const char** reason);

// Adds to *seen the datagrams the capture counted since it opened or since
// the last call. Returns 0, or -1.
int platform_link_capture_count(ssm_socket capture, long long* seen);

// Closes the capture.
void platform_close_link_capture(ssm_socket capture);

// Stop requests: SIGINT, SIGTERM and SIGHUP (POSIX); Ctrl-C, Ctrl-Break and
// the console closing (Windows). The receivers write out the lines they hold
// before they end. A wait with a time (not receive_no_wait), in
// platform_wait_readable or platform_receive, is made only while no line is
// held: a stop may end the process there at once.

// From now on a stop request is noted instead of ending the process, and
// the receive, wait or pause in progress on socket returns at once, as does
// any receive or wait on it begun after the request (POSIX: its receiving
// side is shut), so a request that lands just before a blocking call is not
// lost. Where a program waits with no line held, Windows may end it then;
// always_noted (a program with a report to give at the end) keeps every
// request for the program to see. A signal that was ignored at start stays
// ignored. A second request ends the process at once.
void platform_catch_stops(ssm_socket socket, bool always_noted);

// The stop request noted (a signal number, or the console event plus one),
// or 0 while none came.
int platform_stop_requested();

// Ends the process as the stop request would have ended it: the signal again,
// at its default action (a shell sees 128 plus its number); on Windows the
// status of a console program ended by Ctrl-C. Returns only where the
// process cannot be ended so (a test's fake platform).
void platform_end_stopped(int stop);

// A steady clock in microseconds, for telling a fast stream from a slow one.
std::int64_t platform_monotonic_us();

// Writes all of data to standard output, waiting for room where it was made
// non-blocking. Returns 0, or -1 with the reason in
// platform_output_error_text(). A closed pipe keeps the platform's default.
int platform_write_output(const char* data, std::size_t size);

// Makes standard output and standard error carry bytes as written (no
// line-end translation).
void platform_prepare_output();

// Makes sure that the standard streams are open before any socket is, so
// that none takes the place of one: a closed standard input or standard
// error is opened on the null device. Returns -1 when standard output is
// closed (the program has nowhere to write its lines), else 0.
int platform_open_standard_streams();

// The reason for the last failed socket call, as the system words it.
const char* platform_socket_error_text();

// The reason for the last failed write to standard output.
const char* platform_output_error_text();

// What the host itself does to a channel's datagrams. Where the system
// cannot say, each answer says so, and the receivers say nothing.

// platform_input_route's verdicts.
const int route_refused = 0;
const int route_delivered = 1;
const int route_unknown = -1;

// The kernel's own verdict on a datagram from source to group arriving on the
// interface with this index (IPv4; call while the socket holds the
// membership there): whether its input route check, reverse-path filtering
// included, lets it through.
int platform_input_route(const ssm_address* group, const ssm_address* source, unsigned index);

// The interface the route to address leaves by: 1 with its index in *index,
// 0 when there is no route, route_unknown when the system cannot say.
int platform_route_interface(const ssm_address* address, unsigned* index);

// Whether address is one of this host's own.
bool platform_is_local_address(const ssm_address* address);

// Whether the interface with this index is a loopback interface.
bool platform_is_loopback(unsigned index);

// Whether address is one of the addresses of the interface with this index.
bool platform_address_on_interface(const ssm_address* address, unsigned index);

// Whether the interface with this index is up (administratively): 1, 0 when
// down, -1 when the system cannot say.
int platform_interface_up(unsigned index);

// Whether datagrams from this host's own addresses are let in over the
// interface with this index (IPv4; Linux: accept_local there or for all):
// 1, 0 when they are dropped as martians, -1 when the system cannot say.
int platform_accepts_local_source(unsigned index);

// How to look at this system's firewall, in a few words for a verdict.
const char* platform_firewall_advice();

// The name of the interface with this index into name (size bytes); false
// when there is none.
bool platform_interface_name(unsigned index, char* name, std::size_t size);

// Reverse-path filtering (IPv4) as set for the interface (*own) and for all
// interfaces (*all): 0 off, 1 strict, 2 loose; -1 where the system does not
// say.
void platform_reverse_path_filter(unsigned index, int* own, int* all);

// The group membership protocol an interface speaks: IGMP (IPv4) or MLD (IPv6).
struct group_protocol {
  int version;          // 1 to 3 for IGMP, 1 or 2 for MLD; 0 when the system cannot say
  int forced;           // the version a setting holds it to; 0 none
  bool forced_for_all;  // that setting is the one for all interfaces
};

// The family's group membership protocol on the interface with this index.
group_protocol platform_group_protocol(ssm_family family, unsigned index);

// How many datagrams the socket dropped before they were read, since it was
// opened; -1 where the system does not say.
long long platform_socket_drops(ssm_socket socket);

// The name of the system limit that holds the socket's receive queue below
// what platform_open_udp_socket asks for, or nullptr when the queue is as
// asked or the system does not say.
const char* platform_receive_queue_limit(ssm_socket socket);

#endif  // RECEIVER_PLATFORM_H
