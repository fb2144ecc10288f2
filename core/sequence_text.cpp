#include "core/sequence_text.h"

#include <cstdio>

void write_ranges(const sequence_range* ranges, int count, std::int64_t total, char* out,
                  std::size_t room) {
  if (room == 0) {
    return;
  }
  out[0] = '\0';
  if (count == 0) {
    (void)std::snprintf(out, room, "none");
    return;
  }
  std::size_t used = 0;
  for (int i = 0; i < count && used < room; ++i) {
    const char* comma = i > 0 ? ", " : "";
    auto first = static_cast<std::int32_t>(ranges[i].first);
    auto last = static_cast<std::int32_t>(ranges[i].last);
    // "-2-1" and "5--3" would read as other numbers: a negative end takes "to".
    const char* between = first < 0 || last < 0 ? " to " : "-";
    int size = first == last ? std::snprintf(out + used, room - used, "%s%d", comma, first)
                             : std::snprintf(out + used, room - used, "%s%d%s%d", comma, first,
                                             between, last);
    used += size < 0 ? room : static_cast<std::size_t>(size);
  }
  if (total > count && used < room) {
    (void)std::snprintf(out + used, room - used, ", ... (%lld ranges in all)",
                        static_cast<long long>(total));
  }
}
