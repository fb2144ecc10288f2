#include "core/operands.h"

#include <gtest/gtest.h>

#include <climits>
#include <cstring>
#include <string>

#include "tests/unit/test_address.h"

TEST(Ipv4Operand, AcceptsDottedDecimal) {
  struct {
    const char* text;
    std::uint32_t address;
  } cases[] = {
      {"232.1.2.3", ipv4(232, 1, 2, 3)},
      {"0.0.0.0", ipv4(0, 0, 0, 0)},
      {"255.255.255.255", ipv4(255, 255, 255, 255)},
      {"10.0.0.1", ipv4(10, 0, 0, 1)},
      {"192.168.100.200", ipv4(192, 168, 100, 200)},
  };
  for (const auto& c : cases) {
    std::uint32_t address = 0x12345678;
    EXPECT_TRUE(parse_ipv4_operand(c.text, &address)) << c.text;
    EXPECT_EQ(address, c.address) << c.text;
  }
}

TEST(Ipv4Operand, RejectsEverythingElse) {
  const char* cases[] = {
      "",          "232",         "232.1.2",      "232.1.2.3.4", "256.1.2.3",  "232.1.2.256",
      "232.1.2.",  ".232.1.2.3",  "232..2.3",     "232.1.2.3 ",  " 232.1.2.3", "232.1.2.3x",
      "0x1.2.3.4", "01.2.3.4",    "232.01.2.3",   "232.1.2.00",  "-1.2.3.4",   "+1.2.3.4",
      "1000.1.1.1", "9999999999.1.1.1", "232.1.2.3\n", "232,1,2,3", "localhost", "::1",
  };
  for (const char* text : cases) {
    std::uint32_t address = 0x12345678;
    EXPECT_FALSE(parse_ipv4_operand(text, &address)) << '"' << text << '"';
    EXPECT_EQ(address, 0x12345678u) << "left untouched on failure: " << text;
  }
}

TEST(PortOperand, AcceptsTheWholeRange) {
  struct {
    const char* text;
    std::uint16_t port;
  } cases[] = {{"0", 0}, {"1", 1}, {"5000", 5000}, {"65535", 65535}, {"08080", 8080}};
  for (const auto& c : cases) {
    std::uint16_t port = 1234;
    EXPECT_TRUE(parse_port_operand(c.text, &port)) << c.text;
    EXPECT_EQ(port, c.port) << c.text;
  }
}

TEST(PortOperand, RejectsWhatAtoiWouldHaveTurnedIntoAnotherPort) {
  const char* cases[] = {"",   "abc", "123abc", "65536", "70000", "-1",   "+80",
                         " 80", "80 ", "1e3",   "0x50",  "99999999999999999999999", "5000\n"};
  for (const char* text : cases) {
    std::uint16_t port = 1234;
    EXPECT_FALSE(parse_port_operand(text, &port)) << '"' << text << '"';
    EXPECT_EQ(port, 1234) << text;
  }
}

TEST(DecimalOperand, HoldsItsRangeWithoutOverflow) {
  long long value = 0;
  EXPECT_TRUE(parse_decimal_operand("-2147483648", INT_MIN, INT_MAX, &value));
  EXPECT_EQ(value, INT_MIN);
  EXPECT_TRUE(parse_decimal_operand("2147483647", INT_MIN, INT_MAX, &value));
  EXPECT_EQ(value, INT_MAX);
  EXPECT_FALSE(parse_decimal_operand("2147483648", INT_MIN, INT_MAX, &value));
  EXPECT_FALSE(parse_decimal_operand("-2147483649", INT_MIN, INT_MAX, &value));
  EXPECT_FALSE(parse_decimal_operand("-5", 0, 10, &value)) << "no sign where none is allowed";
  EXPECT_FALSE(parse_decimal_operand("-", -10, 10, &value));
  EXPECT_FALSE(parse_decimal_operand("11", 0, 10, &value));
  EXPECT_TRUE(parse_decimal_operand("9223372036854775807", LLONG_MIN, LLONG_MAX, &value));
  EXPECT_EQ(value, LLONG_MAX);
  EXPECT_TRUE(parse_decimal_operand("-9223372036854775808", LLONG_MIN, LLONG_MAX, &value));
  EXPECT_EQ(value, LLONG_MIN);
  EXPECT_FALSE(parse_decimal_operand("9223372036854775808", LLONG_MIN, LLONG_MAX, &value));
}

// The sanitizer build catches the overflow this once had: -max of the most
// negative value.
TEST(DecimalOperand, RangeBelowZeroTakesOnlyNegativeText) {
  long long value = 0;
  EXPECT_FALSE(parse_decimal_operand("5", LLONG_MIN, LLONG_MIN, &value));
  EXPECT_FALSE(parse_decimal_operand("0", LLONG_MIN, LLONG_MIN, &value));
  EXPECT_TRUE(parse_decimal_operand("-9223372036854775808", LLONG_MIN, LLONG_MIN, &value));
  EXPECT_EQ(value, LLONG_MIN);
  EXPECT_FALSE(parse_decimal_operand("0", -10, -1, &value));
  EXPECT_FALSE(parse_decimal_operand("3", -10, -1, &value));
  EXPECT_TRUE(parse_decimal_operand("-3", -10, -1, &value));
  EXPECT_EQ(value, -3);
}

