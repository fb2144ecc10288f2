// Many sockets waited on together with WSAPoll (Windows Vista and later),
// which takes any number of them.
#include "platform/readiness.h"

#include "platform/process.h"

#include <winsock2.h>

#include <new>

#include "platform/readiness_list.h"

// One system's set; CMake builds only one of these files.
// cppcheck-suppress ctuOneDefinitionRuleViolation
struct readiness_set {
  readiness_list<WSAPOLLFD> list;
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
  set->list.wanted.reserve(static_cast<std::size_t>(most));
  set->list.tags.reserve(static_cast<std::size_t>(most));
  set->list.next = 0;
  return set;
}

int platform_watch_socket(readiness_set* set, ssm_socket socket, std::uint32_t tag,
                          bool writable) {
  list_watch(&set->list, static_cast<SOCKET>(socket), tag,
             static_cast<SHORT>(POLLRDNORM | (writable ? POLLWRNORM : 0)));
  return 0;
}

int platform_watch_socket_writing(readiness_set* set, ssm_socket socket, std::uint32_t tag) {
  list_watch(&set->list, static_cast<SOCKET>(socket), tag, POLLWRNORM);
  return 0;
}

void platform_unwatch_socket(readiness_set* set, ssm_socket socket) {
  list_unwatch(&set->list, static_cast<SOCKET>(socket));
}

int platform_wait_ready(readiness_set* set, readiness_event* events, int most, int wait_ms) {
  int ready = 0;
  int left_ms = wait_ms;
  for (;;) {
    if (platform_stop_requested() != 0) {
      return wait_cut_short;
    }
    int slice = left_ms < 0 || left_ms > stop_look_ms ? stop_look_ms : left_ms;
    ready = WSAPoll(set->list.wanted.data(), static_cast<ULONG>(set->list.wanted.size()), slice);
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
  return list_ready(&set->list, events, most, POLLRDNORM | POLLERR | POLLHUP | POLLNVAL,
                    POLLWRNORM);
}
