// Sockets and receiving: the types every concern of the platform layer
// shares, the UDP socket a channel comes in on, and the TCP sockets of the
// monitor's metrics endpoint. One file per system (socket_posix.cpp,
// socket_win32.cpp), and the batched receive in one of its own
// (receive_batch_recvmmsg.cpp, receive_single.cpp); CMake picks them.
#ifndef PLATFORM_SOCKET_H
#define PLATFORM_SOCKET_H

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

// The reason for the last failed socket call, as the system words it.
const char* platform_socket_error_text();

// Closes a socket the program opened (a monitor's channel it no longer
// watches).
void platform_close_socket(ssm_socket socket);

// Binds a channel's socket to the port so that several channels may share
// it: to the group's address where the system takes one (Linux: the kernel
// then hands the socket only its group's datagrams, and looks at no other
// socket of the port for them), else to the wildcard address; address reuse
// on in either case. scope_index is the interface of a group that needs one
// (0: none). Returns 0, or -1 with the reason in platform_socket_error_text().
int platform_bind_group(ssm_socket socket, const ssm_address* group, std::uint16_t port,
                        unsigned scope_index);

// Receives, without waiting, the datagrams already queued, at most count (and
// at most platform_batch_limit()), keeping only the first head_size bytes of
// each in heads + i * head_size and its whole length in lengths[i] (-1 for a
// failed receive, which ends the batch), its sender in senders[i]. Returns
// how many results it gave; 0 when nothing was queued.
int platform_receive_heads(ssm_socket socket, unsigned char* heads, std::size_t head_size,
                           int count, long* lengths, ssm_address* senders);

// A TCP socket that listens on the address (the family's wildcard address
// when it is one) and the port (host byte order), with address reuse, and
// that never blocks. Returns it, or ssm_no_socket with the reason in
// platform_socket_error_text().
ssm_socket platform_listen_tcp(const ssm_address* address, std::uint16_t port);

// Takes a connection waiting on the listening socket into *connection, made
// non-blocking. Returns 1, 0 when none waits, or -1 with the reason in
// platform_socket_error_text().
int platform_accept(ssm_socket listener, ssm_socket* connection);

// Receives, without waiting, at most size bytes of what came on a
// connection. Returns how many, 0 when the peer closed its side,
// receive_nothing when nothing came yet, or -1 on failure.
long platform_receive_stream(ssm_socket connection, char* buffer, std::size_t size);

// Sends, without waiting, what the connection takes now of the size bytes
// (no signal when the peer is gone: a failure). Returns how many it took (0:
// none now), or -1 on failure.
long platform_send_stream(ssm_socket connection, const char* data, std::size_t size);

#endif  // PLATFORM_SOCKET_H
