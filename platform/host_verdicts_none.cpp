// The host's verdicts that only Linux's kernel gives (Winsock, or a POSIX
// system without netlink): its input route check, the settings it applies
// there, and the socket's own drops cannot be asked, and each answer says so.
// Its routes and group protocol are the system's own file's
// (host_verdicts_win32.cpp; host_routes_none.cpp), and so are its addresses
// and its firewall (host_verdicts_posix.cpp, host_verdicts_win32.cpp).
#include "platform/host_verdicts.h"

int platform_input_route(const ssm_address* /*group*/, const ssm_address* /*source*/,
                         unsigned /*index*/) {
  return route_unknown;
}

bool platform_judges_input_route() {
  return false;
}

int platform_accepts_local_source(unsigned /*index*/) {
  return -1;
}

void platform_reverse_path_filter(unsigned /*index*/, int* own, int* all) {
  *own = -1;
  *all = -1;
}

long long platform_socket_drops(ssm_socket /*socket*/) {
  return -1;
}

const char* platform_receive_queue_limit(ssm_socket /*socket*/) {
  return nullptr;
}
