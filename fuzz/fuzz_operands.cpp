// Fuzzes the operand parsers and start-up with arbitrary operand text, each
// checked against an independent reference: inet_pton plus the no-leading-
// zero rule for IPv4, strtoll for decimal numbers and ports.
//
// Input: byte 0 picks the argument count (0 to 5), bytes 1-16 the range for
// parse_decimal_operand (two 64-bit values, little-endian, either order), and
// the rest are the arguments, separated by NUL bytes as on a command line.
#include <arpa/inet.h>
#include <netinet/in.h>

#include <algorithm>
#include <cerrno>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <iterator>
#include <string>
#include <vector>

#include "exit_status.h"
#include "fake_platform.h"
#include "operands.h"
#include "ssm_receiver.h"

namespace {

[[noreturn]] void disagree(const char* what, const std::string& text, long long got,
                           long long want) {
  (void)std::fprintf(stderr, "fuzz_operands: %s of '%s': got %lld, want %lld\n", what,
                     text.c_str(), got, want);
  std::abort();
}

bool reference_ipv4(const char* text, std::uint32_t* address) {
  // inet_addr would read a leading zero as octal, so such a part is refused.
  for (const char* p = text; *p != '\0'; ++p) {
    bool part_start = p == text || p[-1] == '.';
    if (part_start && p[0] == '0' && p[1] >= '0' && p[1] <= '9') {
      return false;
    }
  }
  in_addr parsed{};
  if (inet_pton(AF_INET, text, &parsed) != 1) {
    return false;
  }
  *address = parsed.s_addr;
  return true;
}

bool reference_decimal(const char* text, long long min, long long max, long long* value) {
  // strtoll also takes white space, '+' and a '-' wherever: digits only here.
  const char* digits = text[0] == '-' && min < 0 ? text + 1 : text;
  if (*digits < '0' || *digits > '9') {
    return false;
  }
  errno = 0;
  char* end = nullptr;
  long long parsed = std::strtoll(text, &end, 10);
  if (errno != 0 || *end != '\0' || parsed < min || parsed > max) {
    return false;
  }
  *value = parsed;
  return true;
}

bool reference_port(const char* text, std::uint16_t* port) {
  if (*text < '0' || *text > '9') {
    return false;
  }
  errno = 0;
  char* end = nullptr;
  long parsed = std::strtol(text, &end, 10);
  if (errno != 0 || *end != '\0' || parsed < 0 || parsed > 65535) {
    return false;
  }
  *port = static_cast<std::uint16_t>(parsed);
  return true;
}

long long read_int64(const std::uint8_t* bytes) {
  std::uint64_t bits = 0;
  for (int i = 7; i >= 0; --i) {
    bits = bits << 8 | bytes[i];
  }
  long long value;
  std::memcpy(&value, &bits, sizeof value);
  return value;
}

void check_parsers(const std::string& text, long long min, long long max) {
  const char* c = text.c_str();
  std::uint32_t address = 0;
  std::uint32_t want_address = 0;
  bool ok = parse_ipv4_operand(c, &address);
  bool want = reference_ipv4(c, &want_address);
  if (ok != want || (ok && address != want_address)) {
    disagree("parse_ipv4_operand", text, ok ? address : -1LL, want ? want_address : -1LL);
  }

  long long value = 0;
  long long want_value = 0;
  ok = parse_decimal_operand(c, min, max, &value);
  want = reference_decimal(c, min, max, &want_value);
  if (ok != want || (ok && value != want_value)) {
    (void)std::fprintf(stderr, "fuzz_operands: range %lld to %lld, accepted %d (want %d)\n", min,
                       max, static_cast<int>(ok), static_cast<int>(want));
    disagree("parse_decimal_operand", text, value, want_value);
  }

  std::uint16_t port = 0;
  std::uint16_t want_port = 0;
  ok = parse_port_operand(c, &port);
  want = reference_port(c, &want_port);
  if (ok != want || (ok && port != want_port)) {
    disagree("parse_port_operand", text, ok ? port : -1, want ? want_port : -1);
  }
}

// open_ssm_receiver over the fake platform: usage below four arguments,
// otherwise status 1 for the first bad operand, or a ready receiver that
// joined exactly the channel given.
void check_startup(std::vector<std::string>& arguments, int argc) {
  std::vector<char*> argv;
  argv.reserve(arguments.size() + 1);
  std::transform(arguments.begin(), arguments.end(), std::back_inserter(argv),
                 [](std::string& argument) { return argument.data(); });
  argv.push_back(nullptr);
  if (argc == 0) {
    argv[0] = nullptr;  // as the system passes an empty argument vector
  }
  reset_fake();
  ssm_receiver receiver{};
  int status = open_ssm_receiver(argc, argv.data(), "ssm_fuzz", &receiver);
  if (argc < 4) {
    std::string name = argc > 0 ? arguments[0] : std::string("ssm_fuzz");
    std::string usage = " Use: " + name + " <group> <source> <port>";
    if (status != exit_usage || fake.output != usage || !fake.memberships.empty()) {
      disagree("usage", fake.output, status, exit_usage);
    }
    return;
  }
  std::uint32_t group = 0;
  std::uint32_t source = 0;
  std::uint16_t port = 0;
  bool good = reference_ipv4(arguments[1].c_str(), &group) &&
              reference_ipv4(arguments[2].c_str(), &source) &&
              reference_port(arguments[3].c_str(), &port);
  int want = good ? 0 : exit_usage;
  if (status != want || !fake.output.empty()) {
    disagree("open_ssm_receiver", arguments[1] + " " + arguments[2] + " " + arguments[3], status,
             want);
  }
  int joins = static_cast<int>(fake.memberships.size());
  if (good && (joins != 1 || fake.memberships[0].group != group ||
               fake.memberships[0].source != source || fake.binds.size() != 1 ||
               fake.binds[0] != port || receiver.channel.group != group ||
               receiver.channel.source != source || receiver.channel.port != port ||
               !receiver.joined)) {
    disagree("channel", arguments[1] + " " + arguments[2] + " " + arguments[3], joins, 1);
  }
  if (!good && joins != 0) {
    disagree("join after a bad operand", arguments[1], joins, 0);
  }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* input, std::size_t input_size) {
  std::uint8_t head[17] = {};
  std::size_t head_size = input_size < sizeof head ? input_size : sizeof head;
  std::memcpy(head, input, head_size);
  int argc = head[0] % 6;
  long long a = read_int64(head + 1);
  long long b = read_int64(head + 9);
  long long min = a < b ? a : b;
  long long max = a < b ? b : a;

  std::vector<std::string> arguments;
  std::string current;
  for (std::size_t i = head_size; i < input_size; ++i) {
    if (input[i] == 0) {
      arguments.push_back(current);
      current.clear();
    } else {
      current.push_back(static_cast<char>(input[i]));
    }
  }
  arguments.push_back(current);
  for (const std::string& argument : arguments) {
    check_parsers(argument, min, max);
  }
  // A command line always has the program name; missing operands are empty.
  while (arguments.size() < 5) {
    arguments.push_back(std::string());
  }
  check_startup(arguments, argc);
  return 0;
}
