#include "core/output.h"

#include <cstring>

#include "platform/process.h"

namespace {

// Hundreds of lines: a burst costs one write per block, not per line.
char held[16384];
std::size_t held_size = 0;

}  // namespace

int flush_output() {
  if (held_size == 0) {
    return 0;
  }
  std::size_t size = held_size;
  held_size = 0;
  return platform_write_output(held, size);
}

int append_output(const char* text, std::size_t size) {
  if (size > sizeof held - held_size && flush_output() != 0) {
    return -1;
  }
  if (size > sizeof held) {
    return platform_write_output(text, size);
  }
  std::memcpy(held + held_size, text, size);
  held_size += size;
  return 0;
}

bool output_pending() {
  return held_size != 0;
}