TEST(Ipv6Operand, AcceptsEveryTextForm) {
  struct {
    const char* text;
    ssm_address address;
  } cases[] = {
      {"ff3e::8000:1", peer6(0xff3e, 0, 0, 0, 0, 0, 0x8000, 1)},
      {"fd00:77::1", peer6(0xfd00, 0x77, 0, 0, 0, 0, 0, 1)},
      {"FF3E:0:0:0:0:0:8000:0001", peer6(0xff3e, 0, 0, 0, 0, 0, 0x8000, 1)},
      {"::", peer6(0, 0, 0, 0, 0, 0, 0, 0)},
      {"::1", peer6(0, 0, 0, 0, 0, 0, 0, 1)},
      {"1::", peer6(1, 0, 0, 0, 0, 0, 0, 0)},
      {"1:2:3:4:5:6:7::", peer6(1, 2, 3, 4, 5, 6, 7, 0)},
      {"::2:3:4:5:6:7:8", peer6(0, 2, 3, 4, 5, 6, 7, 8)},
      {"::ffff:10.1.1.1", peer6(0, 0, 0, 0, 0, 0xffff, 0x0a01, 0x0101)},
      {"1:2:3:4:5:6:1.2.3.4", peer6(1, 2, 3, 4, 5, 6, 0x0102, 0x0304)},
  };
  for (const auto& c : cases) {
    unsigned char bytes[16] = {};
    EXPECT_TRUE(parse_ipv6_operand(c.text, bytes)) << c.text;
    EXPECT_EQ(std::memcmp(bytes, c.address.bytes, 16), 0) << c.text;
  }
}

TEST(Ipv6Operand, RejectsEverythingElse) {
  const char* cases[] = {
      "",         ":",           ":::",          "1:2:3:4:5:6:7",       "1:2:3:4:5:6:7:8:9",
      "1::2::3",  ":1::2",       "1::2:",        "12345::",             "g::1",
      "1:2:3:4:5:6:7:8::", "::1.2.3",  "::1.2.3.04", "1:2:3:4:5:6:7:1.2.3.4", "::1.2.3.4:5",
      "fe80::1%eth0", " ::1",   "::1 ",         "1.2.3.4",             "[::1]",
  };
  for (const char* text : cases) {
    unsigned char bytes[16];
    std::memset(bytes, 0xa5, sizeof bytes);
    EXPECT_FALSE(parse_ipv6_operand(text, bytes)) << '"' << text << '"';
    EXPECT_EQ(bytes[0], 0xa5) << "left untouched on failure: " << text;
  }
}

TEST(InterfaceSuffix, NameOrIndexAfterThePercentSign) {
  interface_suffix suffix{};
  EXPECT_TRUE(parse_interface_suffix("ff3e::8000:1%eth1", 15, &suffix));
  EXPECT_EQ(suffix.address_size, 12u);
  EXPECT_STREQ(suffix.name, "eth1");
  EXPECT_EQ(suffix.index, 0u);
  EXPECT_TRUE(parse_interface_suffix("232.1.2.3%3", 15, &suffix));
  EXPECT_EQ(suffix.address_size, 9u);
  EXPECT_EQ(suffix.index, 3u);
  EXPECT_TRUE(parse_interface_suffix("232.1.2.3%4294967295", 15, &suffix));
  EXPECT_EQ(suffix.index, 4294967295u);
  EXPECT_TRUE(parse_interface_suffix("232.1.2.3", 15, &suffix));
  EXPECT_EQ(suffix.name, nullptr);
  EXPECT_EQ(suffix.address_size, 9u);
  EXPECT_TRUE(parse_interface_suffix("232.1.2.3%abcdefghijklmno", 15, &suffix)) << "15 fit";
  for (const char* bad : {"232.1.2.3%", "232.1.2.3%abcdefghijklmnop", "232.1.2.3%0",
                          "232.1.2.3%4294967296"}) {
    EXPECT_FALSE(parse_interface_suffix(bad, 15, &suffix)) << bad;
  }
}

TEST(AddressOperand, EitherFamilyUpToTheSizeGiven) {
  ssm_address address{};
  const char* group = "ff3e::8000:1%eth1";
  EXPECT_TRUE(parse_address_operand(group, 12, &address));
  EXPECT_EQ(address.family, ssm_ipv6);
  EXPECT_FALSE(parse_address_operand(group, std::strlen(group), &address)) << "the suffix is not";
  EXPECT_TRUE(parse_address_operand("232.1.2.3", 9, &address));
  EXPECT_EQ(address.family, ssm_ipv4);
  EXPECT_EQ(std::memcmp(address.bytes, peer(232, 1, 2, 3).bytes, 4), 0);
  EXPECT_FALSE(parse_address_operand("232.1.2.3", 8, &address));
  std::string long_text(80, '1');
  EXPECT_FALSE(parse_address_operand(long_text.c_str(), long_text.size(), &address));
}
