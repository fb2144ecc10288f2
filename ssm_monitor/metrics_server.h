// ssm_monitor's metrics endpoint (-l): a small HTTP/1.x responder in the
// monitor's own loop. Its sockets never block: reception never waits on a
// client. GET and HEAD of /metrics are answered with the text of
// metrics_text.h, another path with 404, another method with 405, a
// malformed request with 400, and every connection is closed after its
// answer. A request may take 8 KiB and 5 s, an answer 10 s; at most 64
// connections are served at once, and more are closed as soon as they come.
// The text is made once for every request of a loop round, and at most four
// texts are held at once: the memory stays bounded whatever the clients do.
#ifndef SSM_MONITOR_METRICS_SERVER_H
#define SSM_MONITOR_METRICS_SERVER_H

#include <cstdint>

#include "ssm_monitor/monitor.h"

// The tags of the endpoint's sockets in the readiness set.
const std::uint32_t listener_tag = 0xfffffffeU;
const std::uint32_t connection_tag_first = 0xffffff00U;

// How many connections are served at once.
const int connections_most = 64;

// Opens the listening socket where -l says and watches it. Returns 0, or
// exit_failure after "<program>: listen on <address:port>: <reason>" on
// standard error.
int open_metrics_server(monitor* m);

// Whether the tag is one of the endpoint's sockets.
bool metrics_tag(std::uint32_t tag);

// Does what the endpoint's socket of the tag is ready for: takes the
// connections waiting, reads a request, sends what its answer has left.
void serve_metrics(monitor* m, std::uint32_t tag, std::int64_t now_us);

// Closes the connections out of time, and takes connections again after a
// failed accept (say, no descriptor left) paused it. Call every look.
void look_at_clients(monitor* m, std::int64_t now_us);

#endif  // SSM_MONITOR_METRICS_SERVER_H
