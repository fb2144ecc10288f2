// ssm_monitor's metrics file (-o): the text of metrics_text.h written whole
// once a second (a temporary file beside it, renamed over it), for the
// textfile collectors of node_exporter and windows_exporter.
#ifndef SSM_MONITOR_METRICS_FILE_H
#define SSM_MONITOR_METRICS_FILE_H

#include <cstdint>

#include "ssm_monitor/monitor.h"

// Makes ready to write the file -o names; the first look writes it. Returns
// 0, or exit_failure after one line on standard error (out of memory).
int open_metrics_file(monitor* m);

// Writes the file when a second has passed since the last time. A failure
// is said once on standard error ("<program>: write <file>: <reason>"), and
// once more when the file is written again ("...: written again"); the
// monitor goes on either way.
void write_metrics_file(monitor* m, std::int64_t now_us);

#endif  // SSM_MONITOR_METRICS_FILE_H
