// The exit statuses of the programs (and of the sender tool).
#ifndef CORE_EXIT_STATUS_H
#define CORE_EXIT_STATUS_H

// Too few operands, or an operand that is not what it must be.
const int exit_usage = 1;

// The receiver cannot run: the sockets library, the socket or the bind failed,
// or standard output cannot be written.
const int exit_failure = 2;

// ssm_check: datagrams are missing, or this host dropped some.
const int exit_missing = 3;

// ssm_check: nothing came from the source.
const int exit_nothing = 4;

#endif  // CORE_EXIT_STATUS_H
