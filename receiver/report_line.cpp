// Formatted by hand: this runs once per datagram, and the fields are simple
// enough that printf's format parsing would be most of the cost.
#include "report_line.h"

#include <cstring>

namespace {

// Writes value in decimal, right-aligned in at least width columns.
char* put_number(char* out, long long value, int width) {
  char digits[24];
  int count = 0;
  unsigned long long magnitude = static_cast<unsigned long long>(value);
  if (value < 0) {
    magnitude = 0ULL - magnitude;
  }
  do {
    digits[count++] = static_cast<char>('0' + magnitude % 10);
    magnitude /= 10;
  } while (magnitude != 0);
  if (value < 0) {
    digits[count++] = '-';
  }
  for (int pad = width - count; pad > 0; --pad) {
    *out++ = ' ';
  }
  while (count > 0) {
    *out++ = digits[--count];
  }
  return out;
}

char* put_text(char* out, const char* text, std::size_t size) {
  std::memcpy(out, text, size);
  return out + size;
}

}  // namespace

std::int32_t read_sequence(const unsigned char* datagram) {
  std::uint32_t bits = static_cast<std::uint32_t>(datagram[0]) |
                       static_cast<std::uint32_t>(datagram[1]) << 8 |
                       static_cast<std::uint32_t>(datagram[2]) << 16 |
                       static_cast<std::uint32_t>(datagram[3]) << 24;
  std::int32_t sequence;
  std::memcpy(&sequence, &bits, sizeof sequence);
  return sequence;
}

std::size_t format_ipv4(char* out, std::uint32_t address) {
  unsigned char parts[4];
  std::memcpy(parts, &address, sizeof parts);
  char* p = out;
  for (int i = 0; i < 4; ++i) {
    if (i > 0) {
      *p++ = '.';
    }
    p = put_number(p, parts[i], 0);
  }
  *p = '\0';
  return static_cast<std::size_t>(p - out);
}

std::size_t format_report_line(char* out, std::uint32_t sender, std::int32_t sequence,
                               long length) {
  char address[16];
  std::size_t address_size = format_ipv4(address, sender);
  char* p = out;
  for (std::size_t pad = address_size; pad < 12; ++pad) {
    *p++ = ' ';
  }
  p = put_text(p, address, address_size);
  p = put_text(p, ":seq=", 5);
  p = put_number(p, sequence, 6);
  p = put_text(p, ":len=", 5);
  p = put_number(p, length, 4);
  *p++ = '\n';
  return static_cast<std::size_t>(p - out);
}
