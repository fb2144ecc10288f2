// What the poll-style readiness files share (poll on POSIX, WSAPoll on
// Windows): the list of sockets watched, each with its tag, and the
// handing out of what a wait found, every socket in its turn. For the
// platform's readiness files only.
#ifndef PLATFORM_READINESS_LIST_H
#define PLATFORM_READINESS_LIST_H

#include <cstddef>
#include <cstdint>
#include <vector>

#include "platform/readiness.h"

// The sockets watched, as the system's poll takes them (Entry: pollfd or
// WSAPOLLFD).
template <typename Entry>
struct readiness_list {
  std::vector<Entry> wanted;
  std::vector<std::uint32_t> tags;
  std::size_t next;  // where the next wait starts handing out: every socket has its turn
};

// Watches the socket (fd, as the entry holds it) for events under tag, or
// changes what is watched of it.
template <typename Entry, typename Handle>
void list_watch(readiness_list<Entry>* list, Handle fd, std::uint32_t tag, short events) {
  for (std::size_t i = 0; i < list->wanted.size(); ++i) {
    if (list->wanted[i].fd == fd) {
      list->wanted[i].events = events;
      list->tags[i] = tag;
      return;
    }
  }
  Entry entry{};
  entry.fd = fd;
  entry.events = events;
  list->wanted.push_back(entry);
  list->tags.push_back(tag);
}

// Stops watching the socket.
template <typename Entry, typename Handle>
void list_unwatch(readiness_list<Entry>* list, Handle fd) {
  for (std::size_t i = 0; i < list->wanted.size(); ++i) {
    if (list->wanted[i].fd == fd) {
      list->wanted.erase(list->wanted.begin() + static_cast<std::ptrdiff_t>(i));
      list->tags.erase(list->tags.begin() + static_cast<std::ptrdiff_t>(i));
      return;
    }
  }
}

// Hands out at most `most` of the sockets the wait found ready, starting one
// further each time. readable and writable are the bits that say so.
template <typename Entry>
int list_ready(readiness_list<Entry>* list, readiness_event* events, int most, short readable,
               short writable) {
  int count = 0;
  std::size_t size = list->wanted.size();
  for (std::size_t k = 0; k < size && count < most; ++k) {
    std::size_t i = (list->next + k) % size;
    short got = list->wanted[i].revents;
    if (got == 0) {
      continue;
    }
    events[count].tag = list->tags[i];
    events[count].readable = (got & readable) != 0;
    events[count].writable = (got & writable) != 0;
    ++count;
  }
  list->next = size > 0 ? (list->next + 1) % size : 0;
  return count;
}

#endif  // PLATFORM_READINESS_LIST_H
