// The report line "%12s:seq=%6d:len=%4d\n" and the datagram's sequence field.
#ifndef RECEIVER_REPORT_LINE_H
#define RECEIVER_REPORT_LINE_H

#include <cstddef>
#include <cstdint>

// Room for the longest report line: a 15-character address, two 11-character
// numbers, the literals and the line feed.
const std::size_t report_line_max = 64;

// The sequence number: bytes 0-3 of the datagram, a little-endian signed
// 32-bit value, whatever the host's byte order.
std::int32_t read_sequence(const unsigned char* datagram);

// Writes the dotted-decimal form of address (network byte order) to out, which
// has room for 16 characters. Returns its length, without the terminating NUL.
std::size_t format_ipv4(char* out, std::uint32_t address);

// Writes the report line for one receive to out (report_line_max bytes):
// sender address, sequence number and the receive's result. Returns its
// length; the line ends with a single line feed and is not NUL-terminated.
std::size_t format_report_line(char* out, std::uint32_t sender, std::int32_t sequence,
                               long length);

#endif  // RECEIVER_REPORT_LINE_H
