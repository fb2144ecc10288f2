#include "operands.h"

#include <cstring>

namespace {

bool is_digit(char c) {
  return c >= '0' && c <= '9';
}

}  // namespace

bool parse_ipv4_operand(const char* text, std::uint32_t* address) {
  unsigned char parts[4];
  const char* p = text;
  for (int i = 0; i < 4; ++i) {
    if (i > 0 && *p++ != '.') {
      return false;
    }
    if (!is_digit(*p)) {
      return false;
    }
    // A leading zero reads as octal to inet_addr: refuse it rather than guess.
    if (p[0] == '0' && is_digit(p[1])) {
      return false;
    }
    unsigned value = 0;
    int digits = 0;
    while (is_digit(*p) && digits < 4) {
      value = value * 10 + static_cast<unsigned>(*p - '0');
      ++p;
      ++digits;
    }
    if (value > 255) {
      return false;
    }
    parts[i] = static_cast<unsigned char>(value);
  }
  if (*p != '\0') {
    return false;
  }
  // The parts in memory order are the address in network byte order.
  std::memcpy(address, parts, sizeof parts);
  return true;
}

bool parse_decimal_operand(const char* text, long long min, long long max, long long* value) {
  const char* p = text;
  bool negative = false;
  if (*p == '-' && min < 0) {
    negative = true;
    ++p;
  }
  if (!is_digit(*p)) {
    return false;
  }
  // Accumulate as a negative number so that the most negative value fits, and
  // stop as soon as the value leaves the range, so nothing can overflow.
  // A range wholly below zero takes no unsigned text; and -max must not be
  // taken of the most negative value.
  long long low = negative ? min : -(max < 0 ? 0 : max);
  long long result = 0;
  for (; is_digit(*p); ++p) {
    int digit = *p - '0';
    if (result < (low + digit) / 10) {
      return false;
    }
    result = result * 10 - digit;
  }
  if (*p != '\0') {
    return false;
  }
  if (!negative) {
    result = -result;
  }
  if (result < min || result > max) {
    return false;
  }
  *value = result;
  return true;
}

bool parse_port_operand(const char* text, std::uint16_t* port) {
  long long value = 0;
  if (!parse_decimal_operand(text, 0, 65535, &value)) {
    return false;
  }
  *port = static_cast<std::uint16_t>(value);
  return true;
}
