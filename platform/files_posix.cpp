// Whole files on POSIX: a temporary file, then rename(2), which replaces the
// old one atomically.
#include "platform/files.h"

#include <fcntl.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <string>

namespace {

int write_all(int fd, const char* data, std::size_t size) {
  while (size > 0) {
    ssize_t written = write(fd, data, size);
    if (written < 0) {
      if (errno == EINTR) {
        continue;
      }
      return -1;
    }
    data += written;
    size -= static_cast<std::size_t>(written);
  }
  return 0;
}

}  // namespace

int platform_write_file_whole(const char* path, const char* data, std::size_t size) {
  std::string temporary = std::string(path) + ".tmp";
  // Readable by all, as a collector that runs as another user needs; no
  // fsync: the next second writes it anew, and a reader wants it whole, not
  // on disk.
  int fd = open(temporary.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
  if (fd < 0) {
    return -1;
  }
  int failed = write_all(fd, data, size);
  int saved = errno;
  if (close(fd) != 0 && failed == 0) {
    failed = -1;
    saved = errno;
  }
  if (failed == 0 && std::rename(temporary.c_str(), path) == 0) {
    return 0;
  }
  saved = failed != 0 ? saved : errno;
  (void)unlink(temporary.c_str());
  errno = saved;
  return -1;
}

const char* platform_file_error_text() {
  return std::strerror(errno);
}
