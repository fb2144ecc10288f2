// IPv4 addresses for the tests, in network byte order, built byte by byte.
#ifndef TESTS_UNIT_TEST_ADDRESS_H
#define TESTS_UNIT_TEST_ADDRESS_H

#include <cstdint>
#include <cstring>

inline std::uint32_t ipv4(unsigned a, unsigned b, unsigned c, unsigned d) {
  unsigned char bytes[4] = {static_cast<unsigned char>(a), static_cast<unsigned char>(b),
                            static_cast<unsigned char>(c), static_cast<unsigned char>(d)};
  std::uint32_t address;
  std::memcpy(&address, bytes, sizeof address);
  return address;
}

#endif  // TESTS_UNIT_TEST_ADDRESS_H
