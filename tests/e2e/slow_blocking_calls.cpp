// Preloaded into a receiver: sleeps SSM_SLOW_MS milliseconds before every
// receive or wait that could block, so that a stop request can be made to
// land between the loop's last look for one and the call itself.
#include <dlfcn.h>
#include <poll.h>
#include <sys/socket.h>
#include <time.h>

#include <cstdlib>

namespace {

void widen_the_moment() {
  const char* text = std::getenv("SSM_SLOW_MS");
  long ms = text != nullptr ? std::atol(text) : 200;
  timespec pause{ms / 1000, (ms % 1000) * 1000000};
  // A signal cuts it short, as it would the moment it stands for.
  nanosleep(&pause, nullptr);
}

template <typename Function>
Function real(const char* name) {
  return reinterpret_cast<Function>(dlsym(RTLD_NEXT, name));
}

}  // namespace

extern "C" {

int recvmmsg(int fd, mmsghdr* messages, unsigned count, int flags, timespec* timeout) {
  if ((flags & MSG_DONTWAIT) == 0) {
    widen_the_moment();
  }
  return real<int (*)(int, mmsghdr*, unsigned, int, timespec*)>("recvmmsg")(fd, messages, count,
                                                                           flags, timeout);
}

ssize_t recvfrom(int fd, void* buffer, size_t size, int flags, sockaddr* from, socklen_t* from_size) {
  if ((flags & MSG_DONTWAIT) == 0) {
    widen_the_moment();
  }
  return real<ssize_t (*)(int, void*, size_t, int, sockaddr*, socklen_t*)>("recvfrom")(
      fd, buffer, size, flags, from, from_size);
}

int poll(pollfd* fds, nfds_t count, int timeout) {
  if (timeout != 0) {
    widen_the_moment();
  }
  return real<int (*)(pollfd*, nfds_t, int)>("poll")(fds, count, timeout);
}

}  // extern "C"
