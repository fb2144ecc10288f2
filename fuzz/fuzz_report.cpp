// Fuzzes the report line: receive_and_report and ssm_listen's
// receive_and_report_batch over the scripted platform, whose receives return
// fuzz-chosen lengths (-1, nothing, 0 to 65536), senders and bytes, and whose
// batches are any size and mix of them. Each line must be what
// snprintf("%12s:seq=%6d:len=%4d\n") makes of the inet_ntop text (IPv4 or
// IPv6), the
// sequence number taken little-endian from the bytes delivered (missing ones
// as zero) and the length; a failed receive repeats the sender and sequence
// number before it.
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

#include "core/output.h"
#include "core/report_line.h"
#include "core/ssm_receiver.h"
#include "tests/unit/fake_platform.h"

namespace {

// The most receives one input drives, so every run stays short.
const int max_steps = 64;

// What the receives count for the pacer; nothing here reads it.
pace_state pace{};

[[noreturn]] void disagree(const char* what, const std::string& got, const std::string& want) {
  (void)std::fprintf(stderr, "fuzz_report: %s\n  got:  '%s'\n  want: '%s'\n", what,
                     got.c_str(), want.c_str());
  std::abort();
}

std::string reference_line(const ssm_address& sender, const unsigned char* sequence_bytes,
                           long length) {
  char text[INET6_ADDRSTRLEN];
  if (inet_ntop(sender.family == ssm_ipv6 ? AF_INET6 : AF_INET, sender.bytes, text,
                sizeof text) == nullptr) {
    std::abort();
  }
  std::uint32_t bits = 0;
  for (int i = 3; i >= 0; --i) {
    bits = bits << 8 | sequence_bytes[i];
  }
  std::int32_t sequence;
  std::memcpy(&sequence, &bits, sizeof sequence);
  char line[128];
  int size = std::snprintf(line, sizeof line, "%12s:seq=%6d:len=%4ld\n", text, sequence,
                           length);
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

// A sender of either family, any bytes; an IPv6 one often with long zero
// runs and the IPv4-mapped prefix, where inet_ntop's text has its cases.
ssm_address choose_sender(FuzzedDataProvider* data) {
  ssm_address sender{};
  if (!data->ConsumeBool()) {
    sender.family = ssm_ipv4;
    std::uint32_t value = data->ConsumeIntegral<std::uint32_t>();
    std::memcpy(sender.bytes, &value, sizeof value);
    return sender;
  }
  sender.family = ssm_ipv6;
  std::uint16_t zero_groups = data->ConsumeIntegral<std::uint16_t>();
  for (int i = 0; i < 8; ++i) {
    std::uint16_t group = (zero_groups >> i & 1) != 0 ? 0 : data->ConsumeIntegral<std::uint16_t>();
    if (i == 5 && (zero_groups >> 8 & 3) == 3) {
      group = 0xffff;
    }
    sender.bytes[2 * i] = static_cast<unsigned char>(group >> 8);
    sender.bytes[2 * i + 1] = static_cast<unsigned char>(group);
  }
  return sender;
}

// format_report_line on its own, over every value its arguments can take.
void check_format(FuzzedDataProvider* data) {
  ssm_address sender = choose_sender(data);
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
  ssm_address sender;
  unsigned char bytes[4];
};

fake_datagram choose_datagram(FuzzedDataProvider* data) {
  fake_datagram next{};
  next.result = choose_length(data);
  next.sender = choose_sender(data);
  next.fill = data->ConsumeIntegral<unsigned char>();
  next.bytes = data->ConsumeBytes<unsigned char>(data->ConsumeIntegralInRange<std::size_t>(0, 8));
  return next;
}

// The line a received datagram must give, after noting what it leaves.
std::string expect_line(const fake_datagram& next, expected_state* want) {
  if (next.result >= 0) {
    want->sender = next.sender;
    for (std::size_t i = 0; i < sizeof want->bytes; ++i) {
      unsigned char delivered = i < next.bytes.size() ? next.bytes[i] : next.fill;
      want->bytes[i] = static_cast<long>(i) < next.result ? delivered : 0;
    }
  }
  return reference_line(want->sender, want->bytes, next.result);
}

// One receive_and_report call on one scripted receive.
void check_receive(FuzzedDataProvider* data, unsigned char* buffer, sender_record* sender,
                   expected_state* want) {
  fake_datagram next = choose_datagram(data);
  reset_fake();
  fake.datagrams.push_back(next);

  report_result result = receive_and_report(3, buffer, sender, receive_no_wait, &pace);
  if (fake.receive_waits.size() != 1) {
    disagree("receives per call", std::to_string(fake.receive_waits.size()), "1");
  }
  if (flush_output() != 0) {
    disagree("flush", "-1", "0");
  }
  if (next.result == receive_nothing) {
    if (result != report_nothing || !fake.output.empty()) {
      disagree("nothing received", fake.output, "");
    }
    return;
  }
  std::string line = expect_line(next, want);
  if (result != report_printed || fake.output != line) {
    disagree("report line", fake.output, line);
  }
  if (std::memcmp(buffer, want->bytes, sizeof want->bytes) != 0) {
    disagree("sequence bytes left in the buffer", "", "");
  }
}

// Whether a received datagram is in its slot: the sequence field as the
// line shows it, and its last byte.
bool whole_in_slot(const fake_datagram& datagram, const unsigned char* slot,
                   const expected_state& want) {
  if (std::memcmp(slot, want.bytes, sizeof want.bytes) != 0) {
    return false;
  }
  std::size_t length = static_cast<std::size_t>(datagram.result);
  if (length <= sizeof want.bytes) {
    return true;
  }
  unsigned char last = length <= datagram.bytes.size() ? datagram.bytes[length - 1] : datagram.fill;
  return slot[length - 1] == last;
}

// A script of receives, taken by receive_and_report_batch calls until it is
// used up: the lines in order, each datagram whole in its own slot.
void check_batches(FuzzedDataProvider* data, report_batch* batch, expected_state* want) {
  reset_fake();
  std::vector<fake_datagram> script;
  std::size_t length = data->ConsumeIntegralInRange<std::size_t>(1, 2 * report_batch_slots + 3);
  for (std::size_t i = 0; i < length && data->remaining_bytes() > 0; ++i) {
    script.push_back(choose_datagram(data));
    fake.datagrams.push_back(script.back());
  }
  std::size_t taken = 0;
  for (std::size_t call = 0; call <= script.size() && !fake.datagrams.empty(); ++call) {
    std::size_t queued = fake.datagrams.size();
    int wait_ms = data->ConsumeBool() ? receive_no_wait : receive_wait_forever;
    report_result result = receive_and_report_batch(3, batch, wait_ms, &pace);
    if (flush_output() != 0) {
      disagree("flush", "-1", "0");
    }
    std::size_t used = queued - fake.datagrams.size();
    int size = fake.batch_sizes.back();
    // Short and not ended by a failure: the queue ran dry.
    bool dry = size > 0 && size < report_batch_slots &&
               script[taken + static_cast<std::size_t>(size) - 1].result >= 0;
    report_result right = size == 0 ? report_nothing : dry ? report_drained : report_printed;
    if (result != right) {
      disagree("batch result", std::to_string(result), std::to_string(right));
    }
    std::string lines;
    for (int slot = 0; slot < size; ++slot) {
      const fake_datagram& next = script[taken + static_cast<std::size_t>(slot)];
      lines += expect_line(next, want);
      if (next.result < 0) {
        continue;
      }
      if (!whole_in_slot(next, batch->slots[slot], *want)) {
        disagree("datagram in its slot", std::to_string(slot), "whole");
      }
    }
    if (fake.output != lines) {
      disagree("batch lines", fake.output, lines);
    }
    fake.output.clear();
    taken += used;
  }
  if (!fake.datagrams.empty()) {
    disagree("receives left", std::to_string(fake.datagrams.size()), "0");
  }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* input, std::size_t input_size) {
  // Exactly the size receive_and_report asks for, on the heap, so that a
  // byte past its end is an AddressSanitizer report; the batch likewise.
  static std::unique_ptr<unsigned char[]> buffer(new unsigned char[report_buffer_size]);
  static std::unique_ptr<report_batch> batch(new report_batch());
  FuzzedDataProvider data(input, input_size);

  // Whatever the buffer and the sender record held before the first receive.
  sender_record sender{choose_sender(&data)};
  std::memset(buffer.get(), data.ConsumeIntegral<unsigned char>(), report_buffer_size);
  std::vector<unsigned char> start = data.ConsumeBytes<unsigned char>(4);
  if (!start.empty()) {
    std::memcpy(buffer.get(), start.data(), start.size());
  }
  expected_state want{};
  want.sender = sender.address;
  std::memcpy(want.bytes, buffer.get(), sizeof want.bytes);
  // The batch path starts from the same record and sequence number.
  batch->sender = sender;
  batch->sequence = read_sequence(want.bytes);
  expected_state want_batch = want;

  for (int step = 0; step < max_steps && data.remaining_bytes() > 0; ++step) {
    check_format(&data);
    if (data.ConsumeBool()) {
      check_receive(&data, buffer.get(), &sender, &want);
    } else {
      check_batches(&data, batch.get(), &want_batch);
    }
  }
  return 0;
}
