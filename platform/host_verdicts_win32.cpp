// The host's verdicts on Windows that are its own: Winsock offers no verdict
// of its routes, no group protocol version and no drop count
// (host_verdicts_none.cpp says so), and the host's addresses are not looked
// at; its firewall is looked at with netsh.
#include "platform/host_verdicts.h"

bool platform_is_local_address(const ssm_address* /*address*/) {
  return false;
}

bool platform_address_on_interface(const ssm_address* /*address*/, unsigned /*index*/) {
  return false;
}

const char* platform_firewall_advice() {
  return "look with netsh advfirewall firewall show rule name=all";
}
