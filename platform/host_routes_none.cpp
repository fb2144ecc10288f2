// The host's routes and group protocol where the system has neither netlink
// nor Windows' own tables (a POSIX system other than Linux): they cannot be
// asked, and each answer says so.
#include "platform/host_verdicts.h"

int platform_route_interface(const ssm_address* /*address*/, unsigned* /*index*/) {
  return route_unknown;
}

group_protocol platform_group_protocol(ssm_family /*family*/, unsigned /*index*/) {
  return group_protocol{};
}
