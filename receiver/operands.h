// Strict parsers for command-line operands: the whole text must be the value.
#ifndef RECEIVER_OPERANDS_H
#define RECEIVER_OPERANDS_H

#include <cstdint>

// Parses dotted-decimal IPv4 ("232.1.2.3"): four decimal parts 0-255, no
// leading zeros, nothing else. Returns true and *address in network byte
// order, or false.
bool parse_ipv4_operand(const char* text, std::uint32_t* address);

// Parses a decimal integer from min to max: digits only, optionally a leading
// '-' when min is negative. Returns true and *value, or false.
bool parse_decimal_operand(const char* text, long long min, long long max, long long* value);

// Parses a UDP port, 0 to 65535. Returns true and *port, or false.
bool parse_port_operand(const char* text, std::uint16_t* port);

#endif  // RECEIVER_OPERANDS_H
