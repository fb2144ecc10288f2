// The batched receive where the system has none (Winsock, or a POSIX system
// without recvmmsg): one datagram a call, through platform_receive.
#include "platform/socket.h"

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
