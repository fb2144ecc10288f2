// ssm_listen: joins a source-specific multicast channel once and reports every
// datagram that reaches the port, blocking in the receive between them.
#include "output.h"
#include "ssm_receiver.h"

namespace {

const char program[] = "ssm_listen";

}  // namespace

int main(int argc, char** argv) {
  ssm_receiver receiver;
  int status = open_ssm_receiver(argc, argv, program, &receiver);
  if (status != 0) {
    return status;
  }
  static unsigned char report_buffer[report_buffer_size];
  sender_record sender{};

  for (;;) {
    // With lines held, take what is queued without blocking; once the queue
    // is empty, the lines go out before the next blocking receive.
    bool pending = output_pending();
    int wait_ms = pending ? receive_no_wait : receive_wait_forever;
    report_result result = receive_and_report(receiver.socket, report_buffer, &sender, wait_ms);
    if (result == report_output_failed) {
      return output_failure(program);
    }
    if (result == report_nothing && pending &&
        wait_for_datagram(receiver.socket, receive_no_wait) == wait_output_failed) {
      return output_failure(program);
    }
  }
}
