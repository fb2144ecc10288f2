// ssm_check's report: one "name: value" line a fact, the verdict last, and
// the exit status that goes with it.
#ifndef SSM_CHECK_CHECK_REPORT_H
#define SSM_CHECK_CHECK_REPORT_H

#include "ssm_check/check_options.h"
#include "ssm_check/check_run.h"

// The exit status the facts call for: 0, exit_missing or exit_nothing.
int check_status(const ssm_receiver* receiver, const check_facts* facts);

// Adds the report to the output (see output.h) and writes it out. Returns 0,
// or -1 when standard output cannot be written.
int write_check_report(const ssm_receiver* receiver, const check_options* options,
                       const check_facts* facts);

#endif  // SSM_CHECK_CHECK_REPORT_H
