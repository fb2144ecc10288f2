// The link capture where the system has no packet socket (Winsock, or a
// POSIX system without one): the link is not checked there.
#include "platform.h"

ssm_socket platform_open_link_capture(unsigned /*interface_index*/,
                                      const ssm_address* /*group*/,
                                      const ssm_address* /*source*/, std::uint16_t /*port*/,
                                      const char** reason) {
  *reason = "not made on this system";
  return ssm_no_socket;
}

long platform_drain_link_capture(ssm_socket /*capture*/) {
  return 0;
}

int platform_link_capture_counts(ssm_socket /*capture*/, long long* /*seen*/,
                                 long long* /*dropped*/) {
  return -1;
}
