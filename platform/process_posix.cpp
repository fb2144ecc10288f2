// The POSIX process: stop signals, the monotonic clock and standard output.
#include "platform/process.h"

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <sys/resource.h>
#include <sys/socket.h>
#include <time.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

namespace {

const int stop_signals[] = {SIGINT, SIGTERM, SIGHUP};

// Written by the handler only.
volatile sig_atomic_t noted_stop = 0;

// Written by the reload handler, cleared by the loop.
volatile sig_atomic_t noted_reload = 0;

void note_reload(int /*signal_number*/) {
  noted_reload = 1;
}

// Has the handler take the signal: one handler at a time, and no
// SA_RESTART, so that a blocked receive, wait or pause returns at once and
// the loop sees the request.
void catch_signal(int signal_number, void (*handler)(int)) {
  struct sigaction action;
  std::memset(&action, 0, sizeof action);
  action.sa_handler = handler;
  sigemptyset(&action.sa_mask);
  for (int other : stop_signals) {
    sigaddset(&action.sa_mask, other);
  }
  action.sa_flags = 0;
  sigaction(signal_number, &action, nullptr);
}

// The socket whose receives and waits a stop must cut short.
volatile sig_atomic_t stop_socket = -1;

// Notes the signal, and shuts the socket's receiving side: a receive or wait
// entered after the loop's last look at the note then returns at once
// instead of blocking, so no request is lost in between. The loop writes out
// what it holds, then ends.
void note_stop(int signal_number) {
  if (noted_stop != 0) {
    // Asked twice: the lines are not worth waiting for any longer (a write
    // to a pipe nobody reads can block for ever). Blocked while this handler
    // runs, the signal takes its default action as soon as it returns.
    (void)signal(signal_number, SIG_DFL);
    (void)raise(signal_number);
    return;
  }
  noted_stop = signal_number;
  if (stop_socket >= 0) {
    // An unconnected UDP socket answers ENOTCONN, but is shut all the same.
    int saved = errno;
    (void)shutdown(stop_socket, SHUT_RD);
    errno = saved;
  }
}

}  // namespace

std::int64_t platform_monotonic_us() {
  timespec now{};
  clock_gettime(CLOCK_MONOTONIC, &now);
  return static_cast<std::int64_t>(now.tv_sec) * 1000000 + now.tv_nsec / 1000;
}

void platform_catch_stops(ssm_socket socket, bool /*always_noted*/) {
  stop_socket = static_cast<sig_atomic_t>(socket);
  for (int signal_number : stop_signals) {
    struct sigaction old;
    if (sigaction(signal_number, nullptr, &old) != 0 || old.sa_handler == SIG_IGN) {
      continue;  // a background job of a non-interactive shell: stays so
    }
    catch_signal(signal_number, note_stop);
  }
}

int platform_stop_requested() {
  return noted_stop;
}

void platform_end_stopped(int stop) {
  (void)signal(stop, SIG_DFL);
  sigset_t unblocked;
  sigemptyset(&unblocked);
  sigaddset(&unblocked, stop);
  sigprocmask(SIG_UNBLOCK, &unblocked, nullptr);
  (void)raise(stop);
  // Not reached: the signal's default action ends the process.
  _exit(128 + stop);
}

int platform_write_output(const char* data, std::size_t size) {
  while (size > 0) {
    ssize_t written = write(STDOUT_FILENO, data, size);
    if (written < 0) {
      if (errno == EINTR) {
        continue;
      }
      if (errno == EAGAIN || errno == EWOULDBLOCK) {
        // Made non-blocking by whoever reads it: wait until it takes more.
        pollfd room{};
        room.fd = STDOUT_FILENO;
        room.events = POLLOUT;
        if (poll(&room, 1, -1) < 0 && errno != EINTR) {
          return -1;
        }
        continue;
      }
      return -1;
    }
    data += written;
    size -= static_cast<std::size_t>(written);
  }
  return 0;
}

void platform_prepare_output() {}

int platform_open_standard_streams() {
  for (int fd = STDIN_FILENO; fd <= STDERR_FILENO; ++fd) {
    if (fcntl(fd, F_GETFD) != -1 || errno != EBADF) {
      continue;
    }
    if (fd == STDOUT_FILENO) {
      return -1;
    }
    // Closed: the socket would take its number and receive what is meant
    // for the stream. /dev/null holds the place.
    int null = open("/dev/null", O_RDWR);
    if (null >= 0 && null != fd) {
      dup2(null, fd);
      close(null);
    }
  }
  return 0;
}

const char* platform_output_error_text() {
  return std::strerror(errno);
}

int platform_raise_open_files(long wanted, long* most) {
  rlimit limit{};
  if (getrlimit(RLIMIT_NOFILE, &limit) != 0) {
    *most = -1;
    return -1;
  }
  auto want = static_cast<rlim_t>(wanted);
  if (limit.rlim_cur != RLIM_INFINITY && limit.rlim_cur < want) {
    bool enough = limit.rlim_max == RLIM_INFINITY || limit.rlim_max >= want;
    limit.rlim_cur = enough ? want : limit.rlim_max;
    if (setrlimit(RLIMIT_NOFILE, &limit) != 0 || !enough) {
      *most = limit.rlim_max == RLIM_INFINITY ? -1 : static_cast<long>(limit.rlim_max);
      return -1;
    }
  }
  return 0;
}

std::int64_t platform_wall_clock_ms() {
  timespec now{};
  clock_gettime(CLOCK_REALTIME, &now);
  return static_cast<std::int64_t>(now.tv_sec) * 1000 + now.tv_nsec / 1000000;
}

void platform_catch_reloads() {
  catch_signal(SIGHUP, note_reload);
}

bool platform_reload_requested() {
  if (noted_reload == 0) {
    return false;
  }
  noted_reload = 0;
  return true;
}
