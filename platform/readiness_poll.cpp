// Many sockets waited on together with poll, where the system has no epoll.
#include "platform/readiness.h"

#include <poll.h>

#include <cerrno>
#include <new>

#include "platform/readiness_list.h"

// One system's set; CMake builds only one of these files.
// cppcheck-suppress ctuOneDefinitionRuleViolation
struct readiness_set {
  readiness_list<pollfd> list;
};

readiness_set* platform_open_readiness(int most) {
  auto* set = new (std::nothrow) readiness_set();
  if (set == nullptr) {
    errno = ENOMEM;
    return nullptr;
  }
  set->list.wanted.reserve(static_cast<std::size_t>(most));
  set->list.tags.reserve(static_cast<std::size_t>(most));
  set->list.next = 0;
  return set;
}

int platform_watch_socket(readiness_set* set, ssm_socket socket, std::uint32_t tag,
                          bool writable) {
  list_watch(&set->list, static_cast<int>(socket), tag,
             static_cast<short>(POLLIN | (writable ? POLLOUT : 0)));
  return 0;
}

int platform_watch_socket_writing(readiness_set* set, ssm_socket socket, std::uint32_t tag) {
  list_watch(&set->list, static_cast<int>(socket), tag, POLLOUT);
  return 0;
}

void platform_unwatch_socket(readiness_set* set, ssm_socket socket) {
  list_unwatch(&set->list, static_cast<int>(socket));
}

int platform_wait_ready(readiness_set* set, readiness_event* events, int most, int wait_ms) {
  int ready = poll(set->list.wanted.data(), set->list.wanted.size(), wait_ms);
  if (ready < 0) {
    return errno == EINTR ? wait_cut_short : -1;
  }
  return list_ready(&set->list, events, most, POLLIN | POLLERR | POLLHUP | POLLNVAL, POLLOUT);
}
