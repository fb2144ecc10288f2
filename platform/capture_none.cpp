// The link capture where the system has no packet socket (Winsock, or a
// POSIX system without one): the link is not checked there.
#include "platform/capture.h"

ssm_socket platform_open_link_capture(unsigned /*interface_index*/,
                                      const ssm_address* /*group*/,
                                      const ssm_address* /*source*/, std::uint16_t /*port*/,
                                      const char** reason) {
  *reason = "not made on this system";
  return ssm_no_socket;
}

int platform_link_capture_count(ssm_socket /*capture*/, long long* /*seen*/) {
  return -1;
}

void platform_close_link_capture(ssm_socket /*capture*/) {}
