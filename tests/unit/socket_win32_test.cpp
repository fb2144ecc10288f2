// The Winsock platform layer on real sockets that carry no traffic: the
// waits that must not block, and the failures start-up reports.
#include <gtest/gtest.h>

#include <winsock2.h>

#include <cstring>
#include <string>

#include "platform/socket.h"
#include "tests/unit/test_address.h"

namespace {

class WinsockLayer : public ::testing::Test {
 protected:
  void SetUp() override {
    ASSERT_EQ(platform_start_sockets(), 0);
    socket = platform_open_udp_socket(ssm_ipv4);
    ASSERT_NE(socket, ssm_no_socket);
    ASSERT_EQ(platform_bind_any(socket, ssm_ipv4, 0), 0);
  }

  void TearDown() override {
    if (socket != ssm_no_socket) {
      closesocket(static_cast<SOCKET>(socket));
    }
  }

  // The port the system picked for the socket, in host byte order.
  std::uint16_t bound_port() {
    sockaddr_in local{};
    int size = static_cast<int>(sizeof local);
    EXPECT_EQ(getsockname(static_cast<SOCKET>(socket), reinterpret_cast<sockaddr*>(&local), &size),
              0);
    return ntohs(local.sin_port);
  }

  ssm_socket socket = ssm_no_socket;
  unsigned char buffer[256] = {};
};

}  // namespace

TEST_F(WinsockLayer, ReceiveWithoutWaitOnAnIdleSocketReturnsAtOnce) {
  ssm_address sender = peer(1, 2, 3, 4);
  EXPECT_EQ(platform_receive(socket, buffer, sizeof buffer, &sender, receive_no_wait),
            receive_nothing);
  EXPECT_EQ(std::memcmp(sender.bytes, peer(1, 2, 3, 4).bytes, 4), 0);
}

TEST_F(WinsockLayer, TimedWaitsOnAnIdleSocketRunOut) {
  EXPECT_EQ(platform_wait_readable(socket, 0), 0);
  EXPECT_EQ(platform_wait_readable(socket, 50), 0);
  ssm_address sender = peer(1, 2, 3, 4);
  EXPECT_EQ(platform_receive(socket, buffer, sizeof buffer, &sender, 50), receive_nothing);
  EXPECT_EQ(std::memcmp(sender.bytes, peer(1, 2, 3, 4).bytes, 4), 0);
}

TEST_F(WinsockLayer, Ipv6SocketBindsAndSaysItsPort) {
  ssm_socket six = platform_open_udp_socket(ssm_ipv6);
  ASSERT_NE(six, ssm_no_socket);
  ASSERT_EQ(platform_bind_any(six, ssm_ipv6, 0), 0) << platform_socket_error_text();
  std::uint16_t port = 0;
  EXPECT_EQ(platform_bound_port(six, &port), 0);
  EXPECT_NE(port, 0);
  closesocket(static_cast<SOCKET>(six));
}

TEST_F(WinsockLayer, WaitWithoutASocketFails) {
  EXPECT_EQ(platform_wait_readable(ssm_no_socket, 0), -1);
}

TEST_F(WinsockLayer, SecondBindToAPortInUseFailsWithOneLineReason) {
  std::uint16_t port = bound_port();
  ASSERT_NE(port, 0);
  ssm_socket second = platform_open_udp_socket(ssm_ipv4);
  ASSERT_NE(second, ssm_no_socket);
  EXPECT_EQ(platform_bind_any(second, ssm_ipv4, port), -1);
  // Whatever the system's wording, the code is WSAEADDRINUSE.
  EXPECT_EQ(WSAGetLastError(), WSAEADDRINUSE);
  std::string reason = platform_socket_error_text();
  EXPECT_FALSE(reason.empty());
  EXPECT_EQ(reason.find_first_of("\r\n"), std::string::npos) << reason;
  EXPECT_NE(reason.back(), ' ') << reason;
  closesocket(static_cast<SOCKET>(second));
}
