// The link capture: a count of a channel's datagrams as they reach an
// interface. A packet socket where the system has one
// (capture_packet_linux.cpp); elsewhere it cannot be made (capture_none.cpp).
#ifndef PLATFORM_CAPTURE_H
#define PLATFORM_CAPTURE_H

#include <cstdint>

#include "platform/socket.h"

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

#endif  // PLATFORM_CAPTURE_H
