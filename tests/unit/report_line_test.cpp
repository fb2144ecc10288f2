#include "core/report_line.h"

#include <gtest/gtest.h>

#include <climits>
#include <cstdio>
#include <cstring>
#include <string>

#include "tests/unit/test_address.h"

namespace {

std::string line_for(const ssm_address& sender, std::int32_t sequence, long length) {
  char out[report_line_max];
  std::size_t size = format_report_line(out, sender, sequence, length);
  return std::string(out, size);
}

std::string text_of(const ssm_address& address) {
  char out[address_text_max];
  std::size_t size = format_address(out, address);
  EXPECT_EQ(std::strlen(out), size) << "NUL-terminated";
  return std::string(out, size);
}

std::string printf_line(const char* address, int sequence, long length) {
  char out[128];
  std::snprintf(out, sizeof out, "%12s:seq=%6d:len=%4ld\n", address, sequence, length);
  return out;
}

}  // namespace

TEST(ReportLine, MatchesTheClassicFormat) {
  EXPECT_EQ(line_for(peer(10, 1, 1, 1), 1, 32), "    10.1.1.1:seq=     1:len=  32\n");
  EXPECT_EQ(line_for(peer(0, 0, 0, 0), 0, -1), "     0.0.0.0:seq=     0:len=  -1\n");
  EXPECT_EQ(line_for(peer(10, 1, 1, 1), -1, 4), "    10.1.1.1:seq=    -1:len=   4\n");
}

TEST(ReportLine, WidensForLongFields) {
  EXPECT_EQ(line_for(peer(192, 168, 100, 200), 7, 0), "192.168.100.200:seq=     7:len=   0\n")
      << "a 15-character address is printed whole, 3 columns wider";
  EXPECT_EQ(line_for(peer(10, 1, 1, 1), 1234567, 65507), "    10.1.1.1:seq=1234567:len=65507\n");
  EXPECT_EQ(line_for(peer(10, 1, 1, 1), INT32_MIN, 65536),
            "    10.1.1.1:seq=-2147483648:len=65536\n");
}

TEST(ReportLine, AgreesWithPrintfOverManyValues) {
  const std::int32_t sequences[] = {0,      1,       -1,      9,        10,      99999,  999999,
                                    1000000, -99999, -100000, 16777216, INT32_MAX, INT32_MIN};
  const long lengths[] = {-1, 0, 1, 3, 4, 999, 1000, 9999, 10000, 65507, 65536};
  const struct {
    ssm_address address;
    const char* text;
  } senders[] = {{peer(1, 2, 3, 4), "1.2.3.4"},
                 {peer(255, 255, 255, 255), "255.255.255.255"},
                 {peer(10, 20, 30, 40), "10.20.30.40"},
                 {peer(100, 0, 9, 255), "100.0.9.255"},
                 {peer6(0xfd00, 0x77, 0, 0, 0, 0, 0, 1), "fd00:77::1"},
                 {peer6(0x2001, 0xdb8, 0, 0, 0, 0, 0, 0x10), "2001:db8::10"}};
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
  EXPECT_EQ(read_tally_number(mixed, false), 0x12345678u);
  EXPECT_EQ(read_tally_number(mixed, true), 0x78563412u);
  EXPECT_EQ(read_tally_number(lowest, true), 0x00000080u);
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

TEST(Ipv6Text, IsWhatInetNtopWrites) {
  struct {
    ssm_address address;
    const char* text;
  } cases[] = {
      {peer6(0, 0, 0, 0, 0, 0, 0, 0), "::"},
      {peer6(0, 0, 0, 0, 0, 0, 0, 1), "::1"},
      {peer6(0xff3e, 0, 0, 0, 0, 0, 0x8000, 1), "ff3e::8000:1"},
      {peer6(0xfd00, 0x77, 0, 0, 0, 0, 0, 1), "fd00:77::1"},
      {peer6(0x2001, 0xdb8, 0, 1, 0, 0, 0, 1), "2001:db8:0:1::1"},       // a lone 0 stays
      {peer6(0x2001, 0xdb8, 0, 0, 1, 0, 0, 1), "2001:db8::1:0:0:1"},     // the first run wins
      {peer6(1, 0, 0, 2, 0, 0, 0, 3), "1:0:0:2::3"},                     // the longer run wins
      {peer6(0xABCD, 0xef, 0x0a, 0x100, 0xffff, 0, 0xe, 0), "abcd:ef:a:100:ffff:0:e:0"},
      {peer6(1, 0, 0, 0, 0, 0, 0, 0), "1::"},
      {peer6(0, 0, 0, 0, 0, 0xffff, 0x0a01, 0x0101), "::ffff:10.1.1.1"},
      {peer6(0, 0, 0, 0, 0, 0, 0x0a01, 0x0101), "::10.1.1.1"},
      {peer6(0, 0, 0, 0, 0, 0xfffe, 0x0a01, 0x0101), "::fffe:a01:101"},
      {peer6(0xffff, 0xffff, 0xffff, 0xffff, 0xffff, 0xffff, 0xffff, 0xffff),
       "ffff:ffff:ffff:ffff:ffff:ffff:ffff:ffff"},
  };
  for (const auto& c : cases) {
    EXPECT_EQ(text_of(c.address), c.text);
  }
  // A longer address widens the line.
  EXPECT_EQ(line_for(peer6(0xfd00, 0x77, 0, 0, 0, 0, 0, 1), 1, 32),
            "  fd00:77::1:seq=     1:len=  32\n");
  EXPECT_EQ(line_for(peer6(0xffff, 0xffff, 0xffff, 0xffff, 0xffff, 0xffff, 0xffff, 0xfffe),
                     INT32_MIN, 65527),
            "ffff:ffff:ffff:ffff:ffff:ffff:ffff:fffe:seq=-2147483648:len=65527\n");
}
