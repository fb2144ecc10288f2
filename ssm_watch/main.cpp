// ssm_watch: joins a source-specific multicast channel and reports every
// datagram that reaches the port, waiting at most a second at a time and
// asking for the membership again after every silent second.
#include "ssm_watch/watch_loop.h"

namespace {

const char program[] = "ssm_watch";

}  // namespace

int main(int argc, char** argv) {
  ssm_receiver receiver;
  int status = open_ssm_receiver(argc, argv, program, &receiver);
  if (status != 0) {
    return status;
  }
  static unsigned char report_buffer[report_buffer_size];
  return watch_loop(&receiver, report_buffer, program, argv[1], argv[2]);
}
