// The Winsock membership record, filled through the platform layer: the
// stack reads it by position, so the bytes must sit where Winsock puts them.
#include <gtest/gtest.h>

#include <winsock2.h>
#include <ws2tcpip.h>

#include <cstring>

#include "platform.h"
#include "test_address.h"

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
