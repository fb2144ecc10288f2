// A system whose figures of the process are not read here: none is said.
#include "platform/process.h"

void platform_process_figures(process_figures* figures) {
  figures->start_unix_s = -1;
  figures->cpu_s = -1;
  figures->resident_bytes = -1;
  figures->virtual_bytes = -1;
  figures->open_files = -1;
  figures->most_files = -1;
}
