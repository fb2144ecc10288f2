// Many sockets waited on together with epoll, where the system has it.
#include "platform/readiness.h"

#include <sys/epoll.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>

// One system's set; CMake builds only one of these files.
// cppcheck-suppress ctuOneDefinitionRuleViolation
struct readiness_set {
  int fd;
};

readiness_set* platform_open_readiness(int /*most*/) {
  int fd = epoll_create1(EPOLL_CLOEXEC);
  if (fd < 0) {
    return nullptr;
  }
  auto* set = static_cast<readiness_set*>(std::malloc(sizeof(readiness_set)));
  if (set == nullptr) {
    close(fd);
    errno = ENOMEM;
    return nullptr;
  }
  set->fd = fd;
  return set;
}

namespace {

int watch_for(readiness_set* set, ssm_socket socket, std::uint32_t tag, std::uint32_t events) {
  epoll_event wanted{};
  wanted.events = events;
  wanted.data.u32 = tag;
  int fd = static_cast<int>(socket);
  if (epoll_ctl(set->fd, EPOLL_CTL_ADD, fd, &wanted) == 0) {
    return 0;
  }
  return errno == EEXIST ? epoll_ctl(set->fd, EPOLL_CTL_MOD, fd, &wanted) : -1;
}

}  // namespace

int platform_watch_socket(readiness_set* set, ssm_socket socket, std::uint32_t tag,
                          bool writable) {
  return watch_for(set, socket, tag,
                   EPOLLIN | (writable ? static_cast<std::uint32_t>(EPOLLOUT) : 0U));
}

int platform_watch_socket_writing(readiness_set* set, ssm_socket socket, std::uint32_t tag) {
  return watch_for(set, socket, tag, EPOLLOUT);
}

void platform_unwatch_socket(readiness_set* set, ssm_socket socket) {
  epoll_event unused{};
  (void)epoll_ctl(set->fd, EPOLL_CTL_DEL, static_cast<int>(socket), &unused);
}

int platform_wait_ready(readiness_set* set, readiness_event* events, int most, int wait_ms) {
  const int room = 256;
  epoll_event ready[room];
  int count = epoll_wait(set->fd, ready, most < room ? most : room, wait_ms);
  if (count < 0) {
    return errno == EINTR ? wait_cut_short : -1;
  }
  for (int i = 0; i < count; ++i) {
    events[i].tag = ready[i].data.u32;
    events[i].readable = (ready[i].events & (EPOLLIN | EPOLLERR | EPOLLHUP)) != 0;
    events[i].writable = (ready[i].events & EPOLLOUT) != 0;
  }
  return count;
}
