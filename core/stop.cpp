// Stopping without losing a line: the loops end at their next step, after
// writing out what they hold.
#include "core/output.h"
#include "core/ssm_receiver.h"
#include "platform/process.h"

bool stop_requested() {
  return platform_stop_requested() != 0;
}

int end_stopped(const char* program) {
  int stop = platform_stop_requested();
  if (flush_output() != 0) {
    // Said, but the stop still ends the program as it would have.
    (void)output_failure(program);
  }
  platform_end_stopped(stop);
  return 128 + stop;
}
