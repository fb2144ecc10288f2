// The POSIX membership record, filled through the platform layer.
#include <gtest/gtest.h>

#include <cstring>

#include "platform.h"
#include <netinet/in.h>
#include "test_address.h"

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
