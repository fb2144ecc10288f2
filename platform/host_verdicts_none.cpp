// The host's verdicts where the system has no netlink (Winsock, or a POSIX
// system other than Linux): its routes, settings, group protocol and drops
// cannot be asked, and each answer says so. Its addresses and its firewall
// are the system's own file's (host_verdicts_posix.cpp,
// host_verdicts_win32.cpp).
#include "platform/host_verdicts.h"

int platform_input_route(const ssm_address* /*group*/, const ssm_address* /*source*/,
                         unsigned /*index*/) {
  return route_unknown;
}

int platform_route_interface(const ssm_address* /*address*/, unsigned* /*index*/) {
  return route_unknown;
}

int platform_accepts_local_source(unsigned /*index*/) {
  return -1;
}

void platform_reverse_path_filter(unsigned /*index*/, int* own, int* all) {
  *own = -1;
  *all = -1;
}

group_protocol platform_group_protocol(ssm_family /*family*/, unsigned /*index*/) {
  return group_protocol{0, 0, false};
}

long long platform_socket_drops(ssm_socket /*socket*/) {
  return -1;
}

const char* platform_receive_queue_limit(ssm_socket /*socket*/) {
  return nullptr;
}
