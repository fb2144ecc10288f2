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
  // Megabytes of address space, but only the pages datagrams touch are used.
  static report_batch batch;

  for (;;) {
    // With lines held, take what is queued without blocking; once the queue
    // is empty, the lines go out (a fast stream's after a moment's pause)
    // before the next blocking receive.
    int wait_ms = output_pending() ? receive_no_wait : receive_wait_forever;
    report_result result = receive_and_report_batch(receiver.socket, &batch, wait_ms);
    if (result == report_output_failed) {
      return output_failure(program);
    }
    if (result != report_printed && output_pending() &&
        linger_or_write_out(receiver.socket) != 0) {
      return output_failure(program);
    }
  }
}
