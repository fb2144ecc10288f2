// ssm_monitor's figures in Prometheus's text format (version 0.0.4), as the
// metrics endpoint serves them and the metrics file holds them: every
// channel's counts and state, the monitor's own, and the process's.
#ifndef SSM_MONITOR_METRICS_TEXT_H
#define SSM_MONITOR_METRICS_TEXT_H

#include <string>

#include "platform/process.h"
#include "ssm_monitor/monitor.h"

// The content type of the text, for an HTTP response.
extern const char metrics_content_type[];

// Writes the text of the monitor's figures into *out, replacing what it
// held (its room is kept for the next time): a # HELP and a # TYPE line for
// every family, the process's families only where the system says them
// (negative figures are left out).
void render_metrics(const monitor* m, const process_figures* process, std::string* out);

// Appends text to *out as a label value's inside: backslash, double quote
// and line feed escaped, as the format requires.
void append_label_value(std::string* out, const char* text);

#endif  // SSM_MONITOR_METRICS_TEXT_H
