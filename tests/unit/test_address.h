// Addresses for the tests, built byte by byte: IPv4 as a value in network
// byte order, and either family as a sender's address.
#ifndef TESTS_UNIT_TEST_ADDRESS_H
#define TESTS_UNIT_TEST_ADDRESS_H

#include <cstdint>
#include <cstring>

#include "platform/socket.h"

inline std::uint32_t ipv4(unsigned a, unsigned b, unsigned c, unsigned d) {
  unsigned char bytes[4] = {static_cast<unsigned char>(a), static_cast<unsigned char>(b),
                            static_cast<unsigned char>(c), static_cast<unsigned char>(d)};
  std::uint32_t address;
  std::memcpy(&address, bytes, sizeof address);
  return address;
}

// The same as a sender's address.
inline ssm_address peer(unsigned a, unsigned b, unsigned c, unsigned d) {
  ssm_address address{ssm_ipv4, {}};
  std::uint32_t value = ipv4(a, b, c, d);
  std::memcpy(address.bytes, &value, sizeof value);
  return address;
}

// An IPv6 address from its eight 16-bit groups.
inline ssm_address peer6(std::uint16_t g0, std::uint16_t g1, std::uint16_t g2, std::uint16_t g3,
                         std::uint16_t g4, std::uint16_t g5, std::uint16_t g6, std::uint16_t g7) {
  std::uint16_t groups[8] = {g0, g1, g2, g3, g4, g5, g6, g7};
  ssm_address address{ssm_ipv6, {}};
  for (int i = 0; i < 8; ++i) {
    address.bytes[2 * i] = static_cast<unsigned char>(groups[i] >> 8);
    address.bytes[2 * i + 1] = static_cast<unsigned char>(groups[i]);
  }
  return address;
}

#endif  // TESTS_UNIT_TEST_ADDRESS_H
