#include "report_line.h"

#include <gtest/gtest.h>

#include <climits>
#include <cstdio>
#include <string>

#include "test_address.h"

namespace {

std::string line_for(std::uint32_t sender, std::int32_t sequence, long length) {
  char out[report_line_max];
  std::size_t size = format_report_line(out, sender, sequence, length);
  return std::string(out, size);
}

std::string printf_line(const char* address, int sequence, long length) {
  char out[128];
  std::snprintf(out, sizeof out, "%12s:seq=%6d:len=%4ld\n", address, sequence, length);
  return out;
}

}  // namespace

TEST(ReportLine, MatchesTheClassicFormat) {
  EXPECT_EQ(line_for(ipv4(10, 1, 1, 1), 1, 32), "    10.1.1.1:seq=     1:len=  32\n");
  EXPECT_EQ(line_for(ipv4(0, 0, 0, 0), 0, -1), "     0.0.0.0:seq=     0:len=  -1\n");
  EXPECT_EQ(line_for(ipv4(10, 1, 1, 1), -1, 4), "    10.1.1.1:seq=    -1:len=   4\n");
}

TEST(ReportLine, WidensForLongFields) {
  EXPECT_EQ(line_for(ipv4(192, 168, 100, 200), 7, 0), "192.168.100.200:seq=     7:len=   0\n")
      << "a 15-character address is printed whole, 3 columns wider";
  EXPECT_EQ(line_for(ipv4(10, 1, 1, 1), 1234567, 65507), "    10.1.1.1:seq=1234567:len=65507\n");
  EXPECT_EQ(line_for(ipv4(10, 1, 1, 1), INT32_MIN, 65536),
            "    10.1.1.1:seq=-2147483648:len=65536\n");
}

TEST(ReportLine, AgreesWithPrintfOverManyValues) {
  const std::int32_t sequences[] = {0,      1,       -1,      9,        10,      99999,  999999,
                                    1000000, -99999, -100000, 16777216, INT32_MAX, INT32_MIN};
  const long lengths[] = {-1, 0, 1, 3, 4, 999, 1000, 9999, 10000, 65507, 65536};
  const struct {
    std::uint32_t address;
    const char* text;
  } senders[] = {{ipv4(1, 2, 3, 4), "1.2.3.4"},
                 {ipv4(255, 255, 255, 255), "255.255.255.255"},
                 {ipv4(10, 20, 30, 40), "10.20.30.40"},
                 {ipv4(100, 0, 9, 255), "100.0.9.255"}};
  for (const auto& sender : senders) {
    for (std::int32_t sequence : sequences) {
      for (long length : lengths) {
        EXPECT_EQ(line_for(sender.address, sequence, length),
                  printf_line(sender.text, sequence, length));
      }
    }
  }
}

TEST(Sequence, IsLittleEndianSigned) {
  const unsigned char one[] = {0x01, 0x00, 0x00, 0x00};
  const unsigned char high[] = {0x00, 0x00, 0x00, 0x01};
  const unsigned char all[] = {0xff, 0xff, 0xff, 0xff};
  const unsigned char mixed[] = {0x78, 0x56, 0x34, 0x12};
  const unsigned char lowest[] = {0x00, 0x00, 0x00, 0x80};
  EXPECT_EQ(read_sequence(one), 1);
  EXPECT_EQ(read_sequence(high), 16777216);
  EXPECT_EQ(read_sequence(all), -1);
  EXPECT_EQ(read_sequence(mixed), 0x12345678);
  EXPECT_EQ(read_sequence(lowest), INT32_MIN);
}

TEST(Ipv4Text, IsDottedDecimal) {
  char out[16];
  EXPECT_EQ(format_ipv4(out, ipv4(0, 0, 0, 0)), 7u);
  EXPECT_STREQ(out, "0.0.0.0");
  EXPECT_EQ(format_ipv4(out, ipv4(255, 255, 255, 255)), 15u);
  EXPECT_STREQ(out, "255.255.255.255");
  format_ipv4(out, ipv4(232, 10, 0, 99));
  EXPECT_STREQ(out, "232.10.0.99");
}
