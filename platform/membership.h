// Memberships and interfaces: joins and leaves, the interface a membership
// is on, whether the device itself still holds it, the binding of the socket
// to an interface, and the interfaces by index and name. One file per system (membership_posix.cpp,
// membership_win32.cpp), and the device's own filters where the system lists
// them (membership_proc_linux.cpp; elsewhere membership_proc_none.cpp).
#ifndef PLATFORM_MEMBERSHIP_H
#define PLATFORM_MEMBERSHIP_H

#include <cstddef>
#include <cstdint>

#include "platform/socket.h"

// The platform's membership records, filled by field name only.
struct ip_mreq_source;
struct group_source_req;

// Fills the IPv4 membership record by field name; addresses in network byte
// order.
void platform_fill_source_membership(struct ip_mreq_source* request, std::uint32_t group,
                                     std::uint32_t source, std::uint32_t interface_address);

// Asks for the IPv4 (source, group) membership with one setsockopt call of
// IP_ADD_SOURCE_MEMBERSHIP. Returns the call's result: 0, or -1 with the
// reason in platform_socket_error_text().
int platform_add_source_membership(ssm_socket socket, std::uint32_t group, std::uint32_t source,
                                   std::uint32_t interface_address);

// Fills the protocol-independent membership record by field name: the
// interface's index (0: the system chooses), the group and the source.
void platform_fill_group_source_request(struct group_source_req* request, unsigned interface_index,
                                        const ssm_address* group, const ssm_address* source);

// Asks with one setsockopt call for the (source, group) membership on the
// interface with this index (0: the system chooses): for IPv6, and for IPv4
// on a named interface, each in the platform's own way. Returns the call's
// result: 0, or -1 with the reason in platform_socket_error_text().
int platform_join_source_group(ssm_socket socket, const ssm_address* group,
                               const ssm_address* source, unsigned interface_index);

// The index of the interface named so, or 0 when there is none now.
unsigned platform_interface_index(const char* name);

// The longest interface name the system has.
std::size_t platform_interface_name_most();

// The index of the interface on which the socket holds its membership of
// group, as the system says; 0 when it holds none or the system cannot say.
unsigned platform_membership_interface(ssm_socket socket, const ssm_address* group);

// Whether an interface with this index exists now.
bool platform_interface_exists(unsigned index);

// The name of the interface with this index into name (size bytes); false
// when there is none.
bool platform_interface_name(unsigned index, char* name, std::size_t size);

// Whether the interface with this index is a loopback interface.
bool platform_is_loopback(unsigned index);

// Whether the interface with this index is up (administratively): 1, 0 when
// down, -1 when the system cannot say.
int platform_interface_up(unsigned index);

// Drops the socket's membership of group on the interface with this index,
// which may be gone by now. Returns the setsockopt result: 0 or -1.
int platform_leave_group(ssm_socket socket, const ssm_address* group, unsigned index);

// Makes the socket take only the datagrams that come in on the interface with
// this index, where the system matches an IPv6 membership by group and
// source alone (Linux). Returns 0, also where nothing is needed, or -1 with
// the reason in platform_socket_error_text().
int platform_bind_to_interface(ssm_socket socket, unsigned index);

// What the system says of an interface's own source filters.
enum device_membership { device_holds, device_lacks, device_cannot_say };

// Whether the interface with this index itself holds the (source, group)
// filter now, as the system lists it; a socket's record of its membership
// can outlive the interface's.
device_membership platform_device_holds_membership(unsigned index, const ssm_address* group,
                                                   const ssm_address* source);

#endif  // PLATFORM_MEMBERSHIP_H
