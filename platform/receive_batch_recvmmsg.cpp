// The batched receive where the system has recvmmsg and MSG_WAITFORONE:
// every datagram queued, up to the batch limit, in one call.
#include "platform/socket.h"

#include <sys/socket.h>

#include <cerrno>
#include <cstring>

#include "platform/socket_posix.h"

namespace {

const int batch_limit = 64;

// Room for one call: the messages, their buffers and their senders.
struct batch_room {
  mmsghdr messages[batch_limit];
  iovec pieces[batch_limit];
  sender_room from[batch_limit];
};

// Receives at most count datagrams (and at most the limit), datagram i into
// slots + i * slot_size. Returns recvmmsg's result.
int receive_into(ssm_socket socket, batch_room* room, unsigned char* slots,
                 std::size_t slot_size, int count, int flags) {
  if (count > batch_limit) {
    count = batch_limit;
  }
  std::memset(room->messages, 0, sizeof room->messages[0] * static_cast<std::size_t>(count));
  for (int i = 0; i < count; ++i) {
    room->pieces[i].iov_base = slots + static_cast<std::size_t>(i) * slot_size;
    room->pieces[i].iov_len = slot_size;
    room->messages[i].msg_hdr.msg_name = &room->from[i];
    room->messages[i].msg_hdr.msg_namelen = sizeof room->from[i];
    room->messages[i].msg_hdr.msg_iov = &room->pieces[i];
    room->messages[i].msg_hdr.msg_iovlen = 1;
  }
  return recvmmsg(static_cast<int>(socket), room->messages, static_cast<unsigned>(count), flags,
                  nullptr);
}

// What a failed call gives: nothing where nothing was queued (or a signal
// came), else one failed receive.
int failed_batch(long* lengths) {
  if (errno == EAGAIN || errno == EWOULDBLOCK || errno == EINTR) {
    return 0;
  }
  lengths[0] = -1;
  return 1;
}

}  // namespace

int platform_batch_limit() {
  return batch_limit;
}

int platform_receive_batch(ssm_socket socket, unsigned char* slots, std::size_t slot_size,
                           int count, long* lengths, ssm_address* senders, int wait_ms) {
  batch_room room;
  // MSG_WAITFORONE blocks for the first datagram only, then takes what is
  // queued. An error after the first datagram is kept for the next call.
  int flags = wait_ms == receive_wait_forever ? MSG_WAITFORONE : MSG_DONTWAIT;
  int received = receive_into(socket, &room, slots, slot_size, count, flags);
  if (received < 0) {
    return failed_batch(lengths);
  }
  for (int i = 0; i < received; ++i) {
    if (shut_not_datagram(room.messages[i].msg_len, room.messages[i].msg_hdr.msg_namelen)) {
      return i;  // a stop came: what was queued before it is taken
    }
    lengths[i] = static_cast<long>(room.messages[i].msg_len);
    take_sender(&room.from[i], &senders[i]);
  }
  return received;
}

int platform_receive_heads(ssm_socket socket, unsigned char* heads, std::size_t head_size,
                           int count, long* lengths, ssm_address* senders) {
  batch_room room;
  // MSG_TRUNC: the length of the whole datagram, though only its head is
  // copied out.
  int received = receive_into(socket, &room, heads, head_size, count, MSG_DONTWAIT | MSG_TRUNC);
  if (received < 0) {
    return failed_batch(lengths);
  }
  for (int i = 0; i < received; ++i) {
    lengths[i] = static_cast<long>(room.messages[i].msg_len);
    take_sender(&room.from[i], &senders[i]);
  }
  return received;
}
