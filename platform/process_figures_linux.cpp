// What Linux says of this process, from /proc: a few small reads, cheap
// enough for every scrape.
#include "platform/process.h"

#include <dirent.h>
#include <fcntl.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>

namespace {

// Reads a small /proc file whole into text (room bytes, NUL-terminated).
// Returns false when it cannot be read.
bool read_small_file(const char* path, char* text, std::size_t room) {
  int fd = open(path, O_RDONLY | O_CLOEXEC);
  if (fd < 0) {
    return false;
  }
  std::size_t size = 0;
  for (;;) {
    ssize_t got = read(fd, text + size, room - 1 - size);
    if (got <= 0) {
      break;
    }
    size += static_cast<std::size_t>(got);
  }
  close(fd);
  text[size] = '\0';
  return size > 0;
}

// When the system started, seconds since 1970 (/proc/stat's btime); it
// does not change, so it is read once. -1: not known.
double boot_unix_s() {
  static double boot = -2;
  if (boot > -2) {
    return boot;
  }
  boot = -1;
  std::FILE* file = std::fopen("/proc/stat", "r");
  if (file == nullptr) {
    return boot;
  }
  char line[256];
  const char key[] = "btime ";
  while (std::fgets(line, sizeof line, file) != nullptr) {
    char* end = nullptr;
    long long seconds = std::strncmp(line, key, sizeof key - 1) == 0
                            ? std::strtoll(line + sizeof key - 1, &end, 10)
                            : 0;
    if (end != nullptr && end != line + sizeof key - 1) {
      boot = static_cast<double>(seconds);
      break;
    }
  }
  (void)std::fclose(file);
  return boot;
}

// The descriptors open: the size Linux 6.2 and later give the listing, or
// else its entries counted (less the one that lists them), which takes
// about 0.7 ms for a thousand.
double count_open_files() {
  struct stat listed {};
  if (stat("/proc/self/fd", &listed) == 0 && listed.st_size > 0) {
    return static_cast<double>(listed.st_size);
  }
  DIR* listing = opendir("/proc/self/fd");
  if (listing == nullptr) {
    return -1;
  }
  double count = 0;
  while (const dirent* entry = readdir(listing)) {
    if (entry->d_name[0] != '.') {
      ++count;
    }
  }
  closedir(listing);
  return count - 1;
}

// The figures of /proc/self/stat, whose fields after the command's name
// (which may hold blanks and parentheses) are numbered from its state, 3.
void read_stat(process_figures* figures) {
  char text[1024];
  if (!read_small_file("/proc/self/stat", text, sizeof text)) {
    return;
  }
  const char* after_name = std::strrchr(text, ')');
  if (after_name == nullptr) {
    return;
  }
  const int utime = 14;
  const int stime = 15;
  const int starttime = 22;
  const int vsize = 23;
  const int rss = 24;
  double field[rss + 1] = {};
  const char* at = after_name + 1;
  for (int number = 3; number <= rss; ++number) {
    char* end = nullptr;
    while (*at == ' ') {
      ++at;
    }
    if (number == 3) {
      at += *at != '\0' ? 1 : 0;  // the state: one letter
      continue;
    }
    field[number] = static_cast<double>(std::strtoull(at, &end, 10));
    if (end == at) {
      return;
    }
    at = end;
  }
  double ticks = static_cast<double>(sysconf(_SC_CLK_TCK));
  double page = static_cast<double>(sysconf(_SC_PAGESIZE));
  if (ticks <= 0 || page <= 0) {
    return;
  }
  figures->cpu_s = (field[utime] + field[stime]) / ticks;
  figures->virtual_bytes = field[vsize];
  figures->resident_bytes = field[rss] * page;
  double boot = boot_unix_s();
  if (boot >= 0) {
    figures->start_unix_s = boot + field[starttime] / ticks;
  }
}

}  // namespace

void platform_process_figures(process_figures* figures) {
  *figures = no_process_figures;
  read_stat(figures);
  figures->open_files = count_open_files();
  rlimit limit{};
  figures->most_files = getrlimit(RLIMIT_NOFILE, &limit) == 0 && limit.rlim_cur != RLIM_INFINITY
                            ? static_cast<double>(limit.rlim_cur)
                            : -1;
}
