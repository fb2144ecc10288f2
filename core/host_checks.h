// What this host itself does to a channel's datagrams: whether it will drop
// them (reverse-path filtering, a source of its own coming in over a link, an
// interface that is down or speaks only IGMPv2 or MLDv1, whose reports
// routers serving SSM ignore, a firewall that blocks the port, a membership
// the system put on another interface than the route to the source). The
// socket's own drops are drop_watch.h's.
#ifndef CORE_HOST_CHECKS_H
#define CORE_HOST_CHECKS_H

#include "core/ssm_receiver.h"
#include "core/verdict.h"

// Looks for the host's blockers of the receiver's channel on the interface
// its membership is on. Call after an accepted join: before it, the kernel's
// route check refuses every channel. After a refused one only the firewall
// is asked.
void find_host_blockers(const ssm_receiver* receiver, host_findings* found);

// Whether the interface speaks a version whose reports name no source
// (IGMPv1 or v2, MLDv1), which routers serving SSM ignore.
bool speaks_old_group_protocol(const ssm_receiver* receiver, const host_findings* found);

// Writes one warning line on standard error for each blocker found.
void warn_host_blockers(const char* program, const ssm_receiver* receiver,
                        const host_findings* found);

// find_host_blockers into receiver->host, then warn_host_blockers: what the
// programs do after the start-up join, and ssm_watch again at a renewal
// accepted after refused ones or while the interface was found down (an
// interface still down, or a firewall still blocking, is not said twice).
void check_host_blockers(const char* program, ssm_receiver* receiver);

#endif  // CORE_HOST_CHECKS_H
