// Whether a device holds a membership, from Linux's lists of the devices' own
// source filters: /proc/net/mcfilter and /proc/net/mcfilter6, read at most
// ten times a second.
#include "platform/membership.h"

#include <arpa/inet.h>

#include <cerrno>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <vector>

#include "platform/process.h"

namespace {

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

// One filter of a device that includes its source: its interface's index,
// the group and the source (network order; IPv4 in the first 4 bytes).
struct held_filter {
  unsigned index;
  unsigned char group[16];
  unsigned char source[16];
};

// A family's list as last read. A monitor asks for many channels in the same
// moment: one read serves them all for a while.
struct filter_table {
  std::vector<held_filter> rows;
  std::int64_t read_us;
  bool read;
};

filter_table tables[2];

// How long a reading of the list is taken as the devices' state.
const std::int64_t table_fresh_us = 100000;

// Reads 32 hex digits into 16 bytes.
bool read_hex_address(const char* text, unsigned char* bytes) {
  if (std::strlen(text) != 32) {
    return false;
  }
  for (std::size_t i = 0; i < 16; ++i) {
    char pair[3] = {text[2 * i], text[2 * i + 1], '\0'};
    unsigned long value = 0;
    if (!read_number(pair, 16, &value)) {
      return false;
    }
    bytes[i] = static_cast<unsigned char>(value);
  }
  return true;
}

// Reads a row of /proc/net/mcfilter (IPv4: index, device, group and source
// as 0x-hex in host order, INC, EXC) or mcfilter6 (IPv6: the addresses as 32
// hex digits). Returns false for a row that is not one, or includes nothing.
bool read_row(char* row, ssm_family family, held_filter* filter) {
  char* fields[6];
  unsigned long index = 0;
  unsigned long included = 0;
  if (split_fields(row, fields, 6) != 6 || !read_number(fields[0], 10, &index) ||
      !read_number(fields[4], 10, &included) || included == 0) {
    return false;
  }
  *filter = held_filter{};
  filter->index = static_cast<unsigned>(index);
  if (family == ssm_ipv6) {
    return read_hex_address(fields[2], filter->group) &&
           read_hex_address(fields[3], filter->source);
  }
  unsigned long group = 0;
  unsigned long source = 0;
  if (!read_number(fields[2], 16, &group) || !read_number(fields[3], 16, &source)) {
    return false;
  }
  std::uint32_t network_group = htonl(static_cast<std::uint32_t>(group));
  std::uint32_t network_source = htonl(static_cast<std::uint32_t>(source));
  std::memcpy(filter->group, &network_group, 4);
  std::memcpy(filter->source, &network_source, 4);
  return true;
}

// The family's list, read again when the last reading is stale. Returns
// nullptr when it cannot be read.
const filter_table* current_table(ssm_family family) {
  filter_table& table = tables[family == ssm_ipv6 ? 1 : 0];
  std::int64_t now_us = platform_monotonic_us();
  if (table.read && now_us - table.read_us < table_fresh_us) {
    return &table;
  }
  std::FILE* file =
      std::fopen(family == ssm_ipv6 ? "/proc/net/mcfilter6" : "/proc/net/mcfilter", "re");
  if (file == nullptr) {
    table.read = false;
    return nullptr;
  }
  table.rows.clear();
  char row[256];
  held_filter filter;
  while (std::fgets(row, sizeof row, file) != nullptr) {
    if (read_row(row, family, &filter)) {
      table.rows.push_back(filter);
    }
  }
  (void)std::fclose(file);
  table.read = true;
  table.read_us = now_us;
  return &table;
}

}  // namespace

device_membership platform_device_holds_membership(unsigned index, const ssm_address* group,
                                                   const ssm_address* source) {
  // The device's own filters, whatever the sockets' records say.
  const filter_table* table = current_table(group->family);
  if (table == nullptr) {
    return device_cannot_say;
  }
  std::size_t size = group->family == ssm_ipv6 ? 16 : 4;
  for (const held_filter& filter : table->rows) {
    if (filter.index == index && std::memcmp(filter.group, group->bytes, size) == 0 &&
        std::memcmp(filter.source, source->bytes, size) == 0) {
      return device_holds;
    }
  }
  return device_lacks;
}
