// ssm_monitor's loop: every channel's socket waited on at once, what comes
// taken and counted, every channel looked at ten times a second, the metrics
// served and written, SIGHUP's reload, and the end at a stop.
#ifndef SSM_MONITOR_MONITOR_LOOP_H
#define SSM_MONITOR_MONITOR_LOOP_H

#include "ssm_monitor/monitor.h"

// Watches until a stop request, then leaves every membership. Returns the
// exit status: 0, or exit_failure after one line on standard error.
int monitor_loop(monitor* m);

#endif  // SSM_MONITOR_MONITOR_LOOP_H
