// The report line "%12s:seq=%6d:len=%4d\n" and the datagram's sequence field.
#ifndef CORE_REPORT_LINE_H
#define CORE_REPORT_LINE_H

#include <cstddef>
#include <cstdint>

#include "platform/socket.h"

// Room for the longest address text: IPv6 with an IPv4 tail,
// "ffff:ffff:ffff:ffff:ffff:ffff:255.255.255.255", and its NUL.
const std::size_t address_text_max = 46;

// Room for the longest report line: the longest address, two 11-character
// numbers, the literals and the line feed.
const std::size_t report_line_max = 96;

// The sequence number: bytes 0-3 of the datagram, a little-endian signed
// 32-bit value, whatever the host's byte order.
std::int32_t read_sequence(const unsigned char* datagram);

// The number the sequence tally counts: bytes 0-3 as read_sequence reads
// them, or big-endian (-b) for senders that write network order.
std::uint32_t read_tally_number(const unsigned char* datagram, bool big_endian);

// Whether a and b are the same address of the same family.
bool same_address(const ssm_address& a, const ssm_address& b);

// Writes the dotted-decimal form of address (network byte order) to out, which
// has room for 16 characters. Returns its length, without the terminating NUL.
std::size_t format_ipv4(char* out, std::uint32_t address);

// Writes the text of an IPv6 address (16 bytes, network order) to out
// (address_text_max bytes), as inet_ntop does: RFC 5952's lower-case groups
// without leading zeros, the longest run of two or more zero groups (the
// first of equal ones) as "::", and an IPv4-mapped or -compatible address
// with a dotted-decimal tail. Returns its length, without the NUL.
std::size_t format_ipv6(char* out, const unsigned char* address);

// The text of either family's address; see format_ipv4 and format_ipv6.
std::size_t format_address(char* out, const ssm_address& address);

// Writes the report line for one receive to out (report_line_max bytes):
// sender address, sequence number and the receive's result. Returns its
// length; the line ends with a single line feed and is not NUL-terminated.
std::size_t format_report_line(char* out, const ssm_address& sender, std::int32_t sequence,
                               long length);

#endif  // CORE_REPORT_LINE_H
