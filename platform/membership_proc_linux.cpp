// Whether a device holds a membership, from Linux's lists of the devices' own
// source filters: /proc/net/mcfilter and /proc/net/mcfilter6.
#include "platform/membership.h"

#include <arpa/inet.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>

namespace {

// The address as /proc/net/mcfilter6 writes it: 32 lower-case hex digits.
void hex_address(char* out, const ssm_address* address) {
  static const char digits[] = "0123456789abcdef";
  for (std::size_t i = 0; i < 16; ++i) {
    out[2 * i] = digits[address->bytes[i] >> 4];
    out[2 * i + 1] = digits[address->bytes[i] & 0x0f];
  }
  out[32] = '\0';
}

// Splits row in place at white space into at most `most` fields; returns
// how many it found.
int split_fields(char* row, char** fields, int most) {
  int count = 0;
  char* at = row;
  while (count < most) {
    while (*at == ' ' || *at == '\t' || *at == '\n') {
      ++at;
    }
    if (*at == '\0') {
      break;
    }
    fields[count++] = at;
    while (*at != '\0' && *at != ' ' && *at != '\t' && *at != '\n') {
      ++at;
    }
    if (*at != '\0') {
      *at++ = '\0';
    }
  }
  return count;
}

bool read_number(const char* text, int base, unsigned long* value) {
  char* end = nullptr;
  errno = 0;
  *value = std::strtoul(text, &end, base);
  return end != text && *end == '\0' && errno == 0;
}

// Whether a row of /proc/net/mcfilter (IPv4: index, device, group and source
// as 0x-hex in host order, INC, EXC) or mcfilter6 (IPv6: the addresses as 32
// hex digits) includes the source for the group on the interface.
bool row_includes(char* row, unsigned index, const ssm_address* group,
                  const ssm_address* source) {
  char* fields[6];
  unsigned long row_index = 0;
  unsigned long included = 0;
  if (split_fields(row, fields, 6) != 6 || !read_number(fields[0], 10, &row_index) ||
      !read_number(fields[4], 10, &included) || row_index != index || included == 0) {
    return false;
  }
  if (group->family == ssm_ipv6) {
    char want_group[33];
    char want_source[33];
    hex_address(want_group, group);
    hex_address(want_source, source);
    return std::strcmp(fields[2], want_group) == 0 && std::strcmp(fields[3], want_source) == 0;
  }
  unsigned long row_group = 0;
  unsigned long row_source = 0;
  std::uint32_t want_group = 0;
  std::uint32_t want_source = 0;
  std::memcpy(&want_group, group->bytes, 4);
  std::memcpy(&want_source, source->bytes, 4);
  return read_number(fields[2], 16, &row_group) && read_number(fields[3], 16, &row_source) &&
         row_group == ntohl(want_group) && row_source == ntohl(want_source);
}

}  // namespace

device_membership platform_device_holds_membership(unsigned index, const ssm_address* group,
                                                   const ssm_address* source) {
  // The device's own filters, whatever the sockets' records say.
  std::FILE* table =
      std::fopen(group->family == ssm_ipv6 ? "/proc/net/mcfilter6" : "/proc/net/mcfilter", "re");
  if (table == nullptr) {
    return device_cannot_say;
  }
  device_membership found = device_lacks;
  char row[256];
  while (std::fgets(row, sizeof row, table) != nullptr) {
    if (row_includes(row, index, group, source)) {
      found = device_holds;
      break;
    }
  }
  (void)std::fclose(table);
  return found;
}
