// Many sockets waited on together with WSAPoll (Windows Vista and later),
// which takes any number of them.
#include "platform/readiness.h"

#include "platform/process.h"

#include <winsock2.h>

#include <new>
#include <vector>

// One system's set; CMake builds only one of these files.
// cppcheck-suppress ctuOneDefinitionRuleViolation
struct readiness_set {
  std::vector<WSAPOLLFD> wanted;
  std::vector<std::uint32_t> tags;
  std::size_t next;  // where the next wait starts handing out: every socket has its turn
};

namespace {

// How long one WSAPoll runs before the stop request is looked at: the
// console handler runs on a thread of its own and cannot cut it short.
const int stop_look_ms = 100;

}  // namespace

readiness_set* platform_open_readiness(int most) {
  auto* set = new (std::nothrow) readiness_set();
  if (set == nullptr) {
    WSASetLastError(WSA_NOT_ENOUGH_MEMORY);
    return nullptr;
  }
  set->wanted.reserve(static_cast<std::size_t>(most));
  set->tags.reserve(static_cast<std::size_t>(most));
  set->next = 0;
  return set;
}

namespace {

int watch_for(readiness_set* set, ssm_socket socket, std::uint32_t tag, SHORT events) {
  auto handle = static_cast<SOCKET>(socket);
  for (std::size_t i = 0; i < set->wanted.size(); ++i) {
    if (set->wanted[i].fd == handle) {
      set->wanted[i].events = events;
      set->tags[i] = tag;
      return 0;
    }
  }
  WSAPOLLFD entry{};
  entry.fd = handle;
  entry.events = events;
  set->wanted.push_back(entry);
  set->tags.push_back(tag);
  return 0;
}

}  // namespace

int platform_watch_socket(readiness_set* set, ssm_socket socket, std::uint32_t tag,
                          bool writable) {
  return watch_for(set, socket, tag,
                   static_cast<SHORT>(POLLRDNORM | (writable ? POLLWRNORM : 0)));
}

int platform_watch_socket_writing(readiness_set* set, ssm_socket socket, std::uint32_t tag) {
  return watch_for(set, socket, tag, POLLWRNORM);
}

void platform_unwatch_socket(readiness_set* set, ssm_socket socket) {
  auto handle = static_cast<SOCKET>(socket);
  for (std::size_t i = 0; i < set->wanted.size(); ++i) {
    if (set->wanted[i].fd == handle) {
      set->wanted.erase(set->wanted.begin() + static_cast<std::ptrdiff_t>(i));
      set->tags.erase(set->tags.begin() + static_cast<std::ptrdiff_t>(i));
      return;
    }
  }
}

int platform_wait_ready(readiness_set* set, readiness_event* events, int most, int wait_ms) {
  int ready = 0;
  int left_ms = wait_ms;
  for (;;) {
    if (platform_stop_requested() != 0) {
      return wait_cut_short;
    }
    int slice = left_ms < 0 || left_ms > stop_look_ms ? stop_look_ms : left_ms;
    ready = WSAPoll(set->wanted.data(), static_cast<ULONG>(set->wanted.size()), slice);
    if (ready != 0 || left_ms == slice) {
      break;
    }
    if (left_ms > 0) {
      left_ms -= slice;
    }
  }
  if (ready < 0) {
    return -1;
  }
  int count = 0;
  std::size_t size = set->wanted.size();
  for (std::size_t k = 0; k < size && count < most; ++k) {
    std::size_t i = (set->next + k) % size;
    SHORT got = set->wanted[i].revents;
    if (got == 0) {
      continue;
    }
    events[count].tag = set->tags[i];
    events[count].readable = (got & (POLLRDNORM | POLLERR | POLLHUP | POLLNVAL)) != 0;
    events[count].writable = (got & POLLWRNORM) != 0;
    ++count;
  }
  set->next = size > 0 ? (set->next + 1) % size : 0;
  return count;
}
