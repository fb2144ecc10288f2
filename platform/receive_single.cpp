// The batched receive where the system has none (Winsock, or a POSIX system
// without recvmmsg): one datagram a call, through platform_receive.
#include "platform/socket.h"

#include <cstring>

int platform_batch_limit() {
  return 1;
}

int platform_receive_batch(ssm_socket socket, unsigned char* slots, std::size_t slot_size,
                           int /*count*/, long* lengths, ssm_address* senders, int wait_ms) {
  long length = platform_receive(socket, slots, slot_size, &senders[0], wait_ms);
  if (length == receive_nothing) {
    return 0;
  }
  lengths[0] = length;
  return 1;
}

int platform_receive_heads(ssm_socket socket, unsigned char* heads, std::size_t head_size,
                           int /*count*/, long* lengths, ssm_address* senders) {
  // The whole datagram first: Winsock says only that a short buffer was
  // too short, not how long the datagram was.
  static unsigned char whole[65536];
  long length = platform_receive(socket, whole, sizeof whole, &senders[0], receive_no_wait);
  if (length == receive_nothing) {
    return 0;
  }
  if (length > 0) {
    std::size_t kept = static_cast<std::size_t>(length) < head_size
                           ? static_cast<std::size_t>(length)
                           : head_size;
    std::memcpy(heads, whole, kept);
  }
  lengths[0] = length;
  return 1;
}
