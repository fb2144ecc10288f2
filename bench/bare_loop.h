// What the bare reference loops share: the receivers' own socket set-up
// and membership (through the platform layer), and the count they report.
#ifndef BENCH_BARE_LOOP_H
#define BENCH_BARE_LOOP_H

// Datagrams received so far. Read by the SIGTERM handler, hence volatile.
extern volatile long bare_datagrams;

// Opens, binds and joins as the receivers do, from <group>[%interface]
// <source> <port> (IPv4 or IPv6), and arranges that SIGTERM prints
// "datagrams=N rcvbuf=B" on standard output (B: the receive queue the system
// granted, from getsockopt) and exits.
// Returns the socket descriptor, or -1 after a message on standard error.
int open_bare_receiver(int argc, char** argv, const char* program);

// Arranges that SIGTERM prints "datagrams=N rcvbuf=B" and exits, B the
// receive queue the system granted to fd: for a loop that opened its own.
void report_count_at_stop(int fd);

#endif  // BENCH_BARE_LOOP_H
