#include "core/operands.h"

#include <cstring>

namespace {

bool is_digit(char c) {
  return c >= '0' && c <= '9';
}

int hex_value(char c) {
  if (is_digit(c)) {
    return c - '0';
  }
  if (c >= 'a' && c <= 'f') {
    return c - 'a' + 10;
  }
  if (c >= 'A' && c <= 'F') {
    return c - 'A' + 10;
  }
  return -1;
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

namespace {

// Reads one group of one to four hexadecimal digits at *p into bytes at
// groups (moving both on), or, where a '.' follows, the dotted-decimal IPv4
// tail, which ends the text. Returns false for anything else.
bool read_ipv6_group(const char** p, unsigned char* bytes, std::size_t* groups, bool* tail) {
  const char* start = *p;
  unsigned value = 0;
  int digits = 0;
  for (int digit = hex_value(**p); digit >= 0 && digits < 5; digit = hex_value(**p)) {
    value = value * 16 + static_cast<unsigned>(digit);
    ++digits;
    ++*p;
  }
  if (**p == '.') {
    std::uint32_t last = 0;
    if (*groups > 6 || !parse_ipv4_operand(start, &last)) {
      return false;
    }
    std::memcpy(bytes + 2 * *groups, &last, sizeof last);
    *groups += 2;
    *tail = true;
    return true;
  }
  if (digits == 0 || digits > 4 || *groups == 8) {
    return false;
  }
  bytes[2 * *groups] = static_cast<unsigned char>(value >> 8);
  bytes[2 * *groups + 1] = static_cast<unsigned char>(value);
  ++*groups;
  return true;
}

}  // namespace

bool parse_ipv6_operand(const char* text, unsigned char* address) {
  unsigned char bytes[16] = {};
  std::size_t groups = 0;      // 16-bit groups read so far
  std::size_t gap_at = 16;     // where "::" stands, in groups; 16: nowhere
  const char* p = text;
  if (p[0] == ':') {
    if (p[1] != ':') {
      return false;
    }
    gap_at = 0;
    p += 2;
  }
  bool tail = false;
  while (*p != '\0' && !tail) {
    if (!read_ipv6_group(&p, bytes, &groups, &tail)) {
      return false;
    }
    if (tail || *p == '\0') {
      break;
    }
    if (*p++ != ':') {
      return false;
    }
    if (*p == ':') {
      if (gap_at != 16) {
        return false;  // only one "::"
      }
      gap_at = groups;
      ++p;
    } else if (*p == '\0') {
      return false;  // a lone ':' at the end
    }
  }
  bool gap = gap_at != 16;
  if (gap ? groups > 7 : groups != 8) {
    return false;
  }
  if (gap) {
    // The groups after the gap move to the end; the gap is zeros.
    std::size_t after = groups - gap_at;
    std::memmove(bytes + 16 - 2 * after, bytes + 2 * gap_at, 2 * after);
    std::memset(bytes + 2 * gap_at, 0, 16 - 2 * gap_at - 2 * after);
  }
  std::memcpy(address, bytes, sizeof bytes);
  return true;
}

bool parse_address_operand(const char* text, std::size_t size, ssm_address* address) {
  char copy[64];  // longer than any address's text
  if (size >= sizeof copy) {
    return false;
  }
  std::memcpy(copy, text, size);
  copy[size] = '\0';
  if (std::memchr(copy, ':', size) != nullptr) {
    address->family = ssm_ipv6;
    return parse_ipv6_operand(copy, address->bytes);
  }
  std::uint32_t value = 0;
  if (!parse_ipv4_operand(copy, &value)) {
    return false;
  }
  address->family = ssm_ipv4;
  std::memcpy(address->bytes, &value, sizeof value);
  return true;
}

bool parse_interface_suffix(const char* text, std::size_t name_most, interface_suffix* suffix) {
  const char* mark = std::strchr(text, '%');
  if (mark == nullptr) {
    *suffix = interface_suffix{std::strlen(text), nullptr, 0};
    return true;
  }
  const char* name = mark + 1;
  std::size_t size = std::strlen(name);
  if (size == 0 || size > name_most) {
    return false;
  }
  unsigned index = 0;
  std::size_t digits = 0;
  while (is_digit(name[digits])) {
    ++digits;
  }
  if (digits == size) {
    long long value = 0;
    if (!parse_decimal_operand(name, 1, 4294967295LL, &value)) {
      return false;  // 0, or more than an index can be
    }
    index = static_cast<unsigned>(value);
  }
  *suffix = interface_suffix{static_cast<std::size_t>(mark - text), name, index};
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
