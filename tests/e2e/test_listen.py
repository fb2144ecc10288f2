"""ssm_listen, the real program, in a private network namespace."""

import os
import time

from common_cases import CommonCases, FamilyCases, HostCases
from harness import GROUP, LISTEN, SOURCE, ReceiverTest, free_port, ip, line, main, send

# Whether this build takes queued datagrams in batches (recvmmsg) or one a call.
BATCHED = os.environ.get("SSM_LISTEN_BATCHED") == "1"


class ListenCommon(CommonCases, ReceiverTest):
    PROGRAM = LISTEN
    NAME = "ssm_listen"


class ListenFamilies(FamilyCases, ReceiverTest):
    PROGRAM = LISTEN
    NAME = "ssm_listen"


class ListenHost(HostCases, ReceiverTest):
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

    def test_large_burst_every_line_in_order_in_fewer_receives(self):
        count = 20000
        expected = [line(SOURCE, 1 + i, 8) for i in range(count)]
        # As fast as the sender goes: batches, and output blocks, end to end.
        port = free_port()
        receiver = self.start(LISTEN, GROUP, SOURCE, port)
        send("-c", count, "-r", 0, "-l", 8, GROUP, SOURCE, port)
        self.assertEqual(receiver.wait_lines(count, timeout=30), expected)
        # Traced, at a pace a traced receiver keeps up with: the calls made.
        # Stopped by the tracer at every receive, one datagram a call keeps
        # up only with a shorter burst.
        traced = count if BATCHED else count // 10
        port = free_port()
        receiver = self.start(LISTEN, GROUP, SOURCE, port, trace=True,
                              trace_calls="setsockopt,recvmmsg,recvfrom")
        send("-c", traced, "-r", 20000, "-l", 8, GROUP, SOURCE, port)
        self.assertEqual(receiver.wait_lines(traced, timeout=30), expected[:traced])
        batches, singles = receiver.traced("recvmmsg"), receiver.traced("recvfrom")
        if BATCHED:
            self.assertEqual(singles, [])
            self.assertLess(len(batches), traced // 4, "datagrams are taken many to a call")
        else:
            self.assertEqual(batches, [])
            self.assertGreaterEqual(len(singles), traced)


if __name__ == "__main__":
    main()
