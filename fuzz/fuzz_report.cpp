// Fuzzes the report line: receive_and_report over a platform whose receives
// return fuzz-chosen lengths (-1, nothing, 0 to 65536), senders and bytes.
// Each line must be what snprintf("%12s:seq=%6d:len=%4d\n") makes of the
// inet_ntoa text, the sequence number taken little-endian from the bytes
// delivered (missing ones as zero) and the length; a failed receive repeats
// the sender and sequence number before it.
#include <arpa/inet.h>
#include <fuzzer/FuzzedDataProvider.h>
#include <netinet/in.h>

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <string>
#include <vector>

#include "fuzz_platform.h"
#include "output.h"
#include "report_line.h"
#include "ssm_receiver.h"

namespace {

// The most receives one input drives, so every run stays short.
const int max_steps = 64;

[[noreturn]] void disagree(const char* what, const std::string& got, const std::string& want) {
  (void)std::fprintf(stderr, "fuzz_report: %s\n  got:  '%s'\n  want: '%s'\n", what,
                     got.c_str(), want.c_str());
  std::abort();
}

std::string reference_line(std::uint32_t sender, const unsigned char* sequence_bytes,
                           long length) {
  in_addr address{};
  address.s_addr = sender;
  std::uint32_t bits = 0;
  for (int i = 3; i >= 0; --i) {
    bits = bits << 8 | sequence_bytes[i];
  }
  std::int32_t sequence;
  std::memcpy(&sequence, &bits, sizeof sequence);
  char line[128];
  int size = std::snprintf(line, sizeof line, "%12s:seq=%6d:len=%4ld\n", inet_ntoa(address),
                           sequence, length);
  return std::string(line, static_cast<std::size_t>(size));
}

long choose_length(FuzzedDataProvider* data) {
  switch (data->ConsumeIntegralInRange<int>(0, 7)) {
    case 0:
      return -1;
    case 1:
      return receive_nothing;
    case 2:
      return data->ConsumeIntegralInRange<long>(0, 4);
    case 3:
      return data->PickValueInArray<long>({65507, 65535, 65536});
    default:
      return data->ConsumeIntegralInRange<long>(0, static_cast<long>(report_buffer_size));
  }
}

// format_report_line on its own, over every value its arguments can take.
void check_format(FuzzedDataProvider* data) {
  std::uint32_t sender = data->ConsumeIntegral<std::uint32_t>();
  std::int32_t sequence = data->ConsumeIntegral<std::int32_t>();
  long length = data->ConsumeIntegral<long>();
  unsigned char bytes[4];
  std::uint32_t bits;
  std::memcpy(&bits, &sequence, sizeof bits);
  for (unsigned char& byte : bytes) {
    byte = static_cast<unsigned char>(bits);
    bits >>= 8;
  }
  char line[report_line_max];
  std::size_t size = format_report_line(line, sender, sequence, length);
  std::string got(line, size);
  std::string want = reference_line(sender, bytes, length);
  if (got != want) {
    disagree("format_report_line", got, want);
  }
}

// What the receiver must have kept: the sender record and bytes 0-3.
struct expected_state {
  std::uint32_t sender;
  unsigned char bytes[4];
};

// One receive: its result, sender and bytes chosen by the fuzzer, and the
// line it must give.
void check_receive(FuzzedDataProvider* data, unsigned char* buffer, sender_record* sender,
                   expected_state* want) {
  fuzz_receive next{};
  next.result = choose_length(data);
  next.sender = data->ConsumeIntegral<std::uint32_t>();
  next.fill = data->ConsumeIntegral<unsigned char>();
  std::vector<unsigned char> bytes =
      data->ConsumeBytes<unsigned char>(data->ConsumeIntegralInRange<std::size_t>(0, 8));
  next.bytes = bytes.data();
  next.byte_count = bytes.size();
  fuzz_reset();
  fuzz_set_receive(next);

  report_result result = receive_and_report(3, buffer, sender, receive_no_wait);
  if (fuzz_receive_calls() != 1) {
    disagree("receives per call", std::to_string(fuzz_receive_calls()), "1");
  }
  if (flush_output() != 0) {
    disagree("flush", "-1", "0");
  }
  const std::string& got = fuzz_output();
  if (next.result == receive_nothing) {
    if (result != report_nothing || !got.empty()) {
      disagree("nothing received", got, "");
    }
    return;
  }
  if (next.result >= 0) {
    want->sender = next.sender;
    for (std::size_t i = 0; i < sizeof want->bytes; ++i) {
      unsigned char delivered = i < bytes.size() ? bytes[i] : next.fill;
      want->bytes[i] = static_cast<long>(i) < next.result ? delivered : 0;
    }
  }
  std::string line = reference_line(want->sender, want->bytes, next.result);
  if (result != report_printed || got != line) {
    disagree("report line", got, line);
  }
  if (std::memcmp(buffer, want->bytes, sizeof want->bytes) != 0) {
    disagree("sequence bytes left in the buffer", "", "");
  }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* input, std::size_t input_size) {
  // Exactly the size receive_and_report asks for, on the heap, so that a
  // byte past its end is an AddressSanitizer report.
  static std::unique_ptr<unsigned char[]> buffer(new unsigned char[report_buffer_size]);
  FuzzedDataProvider data(input, input_size);

  // Whatever the buffer and the sender record held before the first receive.
  sender_record sender{data.ConsumeIntegral<std::uint32_t>()};
  std::memset(buffer.get(), data.ConsumeIntegral<unsigned char>(), report_buffer_size);
  std::vector<unsigned char> start = data.ConsumeBytes<unsigned char>(4);
  if (!start.empty()) {
    std::memcpy(buffer.get(), start.data(), start.size());
  }
  expected_state want{};
  want.sender = sender.address;
  std::memcpy(want.bytes, buffer.get(), sizeof want.bytes);

  for (int step = 0; step < max_steps && data.remaining_bytes() > 0; ++step) {
    check_format(&data);
    check_receive(&data, buffer.get(), &sender, &want);
  }
  return 0;
}
