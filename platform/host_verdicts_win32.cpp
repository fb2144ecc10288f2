// The host's verdicts on Windows that are its own: the interface a route
// leaves by (GetBestInterfaceEx), the IGMP version a registry setting holds
// the host to, and the host-wide count of UDP datagrams received in error
// (GetUdpStatisticsEx). Winsock offers no verdict of its input routes, no
// drop count per socket (host_verdicts_none.cpp says so), and the host's
// addresses are not looked at; its firewall is firewall_win32.cpp's.
#include "platform/host_verdicts.h"

#include <winsock2.h>
#include <ws2tcpip.h>
// After the Winsock headers, which it needs.
#include <iphlpapi.h>

#include <cstring>

#include "platform/address_win32.h"

namespace {

// Where Windows 2000 and later document the IGMP version setting: 2, 3 or 4
// for IGMPv1, v2 or v3. Without the value the host speaks what its other
// settings say, which are not read here.
const char tcpip_parameters[] = "SYSTEM\\CurrentControlSet\\Services\\Tcpip\\Parameters";
const char igmp_setting[] = "HKLM\\SYSTEM\\CurrentControlSet\\Services\\Tcpip\\Parameters\\IGMPVersion";

}  // namespace

bool platform_is_local_address(const ssm_address* /*address*/) {
  return false;
}

bool platform_address_on_interface(const ssm_address* /*address*/, unsigned /*index*/) {
  return false;
}

const char* platform_firewall_advice() {
  return "look with netsh advfirewall firewall show rule name=all";
}

int platform_route_interface(const ssm_address* address, unsigned* index) {
  SOCKADDR_STORAGE to;
  put_address(&to, address);
  DWORD best = 0;
  DWORD asked = GetBestInterfaceEx(reinterpret_cast<sockaddr*>(&to), &best);
  if (asked == ERROR_NETWORK_UNREACHABLE || asked == ERROR_HOST_UNREACHABLE) {
    return 0;
  }
  if (asked != NO_ERROR) {
    return route_unknown;
  }
  *index = best;
  return 1;
}

group_protocol platform_group_protocol(ssm_family family, unsigned /*index*/) {
  group_protocol speaks{};
  if (family == ssm_ipv6) {
    speaks.unknown_why = "Windows' MLD version is not read here";
    return speaks;
  }
  DWORD value = 0;
  DWORD size = sizeof value;
  LSTATUS read = RegGetValueA(HKEY_LOCAL_MACHINE, tcpip_parameters, "IGMPVersion",
                              RRF_RT_REG_DWORD, nullptr, &value, &size);
  if (read == ERROR_FILE_NOT_FOUND) {
    speaks.unknown_why = "no IGMPVersion value in HKLM\\SYSTEM\\CurrentControlSet\\Services"
                         "\\Tcpip\\Parameters";
    return speaks;
  }
  if (read != ERROR_SUCCESS || value < 2 || value > 4) {
    speaks.unknown_why = "the IGMPVersion value in the registry cannot be read as 2, 3 or 4";
    return speaks;
  }
  // The one setting holds every interface.
  speaks.version = static_cast<int>(value) - 1;
  speaks.forced = speaks.version;
  speaks.forced_for_all = true;
  speaks.setting = igmp_setting;
  speaks.setting_value = static_cast<int>(value);
  return speaks;
}

long long platform_host_udp_errors(ssm_family family) {
  MIB_UDPSTATS counts;
  std::memset(&counts, 0, sizeof counts);
  if (GetUdpStatisticsEx(&counts, family == ssm_ipv6 ? AF_INET6 : AF_INET) != NO_ERROR) {
    return -1;
  }
  return counts.dwInErrors;
}
