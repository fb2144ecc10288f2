// Formatted by hand: this runs once per datagram, and the fields are simple
// enough that printf's format parsing would be most of the cost.
#include "core/report_line.h"

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

std::uint32_t read_tally_number(const unsigned char* datagram, bool big_endian) {
  if (!big_endian) {
    return static_cast<std::uint32_t>(read_sequence(datagram));
  }
  return static_cast<std::uint32_t>(datagram[0]) << 24 |
         static_cast<std::uint32_t>(datagram[1]) << 16 |
         static_cast<std::uint32_t>(datagram[2]) << 8 | datagram[3];
}

bool same_address(const ssm_address& a, const ssm_address& b) {
  std::size_t size = a.family == ssm_ipv6 ? 16 : 4;
  return a.family == b.family && std::memcmp(a.bytes, b.bytes, size) == 0;
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

namespace {

// The longest run of zero groups, the first of equal ones: its start and
// size, or a size of 0.
void longest_zero_run(const unsigned* words, std::size_t* start, std::size_t* size) {
  *start = 0;
  *size = 0;
  for (std::size_t i = 0; i < 8;) {
    std::size_t j = i;
    while (j < 8 && words[j] == 0) {
      ++j;
    }
    if (j - i > *size) {
      *start = i;
      *size = j - i;
    }
    i = j > i ? j : i + 1;
  }
}

// A group in lower-case hexadecimal, without leading zeros.
char* put_hex_group(char* out, unsigned word) {
  static const char hex[] = "0123456789abcdef";
  bool started = false;
  for (int shift = 12; shift >= 0; shift -= 4) {
    unsigned digit = word >> shift & 0xf;
    started = started || digit != 0 || shift == 0;
    if (started) {
      *out++ = hex[digit];
    }
  }
  return out;
}

}  // namespace

std::size_t format_ipv6(char* out, const unsigned char* address) {
  unsigned words[8];
  for (std::size_t i = 0; i < 8; ++i) {
    words[i] = static_cast<unsigned>(address[2 * i]) << 8 | address[2 * i + 1];
  }
  std::size_t run_start = 0;
  std::size_t run_size = 0;
  longest_zero_run(words, &run_start, &run_size);
  if (run_size < 2) {
    run_size = 0;  // a single zero group is not shortened
  }
  // ::a.b.c.d and ::ffff:a.b.c.d carry an IPv4 address in their tail.
  bool ipv4_tail = run_start == 0 && (run_size == 6 || (run_size == 5 && words[5] == 0xffff));
  char* p = out;
  for (std::size_t i = 0; i < 8; ++i) {
    if (run_size > 0 && i >= run_start && i < run_start + run_size) {
      if (i == run_start) {
        *p++ = ':';
      }
      continue;
    }
    if (i != 0) {
      *p++ = ':';
    }
    if (i == 6 && ipv4_tail) {
      std::uint32_t tail;
      std::memcpy(&tail, address + 12, sizeof tail);
      p += format_ipv4(p, tail);
      return static_cast<std::size_t>(p - out);
    }
    p = put_hex_group(p, words[i]);
  }
  if (run_size > 0 && run_start + run_size == 8) {
    *p++ = ':';
  }
  *p = '\0';
  return static_cast<std::size_t>(p - out);
}

std::size_t format_address(char* out, const ssm_address& address) {
  if (address.family == ssm_ipv6) {
    return format_ipv6(out, address.bytes);
  }
  std::uint32_t value;
  std::memcpy(&value, address.bytes, sizeof value);
  return format_ipv4(out, value);
}

std::size_t format_report_line(char* out, const ssm_address& sender, std::int32_t sequence,
                               long length) {
  char address[address_text_max];
  std::size_t address_size = format_address(address, sender);
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
