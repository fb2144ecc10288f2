// A system whose figures of the process are not read here: none is said.
#include "platform/process.h"

void platform_process_figures(process_figures* figures) {
  *figures = no_process_figures;
}
