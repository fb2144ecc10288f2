#include "ssm_monitor/metrics_file.h"

#include <new>
#include <string>

#include "core/exit_status.h"
#include "core/ssm_receiver.h"
#include "platform/files.h"
#include "platform/process.h"
#include "ssm_monitor/metrics_text.h"

struct metrics_file {
  std::string what;      // "write <file>", as messages say it
  std::int64_t due_us;   // -1: at the first look
  bool failing;          // the last write failed, and said so
  std::string text;      // kept, so that its room serves every second
};

namespace {

const std::int64_t every_us = 1000000;

}  // namespace

int open_metrics_file(monitor* m) {
  auto* file = new (std::nothrow) metrics_file();
  if (file == nullptr) {
    print_failure(m->program, "write the metrics file", "out of memory");
    return exit_failure;
  }
  file->what = std::string("write ") + m->options->metrics_file;
  file->due_us = -1;
  file->failing = false;
  m->file = file;
  return 0;
}

void write_metrics_file(monitor* m, std::int64_t now_us) {
  metrics_file* file = m->file;
  if (file == nullptr || (file->due_us >= 0 && now_us < file->due_us)) {
    return;
  }
  // Every second from the first write on, not a second after each look.
  file->due_us = file->due_us < 0 || now_us - file->due_us >= every_us ? now_us + every_us
                                                                       : file->due_us + every_us;
  process_figures process{};
  platform_process_figures(&process);
  render_metrics(m, &process, &file->text);
  if (platform_write_file_whole(m->options->metrics_file, file->text.data(), file->text.size()) !=
      0) {
    if (!file->failing) {
      print_failure(m->program, file->what.c_str(), platform_file_error_text());
      file->failing = true;
    }
    return;
  }
  if (file->failing) {
    print_failure(m->program, file->what.c_str(), "written again");
    file->failing = false;
  }
}
