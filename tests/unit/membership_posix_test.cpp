// The POSIX membership record, filled through the platform layer.
#include <gtest/gtest.h>

#include <netinet/in.h>

#include <cstring>

#include "platform/membership.h"
#include "tests/unit/test_address.h"

TEST(MembershipRecord, IsFilledByFieldName) {
  struct ip_mreq_source request;
  std::memset(&request, 0xa5, sizeof request);
  platform_fill_source_membership(&request, ipv4(232, 1, 2, 3), ipv4(10, 1, 1, 1),
                                  ipv4(127, 0, 0, 9));
  EXPECT_EQ(request.imr_multiaddr.s_addr, ipv4(232, 1, 2, 3));
  EXPECT_EQ(request.imr_sourceaddr.s_addr, ipv4(10, 1, 1, 1));
  EXPECT_EQ(request.imr_interface.s_addr, ipv4(127, 0, 0, 9));
  EXPECT_EQ(sizeof request, 12u);
}

TEST(MembershipRecord, GroupSourceRequestCarriesIndexGroupAndSource) {
  struct group_source_req request;
  std::memset(&request, 0xa5, sizeof request);
  ssm_address group = peer6(0xff3e, 0, 0, 0, 0, 0, 0x8000, 1);
  ssm_address source = peer6(0xfd00, 0x77, 0, 0, 0, 0, 0, 1);
  platform_fill_group_source_request(&request, 3, &group, &source);
  EXPECT_EQ(request.gsr_interface, 3u);
  const sockaddr_in6* g = reinterpret_cast<const sockaddr_in6*>(&request.gsr_group);
  const sockaddr_in6* s = reinterpret_cast<const sockaddr_in6*>(&request.gsr_source);
  EXPECT_EQ(g->sin6_family, AF_INET6);
  EXPECT_EQ(s->sin6_family, AF_INET6);
  EXPECT_EQ(std::memcmp(&g->sin6_addr, group.bytes, 16), 0);
  EXPECT_EQ(std::memcmp(&s->sin6_addr, source.bytes, 16), 0) << "group and source never swapped";
  EXPECT_EQ(g->sin6_port, 0);
  // An IPv4 channel on a named interface takes the same record.
  ssm_address group4 = peer(232, 1, 2, 3);
  ssm_address source4 = peer(10, 1, 1, 1);
  platform_fill_group_source_request(&request, 5, &group4, &source4);
  const sockaddr_in* g4 = reinterpret_cast<const sockaddr_in*>(&request.gsr_group);
  EXPECT_EQ(g4->sin_family, AF_INET);
  EXPECT_EQ(g4->sin_addr.s_addr, ipv4(232, 1, 2, 3));
  EXPECT_EQ(reinterpret_cast<const sockaddr_in*>(&request.gsr_source)->sin_addr.s_addr,
            ipv4(10, 1, 1, 1));
}
