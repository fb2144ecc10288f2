// The POSIX socket layer's waits, on a socket that nothing sends to.
#include <gtest/gtest.h>

#include <chrono>

#include "platform/socket.h"

namespace {

double seconds_since(std::chrono::steady_clock::time_point start) {
  return std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
}

class PosixLayer : public ::testing::Test {
 protected:
  void SetUp() override {
    ASSERT_EQ(platform_start_sockets(), 0);
    socket = platform_open_udp_socket(ssm_ipv4);
    ASSERT_NE(socket, ssm_no_socket);
    ASSERT_EQ(platform_bind_any(socket, ssm_ipv4, 0), 0) << platform_socket_error_text();
  }

  ssm_socket socket = ssm_no_socket;
  unsigned char buffer[64] = {};
  ssm_address sender{ssm_ipv6, {1, 2, 3, 4}};
};

}  // namespace

TEST_F(PosixLayer, ReceiveWithoutWaitOnAnIdleSocketReturnsAtOnce) {
  auto start = std::chrono::steady_clock::now();
  EXPECT_EQ(platform_receive(socket, buffer, sizeof buffer, &sender, receive_no_wait),
            receive_nothing);
  EXPECT_LT(seconds_since(start), 0.5);
  EXPECT_EQ(sender.family, ssm_ipv6) << "the sender is left as it was";
  EXPECT_EQ(sender.bytes[3], 4);
}

TEST_F(PosixLayer, TimedWaitsOnAnIdleSocketRunOut) {
  auto start = std::chrono::steady_clock::now();
  EXPECT_EQ(platform_receive(socket, buffer, sizeof buffer, &sender, 30), receive_nothing);
  EXPECT_EQ(platform_wait_readable(socket, 30), 0);
  double waited = seconds_since(start);
  EXPECT_GE(waited, 0.055);
  EXPECT_LT(waited, 5.0);
}

TEST(PosixLayerNoSocket, WaitWithoutASocketFails) {
  EXPECT_EQ(platform_wait_readable(ssm_no_socket, 0), -1);
}
