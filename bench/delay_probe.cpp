// delay_probe: sends numbered 32-byte datagrams at a low rate and watches the
// receiver's output file with inotify, noting when each datagram's line (or,
// for a raw copy such as socat's, its 32-byte record) appears there. Prints
// the delays from the send call to the line being readable in the file.
//
// Resolution: both times come from CLOCK_MONOTONIC in this one process. A
// line's time is taken when the read that returned it completes, after the
// inotify wake-up, so it is late by that wake-up (tens of microseconds on an
// idle core) and never early.
#include <fcntl.h>
#include <poll.h>
#include <sys/inotify.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <vector>

#include "bench/bench_send.h"
#include "core/operands.h"

namespace {

const char program[] = "delay_probe";
const std::size_t payload_size = 32;
// How long lines may still come after the last send.
const long long settle_ns = 1500000000LL;

struct probe_state {
  std::vector<long long> sent_at;
  std::vector<long long> seen_at;
  long long seen = 0;
  bool raw = false;
  std::vector<char> carry;  // an incomplete line or record
};

void note_sequence(probe_state* state, long long sequence, long long when) {
  if (sequence < 1 || sequence > static_cast<long long>(state->seen_at.size())) {
    return;
  }
  std::size_t index = static_cast<std::size_t>(sequence - 1);
  if (state->seen_at[index] < 0) {
    state->seen_at[index] = when;
    ++state->seen;
  }
}

long long line_sequence(const char* line, std::size_t size) {
  static const char key[] = ":seq=";
  const char* end = line + size;
  const char* p = std::search(line, end, key, key + 5);
  if (p == end) {
    return -1;
  }
  p += 5;
  while (p < end && *p == ' ') {
    ++p;
  }
  bool negative = p < end && *p == '-';
  p += negative ? 1 : 0;
  long long value = 0;
  while (p < end && *p >= '0' && *p <= '9') {
    value = value * 10 + (*p++ - '0');
  }
  return negative ? -value : value;
}

void take_output(probe_state* state, const char* data, std::size_t size, long long when) {
  state->carry.insert(state->carry.end(), data, data + size);
  std::size_t used = 0;
  const char* all = state->carry.data();
  std::size_t total = state->carry.size();
  if (state->raw) {
    for (; total - used >= payload_size; used += payload_size) {
      const unsigned char* record = reinterpret_cast<const unsigned char*>(all + used);
      long long sequence = static_cast<long long>(
          static_cast<std::uint32_t>(record[0]) | static_cast<std::uint32_t>(record[1]) << 8 |
          static_cast<std::uint32_t>(record[2]) << 16 | static_cast<std::uint32_t>(record[3]) << 24);
      note_sequence(state, sequence, when);
    }
  } else {
    for (;;) {
      const void* found = std::memchr(all + used, '\n', total - used);
      if (found == nullptr) {
        break;
      }
      std::size_t end = static_cast<std::size_t>(static_cast<const char*>(found) - all);
      note_sequence(state, line_sequence(all + used, end - used), when);
      used = end + 1;
    }
  }
  state->carry.erase(state->carry.begin(), state->carry.begin() + static_cast<long>(used));
}

void read_new_output(probe_state* state, int file) {
  static char chunk[65536];
  for (;;) {
    ssize_t got = read(file, chunk, sizeof chunk);
    if (got <= 0) {
      return;
    }
    take_output(state, chunk, static_cast<std::size_t>(got), now_ns());
  }
}

// The p-quantile of the sorted delays (nearest rank), in microseconds.
double percentile_us(const std::vector<long long>& sorted, double p) {
  if (sorted.empty()) {
    return -1;
  }
  std::size_t rank = static_cast<std::size_t>(p * static_cast<double>(sorted.size()) + 0.999999);
  rank = rank == 0 ? 0 : rank - 1;
  return static_cast<double>(sorted[std::min(rank, sorted.size() - 1)]) / 1000.0;
}

// Prints the delays of the lines seen, and how many were not.
void print_delays(const probe_state& state, long long count) {
  std::vector<long long> delays;
  long long within_2ms = 0;
  for (std::size_t i = 0; i < state.seen_at.size(); ++i) {
    if (state.seen_at[i] >= 0) {
      long long delay = state.seen_at[i] - state.sent_at[i];
      delays.push_back(delay);
      within_2ms += delay <= 2000000 ? 1 : 0;
    }
  }
  std::sort(delays.begin(), delays.end());
  std::printf("sent=%lld seen=%lld missing=%lld p50_us=%.1f p99_us=%.1f max_us=%.1f "
              "within_2ms=%.4f\n",
              count, state.seen, count - state.seen, percentile_us(delays, 0.50),
              percentile_us(delays, 0.99), percentile_us(delays, 1.0),
              static_cast<double>(within_2ms) / static_cast<double>(count));
}

int usage() {
  (void)std::fprintf(stderr,
                     "Usage: %s -c count -r rate -f file [-m lines|raw] <group>[%%interface] "
                     "<source> <port>\n",
                     program);
  return 1;
}

// Reads one option. Returns false for a wrong one.
bool read_option(int option, const char* text, long long* count, long long* rate,
                 const char** path, probe_state* state) {
  switch (option) {
    case 'c':
      return parse_decimal_operand(text, 1, 1000000, count);
    case 'r':
      return parse_decimal_operand(text, 1, 100000, rate);
    case 'f':
      *path = text;
      return true;
    case 'm':
      state->raw = std::strcmp(text, "raw") == 0;
      return state->raw || std::strcmp(text, "lines") == 0;
    default:
      return false;
  }
}

}  // namespace

