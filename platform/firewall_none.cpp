// The firewall where it is not asked: on Linux the link capture finds what
// the host dropped after the link, and the verdict names a firewall from that.
#include "platform/host_verdicts.h"

void platform_firewall_facts(ssm_family /*family*/, std::uint16_t /*port*/,
                             firewall_facts* facts) {
  *facts = firewall_facts{};
}
