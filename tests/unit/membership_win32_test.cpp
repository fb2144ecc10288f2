// The Winsock membership record, filled through the platform layer: the
// stack reads it by position, so the bytes must sit where Winsock puts them.
#include <gtest/gtest.h>

#include <winsock2.h>
#include <ws2tcpip.h>

#include <cstring>

#include "platform/membership.h"
#include "tests/unit/test_address.h"

namespace {

std::uint32_t word_at(const struct ip_mreq_source& request, std::size_t offset) {
  std::uint32_t word;
  std::memcpy(&word, reinterpret_cast<const unsigned char*>(&request) + offset, sizeof word);
  return word;
}

}  // namespace

TEST(MembershipRecord, GroupSourceInterfaceInWinsockOrder) {
  struct ip_mreq_source request;
  std::memset(&request, 0xa5, sizeof request);
  platform_fill_source_membership(&request, ipv4(232, 1, 2, 3), ipv4(10, 1, 1, 1),
                                  ipv4(127, 0, 0, 9));
  EXPECT_EQ(word_at(request, 0), ipv4(232, 1, 2, 3));
  EXPECT_EQ(word_at(request, 4), ipv4(10, 1, 1, 1));
  EXPECT_EQ(word_at(request, 8), ipv4(127, 0, 0, 9));
}

TEST(MembershipRecord, TwelveBytes) {
  EXPECT_EQ(sizeof(struct ip_mreq_source), 12u);
}

TEST(MembershipRecord, InterfaceZeroLetsTheStackChoose) {
  struct ip_mreq_source request;
  std::memset(&request, 0xa5, sizeof request);
  platform_fill_source_membership(&request, ipv4(232, 9, 9, 9), ipv4(10, 2, 2, 2), 0);
  EXPECT_EQ(word_at(request, 0), ipv4(232, 9, 9, 9));
  EXPECT_EQ(word_at(request, 4), ipv4(10, 2, 2, 2));
  EXPECT_EQ(word_at(request, 8), 0u);
}

// mingw-w64's GROUP_SOURCE_REQ, the layout Windows documents: the interface
// index, then each address in a SOCKADDR_STORAGE at 8 and 136.
TEST(MembershipRecord, GroupSourceRequestInWindowsLayout) {
  EXPECT_EQ(sizeof(GROUP_SOURCE_REQ), 264u);
  GROUP_SOURCE_REQ request;
  std::memset(&request, 0xa5, sizeof request);
  ssm_address group = peer6(0xff3e, 0, 0, 0, 0, 0, 0x8000, 1);
  ssm_address source = peer6(0xfd00, 0x77, 0, 0, 0, 0, 0, 1);
  platform_fill_group_source_request(&request, 7, &group, &source);
  const unsigned char* bytes = reinterpret_cast<const unsigned char*>(&request);
  std::uint32_t index;
  std::memcpy(&index, bytes, sizeof index);
  EXPECT_EQ(index, 7u);
  for (std::size_t at : {std::size_t{8}, std::size_t{136}}) {
    std::uint16_t family;
    std::memcpy(&family, bytes + at, sizeof family);
    EXPECT_EQ(family, AF_INET6) << at;
    // sockaddr_in6: family, port, flow information, then the address.
    const ssm_address& want = at == 8 ? group : source;
    EXPECT_EQ(std::memcmp(bytes + at + 8, want.bytes, 16), 0) << at;
    EXPECT_EQ(bytes[at + 2], 0) << "port 0";
  }
}
