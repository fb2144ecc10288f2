// Fuzzes the operand parsers and start-up with arbitrary operand text, each
// checked against an independent reference: inet_pton plus the no-leading-
// zero rule for IPv4, inet_pton for IPv6, strchr and strtoull for an
// interface suffix, strtoll for decimal numbers and ports.
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

#include "core/exit_status.h"
#include "core/operands.h"
#include "core/ssm_receiver.h"
#include "tests/unit/fake_platform.h"

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

bool reference_ipv6(const char* text, unsigned char* address) {
  in6_addr parsed{};
  if (inet_pton(AF_INET6, text, &parsed) != 1) {
    return false;
  }
  std::memcpy(address, &parsed, 16);
  return true;
}

// What a group operand's suffix must give: the address' length, the name
// or index after the first '%', or false.
bool reference_suffix(const std::string& text, std::size_t name_most, interface_suffix* suffix) {
  std::size_t mark = text.find('%');
  if (mark == std::string::npos) {
    *suffix = interface_suffix{text.size(), nullptr, 0};
    return true;
  }
  std::string name = text.substr(mark + 1);
  if (name.empty() || name.size() > name_most) {
    return false;
  }
  unsigned index = 0;
  if (name.find_first_not_of("0123456789") == std::string::npos) {
    errno = 0;
    unsigned long long value = std::strtoull(name.c_str(), nullptr, 10);
    if (errno != 0 || value == 0 || value > 4294967295ULL) {
      return false;
    }
    index = static_cast<unsigned>(value);
  }
  *suffix = interface_suffix{mark, text.c_str() + mark + 1, index};
  return true;
}

// A whole address operand of either family, as start-up reads it.
bool reference_address(const std::string& text, ssm_address* address) {
  if (text.find(':') != std::string::npos) {
    address->family = ssm_ipv6;
    return reference_ipv6(text.c_str(), address->bytes);
  }
  address->family = ssm_ipv4;
  std::uint32_t value = 0;
  if (!reference_ipv4(text.c_str(), &value)) {
    return false;
  }
  std::memcpy(address->bytes, &value, sizeof value);
  return true;
}

// An address a channel may have: not IPv4 written as IPv6 (::ffff:a.b.c.d),
// which no IPv6 membership can carry.
bool reference_channel_address(const std::string& text, ssm_address* address) {
  static const unsigned char mapped[12] = {0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0xff, 0xff};
  return reference_address(text, address) &&
         !(address->family == ssm_ipv6 && std::memcmp(address->bytes, mapped, 12) == 0);
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

  unsigned char bytes[16] = {};
  unsigned char want_bytes[16] = {};
  ok = parse_ipv6_operand(c, bytes);
  want = reference_ipv6(c, want_bytes);
  if (ok != want || (ok && std::memcmp(bytes, want_bytes, 16) != 0)) {
    disagree("parse_ipv6_operand", text, ok, want);
  }

  for (std::size_t name_most : {std::size_t{15}, std::size_t{256}}) {
    interface_suffix suffix{};
    interface_suffix want_suffix{};
    ok = parse_interface_suffix(c, name_most, &suffix);
    want = reference_suffix(text, name_most, &want_suffix);
    if (ok != want ||
        (ok && (suffix.address_size != want_suffix.address_size ||
                suffix.index != want_suffix.index ||
                (suffix.name == nullptr) != (want_suffix.name == nullptr) ||
                (suffix.name != nullptr && std::strcmp(suffix.name, want_suffix.name) != 0)))) {
      disagree("parse_interface_suffix", text, ok, want);
    }
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
  // The group: its address and suffix; then the source and the port, and
  // one family for both addresses.
  interface_suffix suffix{};
  ssm_address group{};
  ssm_address source{};
  std::uint16_t port = 0;
  const std::string& group_text = arguments[1];
  bool good = reference_suffix(group_text, 15, &suffix) &&
              reference_channel_address(group_text.substr(0, suffix.address_size), &group) &&
              reference_channel_address(arguments[2], &source) &&
              reference_port(arguments[3].c_str(), &port) && group.family == source.family;
  int want = good ? 0 : exit_usage;
  std::string operands = arguments[1] + " " + arguments[2] + " " + arguments[3];
  if (status != want || !fake.output.empty()) {
    disagree("open_ssm_receiver", operands, status, want);
  }
  if (!good) {
    if (!fake.memberships.empty() || fake.sockets_opened != 0) {
      disagree("socket or join after a bad operand", operands,
               static_cast<long long>(fake.memberships.size()), 0);
    }
    return;
  }
  std::size_t size = group.family == ssm_ipv6 ? 16 : 4;
  bool named = suffix.name != nullptr && suffix.index == 0;
  // A name is looked up, and the fake knows none: nothing is asked.
  std::size_t joins = named ? 0 : 1;
  bool right = fake.memberships.size() == joins && fake.binds.size() == 1 &&
               fake.binds[0] == port && fake.families.size() == 1 &&
               fake.families[0] == group.family && receiver.channel.port == port &&
               receiver.joined == !named &&
               std::memcmp(receiver.channel.group.bytes, group.bytes, size) == 0 &&
               std::memcmp(receiver.channel.source.bytes, source.bytes, size) == 0;
  if (right && joins == 1) {
    const fake_membership& joined = fake.memberships[0];
    if (group.family == ssm_ipv4 && suffix.name == nullptr) {
      // Exactly as ever: ip_mreq_source on interface 0.
      right = !joined.by_index && joined.group == ipv4_value(group) &&
              joined.source == ipv4_value(source) && joined.interface_address == 0;
    } else {
      right = joined.by_index && joined.interface_index == suffix.index &&
              std::memcmp(joined.group_address.bytes, group.bytes, size) == 0 &&
              std::memcmp(joined.source_address.bytes, source.bytes, size) == 0;
    }
  }
  if (!right) {
    disagree("channel", operands, static_cast<long long>(fake.memberships.size()),
             static_cast<long long>(joins));
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