int main(int argc, char** argv) {
  long long count = 0;
  long long rate = 0;
  const char* path = nullptr;
  probe_state state;
  int option;
  while ((option = getopt(argc, argv, "c:r:f:m:")) != -1) {
    if (!read_option(option, optarg, &count, &rate, &path, &state)) {
      return usage();
    }
  }
  bench_channel channel{};
  std::uint16_t port = 0;
  if (argc - optind != 3 || count == 0 || rate == 0 || path == nullptr ||
      !parse_bench_channel(argv[optind], argv[optind + 1], &channel) ||
      !parse_port_operand(argv[optind + 2], &port)) {
    return usage();
  }
  sockaddr_storage destination{};
  socklen_t destination_size = 0;
  int fd = open_bench_sender(program, &channel, port, &destination, &destination_size);
  if (fd < 0) {
    return 2;
  }
  int file = open(path, O_RDONLY);
  int watch = inotify_init1(IN_NONBLOCK);
  if (file < 0 || watch < 0 || inotify_add_watch(watch, path, IN_MODIFY) < 0) {
    std::perror(program);
    return 2;
  }
  // Whatever the receiver wrote before the first datagram is not a line of ours.
  lseek(file, 0, SEEK_END);
  state.sent_at.assign(static_cast<std::size_t>(count), -1);
  state.seen_at.assign(static_cast<std::size_t>(count), -1);

  unsigned char payload[payload_size] = {};
  long long started = now_ns();
  long long next = 0;
  long long last_sent = started;
  for (;;) {
    long long now = now_ns();
    long long wake;
    if (next < count) {
      wake = started + next * 1000000000LL / rate;
    } else if (state.seen < count && now < last_sent + settle_ns) {
      wake = last_sent + settle_ns;
    } else {
      break;
    }
    if (now >= wake && next < count) {
      put_sequence(payload, static_cast<std::uint32_t>(next + 1));
      last_sent = now_ns();
      state.sent_at[static_cast<std::size_t>(next)] = last_sent;
      sendto(fd, payload, payload_size, 0, reinterpret_cast<sockaddr*>(&destination),
             destination_size);
      ++next;
      continue;
    }
    pollfd ready{watch, POLLIN, 0};
    long long left = wake - now;
    timespec limit{static_cast<time_t>(left / 1000000000LL), static_cast<long>(left % 1000000000LL)};
    if (ppoll(&ready, 1, &limit, nullptr) > 0) {
      static char events[4096];
      while (read(watch, events, sizeof events) > 0) {
      }
      read_new_output(&state, file);
    }
  }
  read_new_output(&state, file);
  print_delays(state, count);
  return 0;
}
