// The batched receive where the system has recvmmsg and MSG_WAITFORONE:
// every datagram queued, up to the batch limit, in one call.
#include "platform/socket.h"

#include <sys/socket.h>

#include <cerrno>
#include <cstring>

#include "platform/socket_posix.h"

namespace {

const int batch_limit = 64;

}  // namespace

int platform_batch_limit() {
  return batch_limit;
}

int platform_receive_batch(ssm_socket socket, unsigned char* slots, std::size_t slot_size,
                           int count, long* lengths, ssm_address* senders, int wait_ms) {
  if (count > batch_limit) {
    count = batch_limit;
  }
  mmsghdr messages[batch_limit];
  iovec pieces[batch_limit];
  sender_room from[batch_limit];
  std::memset(messages, 0, sizeof messages[0] * static_cast<std::size_t>(count));
  for (int i = 0; i < count; ++i) {
    pieces[i].iov_base = slots + static_cast<std::size_t>(i) * slot_size;
    pieces[i].iov_len = slot_size;
    messages[i].msg_hdr.msg_name = &from[i];
    messages[i].msg_hdr.msg_namelen = sizeof from[i];
    messages[i].msg_hdr.msg_iov = &pieces[i];
    messages[i].msg_hdr.msg_iovlen = 1;
  }
  // MSG_WAITFORONE blocks for the first datagram only, then takes what is
  // queued. An error after the first datagram is kept for the next call.
  int flags = wait_ms == receive_wait_forever ? MSG_WAITFORONE : MSG_DONTWAIT;
  int received =
      recvmmsg(static_cast<int>(socket), messages, static_cast<unsigned>(count), flags, nullptr);
  if (received < 0) {
    if (errno == EAGAIN || errno == EWOULDBLOCK || errno == EINTR) {
      return 0;
    }
    lengths[0] = -1;
    return 1;
  }
  for (int i = 0; i < received; ++i) {
    if (shut_not_datagram(messages[i].msg_len, messages[i].msg_hdr.msg_namelen)) {
      return i;  // a stop came: what was queued before it is taken
    }
    lengths[i] = static_cast<long>(messages[i].msg_len);
    take_sender(&from[i], &senders[i]);
  }
  return received;
}

int platform_receive_heads(ssm_socket socket, unsigned char* heads, std::size_t head_size,
                           int count, long* lengths, ssm_address* senders) {
  if (count > batch_limit) {
    count = batch_limit;
  }
  mmsghdr messages[batch_limit];
  iovec pieces[batch_limit];
  sender_room from[batch_limit];
  std::memset(messages, 0, sizeof messages[0] * static_cast<std::size_t>(count));
  for (int i = 0; i < count; ++i) {
    pieces[i].iov_base = heads + static_cast<std::size_t>(i) * head_size;
    pieces[i].iov_len = head_size;
    messages[i].msg_hdr.msg_name = &from[i];
    messages[i].msg_hdr.msg_namelen = sizeof from[i];
    messages[i].msg_hdr.msg_iov = &pieces[i];
    messages[i].msg_hdr.msg_iovlen = 1;
  }
  // MSG_TRUNC: the length of the whole datagram, though only its head is
  // copied out.
  int received = recvmmsg(static_cast<int>(socket), messages, static_cast<unsigned>(count),
                          MSG_DONTWAIT | MSG_TRUNC, nullptr);
  if (received < 0) {
    if (errno == EAGAIN || errno == EWOULDBLOCK || errno == EINTR) {
      return 0;
    }
    lengths[0] = -1;
    return 1;
  }
  for (int i = 0; i < received; ++i) {
    lengths[i] = static_cast<long>(messages[i].msg_len);
    take_sender(&from[i], &senders[i]);
  }
  return received;
}
