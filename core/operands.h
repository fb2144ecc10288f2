// Strict parsers for command-line operands: the whole text must be the value.
#ifndef CORE_OPERANDS_H
#define CORE_OPERANDS_H

#include <cstddef>
#include <cstdint>

#include "platform/socket.h"

// Parses dotted-decimal IPv4 ("232.1.2.3"): four decimal parts 0-255, no
// leading zeros, nothing else. Returns true and *address in network byte
// order, or false.
bool parse_ipv4_operand(const char* text, std::uint32_t* address);

// Parses IPv6 text in any of the forms of RFC 4291: eight groups of one to
// four hexadecimal digits, one "::" for a run of zero groups, and the last
// 32 bits optionally in dotted-decimal (with the IPv4 rules above). Returns
// true and the 16 bytes in network order, or false with *address untouched.
bool parse_ipv6_operand(const char* text, unsigned char* address);

// Parses the first size characters of text as an address of either family:
// IPv6 when they hold a ':', dotted-decimal IPv4 otherwise (a group operand's
// address is what comes before its '%'). Returns false when they are
// neither.
bool parse_address_operand(const char* text, std::size_t size, ssm_address* address);

// Where the interface suffix of a group operand ("ff3e::8000:1%eth1") is, if
// it has one, and whether it is well formed.
struct interface_suffix {
  std::size_t address_size;  // how much of the text is the address
  const char* name;          // the text after '%', or nullptr without one
  unsigned index;            // that text as a decimal index, or 0 for a name
};

// Splits text at its first '%'. The interface after it must be a name of
// 1 to name_most characters or a decimal index from 1 to 4294967295.
// Returns false (a malformed suffix) otherwise.
bool parse_interface_suffix(const char* text, std::size_t name_most, interface_suffix* suffix);

// Parses a decimal integer from min to max: digits only, optionally a leading
// '-' when min is negative. Returns true and *value, or false.
bool parse_decimal_operand(const char* text, long long min, long long max, long long* value);

// Parses a UDP port, 0 to 65535. Returns true and *port, or false.
bool parse_port_operand(const char* text, std::uint16_t* port);

#endif  // CORE_OPERANDS_H
