/* Preloaded into Wine for the Windows programs' channel tests; never shipped.
 *
 * Wine 8 hands Winsock's ip_mreq_source (group, source, interface) to Linux
 * as it is, and Linux reads group, interface, source: under plain Wine a
 * correct Windows build joins the wrong channel. This library swaps bytes 4-7
 * and 8-11 of every 12-byte source-membership record on its way to Linux, so
 * that Linux sees what a Windows stack would read, and passes every other
 * call through unchanged.
 *
 * If SSM_FIELD_ORDER_LOG names a file, each swapped call appends one line:
 *   <seconds since the epoch> <option> <group> <source> <interface> <result>
 * with the addresses as Linux read them. The tests count joins and renewals
 * there, and an empty log shows that the library was not in effect.
 */
#define _GNU_SOURCE
#include <arpa/inet.h>
#include <dlfcn.h>
#include <errno.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/socket.h>
#include <time.h>
#include <unistd.h>

typedef int setsockopt_call(int, int, int, const void*, socklen_t);

enum { record_size = 12 };

static int is_source_membership(int level, int option, socklen_t length) {
  if (level != IPPROTO_IP || length != record_size) {
    return 0;
  }
  return option == IP_ADD_SOURCE_MEMBERSHIP || option == IP_DROP_SOURCE_MEMBERSHIP ||
         option == IP_BLOCK_SOURCE || option == IP_UNBLOCK_SOURCE;
}

static void log_call(int option, const unsigned char* record, int result) {
  const char* path = getenv("SSM_FIELD_ORDER_LOG");
  if (path == NULL || *path == '\0') {
    return;
  }
  char address[3][INET_ADDRSTRLEN];
  /* Linux's order: group at 0, interface at 4, source at 8. */
  inet_ntop(AF_INET, record, address[0], sizeof address[0]);
  inet_ntop(AF_INET, record + 8, address[1], sizeof address[1]);
  inet_ntop(AF_INET, record + 4, address[2], sizeof address[2]);
  struct timespec now;
  clock_gettime(CLOCK_REALTIME, &now);
  char line[160];
  int size = snprintf(line, sizeof line, "%lld.%06ld %d %s %s %s %d\n", (long long)now.tv_sec,
                      now.tv_nsec / 1000, option, address[0], address[1], address[2], result);
  /* One write per line with O_APPEND: lines of several threads never mix. */
  int fd = open(path, O_WRONLY | O_APPEND | O_CREAT | O_CLOEXEC, 0644);
  if (fd < 0) {
    return;
  }
  if (size > 0 && (size_t)size < sizeof line) {
    ssize_t written = write(fd, line, (size_t)size);
    (void)written;
  }
  close(fd);
}

static int reordered_call(setsockopt_call* real, int fd, int level, int option,
                          const void* value, socklen_t length) {
  if (real == NULL) {
    errno = ENOSYS;
    return -1;
  }
  if (value == NULL || !is_source_membership(level, option, length)) {
    return real(fd, level, option, value, length);
  }
  unsigned char record[record_size];
  memcpy(record, value, 4);
  memcpy(record + 4, (const unsigned char*)value + 8, 4);
  memcpy(record + 8, (const unsigned char*)value + 4, 4);
  int saved_errno;
  int result = real(fd, level, option, record, length);
  saved_errno = errno;
  log_call(option, record, result);
  errno = saved_errno;
  return result;
}

static setsockopt_call* next_named(const char* name) {
  /* dlsym returns a data pointer; POSIX guarantees it converts. */
  void* found = dlsym(RTLD_NEXT, name);
  setsockopt_call* call;
  memcpy(&call, &found, sizeof call);
  return call;
}

/* 64-bit Wine's ntdll.so calls this one. */
int setsockopt(int fd, int level, int option, const void* value, socklen_t length) {
  static setsockopt_call* real;
  if (real == NULL) {
    real = next_named("setsockopt");
  }
  return reordered_call(real, fd, level, option, value, length);
}

/* 32-bit Wine's, built against a glibc with 64-bit time, calls this one. */
int __setsockopt64(int fd, int level, int option, const void* value, socklen_t length);
int __setsockopt64(int fd, int level, int option, const void* value, socklen_t length) {
  static setsockopt_call* real;
  if (real == NULL) {
    real = next_named("__setsockopt64");
  }
  if (real == NULL) {
    real = next_named("setsockopt");
  }
  return reordered_call(real, fd, level, option, value, length);
}
