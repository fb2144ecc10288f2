"""ssm_listen, the real program, in a private network namespace."""

import time

from common_cases import CommonCases
from harness import GROUP, LISTEN, SOURCE, ReceiverTest, free_port, ip, line, main, send


class ListenCommon(CommonCases, ReceiverTest):
    PROGRAM = LISTEN
    NAME = "ssm_listen"


class ListenOnly(ReceiverTest):
    def test_joins_once_with_group_and_source_in_place_and_never_again(self):
        port = free_port()
        receiver = self.start(LISTEN, GROUP, SOURCE, port, trace=True)
        time.sleep(2.5)
        requests = receiver.memberships()
        self.assertEqual(len(requests), 1, requests)
        _, group, source, result, interface = requests[0]
        self.assertEqual((group, source, result, interface), (GROUP, SOURCE, 0, "0.0.0.0"))
        self.assertEqual(receiver.output(), "")

    def test_no_route_at_start_means_no_stream_later(self):
        # The membership is asked for once: a route that comes later does not help.
        port = free_port()
        ip("route", "del", "232.0.0.0/8", "dev", "lo")
        try:
            receiver = self.start(LISTEN, GROUP, SOURCE, port)
            time.sleep(0.2)
        finally:
            ip("route", "add", "232.0.0.0/8", "dev", "lo")
        time.sleep(1.5)
        send("-c", 10, "-r", 100, GROUP, SOURCE, port)
        send("-c", 1, "-s", 77, "127.0.0.1", SOURCE, port)
        self.assertEqual(receiver.wait_lines(1), [line(SOURCE, 77, 32)])
        self.assertEqual(receiver.output(), line(SOURCE, 77, 32))


if __name__ == "__main__":
    main()
