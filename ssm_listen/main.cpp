// ssm_listen: joins a source-specific multicast channel once and reports every
// datagram that reaches the port, blocking in the receive between them.
#include "ssm_listen/listen_loop.h"

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
  return listen_loop(receiver, &batch, program);
}
