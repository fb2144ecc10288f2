// Many sockets waited on together with poll, where the system has no epoll.
#include "platform/readiness.h"

#include <poll.h>

#include <cerrno>
#include <new>
#include <vector>

// One system's set; CMake builds only one of these files.
// cppcheck-suppress ctuOneDefinitionRuleViolation
struct readiness_set {
  std::vector<pollfd> wanted;
  std::vector<std::uint32_t> tags;
  std::size_t next;  // where the next wait starts handing out: every socket has its turn
};

readiness_set* platform_open_readiness(int most) {
  auto* set = new (std::nothrow) readiness_set();
  if (set == nullptr) {
    errno = ENOMEM;
    return nullptr;
  }
  set->wanted.reserve(static_cast<std::size_t>(most));
  set->tags.reserve(static_cast<std::size_t>(most));
  set->next = 0;
  return set;
}

namespace {

int watch_for(readiness_set* set, ssm_socket socket, std::uint32_t tag, short events) {
  for (std::size_t i = 0; i < set->wanted.size(); ++i) {
    if (set->wanted[i].fd == static_cast<int>(socket)) {
      set->wanted[i].events = events;
      set->tags[i] = tag;
      return 0;
    }
  }
  set->wanted.push_back(pollfd{static_cast<int>(socket), events, 0});
  set->tags.push_back(tag);
  return 0;
}

}  // namespace

int platform_watch_socket(readiness_set* set, ssm_socket socket, std::uint32_t tag,
                          bool writable) {
  return watch_for(set, socket, tag, static_cast<short>(POLLIN | (writable ? POLLOUT : 0)));
}

int platform_watch_socket_writing(readiness_set* set, ssm_socket socket, std::uint32_t tag) {
  return watch_for(set, socket, tag, POLLOUT);
}

void platform_unwatch_socket(readiness_set* set, ssm_socket socket) {
  for (std::size_t i = 0; i < set->wanted.size(); ++i) {
    if (set->wanted[i].fd == static_cast<int>(socket)) {
      set->wanted.erase(set->wanted.begin() + static_cast<std::ptrdiff_t>(i));
      set->tags.erase(set->tags.begin() + static_cast<std::ptrdiff_t>(i));
      return;
    }
  }
}

int platform_wait_ready(readiness_set* set, readiness_event* events, int most, int wait_ms) {
  int ready = poll(set->wanted.data(), set->wanted.size(), wait_ms);
  if (ready < 0) {
    return errno == EINTR ? wait_cut_short : -1;
  }
  int count = 0;
  std::size_t size = set->wanted.size();
  for (std::size_t k = 0; k < size && count < most; ++k) {
    std::size_t i = (set->next + k) % size;
    short got = set->wanted[i].revents;
    if (got == 0) {
      continue;
    }
    events[count].tag = set->tags[i];
    events[count].readable = (got & (POLLIN | POLLERR | POLLHUP | POLLNVAL)) != 0;
    events[count].writable = (got & POLLOUT) != 0;
    ++count;
  }
  set->next = size > 0 ? (set->next + 1) % size : 0;
  return count;
}
