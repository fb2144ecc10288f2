"""The ssm_send tool, checked against a plain socket in the namespace."""

import socket
import struct
import time
import unittest

from harness import GROUP, SEND, SOURCE, free_port, main, run, send


class Send(unittest.TestCase):
    def receive_all(self, args, port, count):
        sock = socket.socket(socket.AF_INET, socket.SOCK_DGRAM)
        sock.bind(("0.0.0.0", port))
        sock.setsockopt(socket.IPPROTO_IP, 39,  # IP_ADD_SOURCE_MEMBERSHIP on Linux
                        socket.inet_aton(GROUP) + socket.inet_aton("0.0.0.0") + socket.inet_aton(SOURCE))
        sock.settimeout(5)
        try:
            started = time.monotonic()
            send(*args)
            elapsed = time.monotonic() - started
            return [sock.recvfrom(70000) for _ in range(count)], elapsed
        finally:
            sock.close()

    def test_payload_carries_little_endian_sequence_and_length(self):
        port = free_port()
        got, _ = self.receive_all(["-c", 3, "-l", 6, "-s", 2147483646, "-r", 0, GROUP, SOURCE, port],
                                  port, 3)
        payloads = [data for data, _ in got]
        self.assertEqual(payloads, [struct.pack("<i", 2147483646) + b"\0\0",
                                    struct.pack("<i", 2147483647) + b"\0\0",
                                    struct.pack("<i", -2147483648) + b"\0\0"])
        self.assertEqual({sender for _, sender in got}, {(SOURCE, got[0][1][1])})

    def test_short_and_largest_payloads(self):
        port = free_port()
        got, _ = self.receive_all(["-c", 1, "-l", 2, "-s", 0x0a0b0c0d, GROUP, SOURCE, port], port, 1)
        self.assertEqual(got[0][0], b"\x0d\x0c")
        got, _ = self.receive_all(["-c", 1, "-l", 65507, GROUP, SOURCE, port], port, 1)
        self.assertEqual(len(got[0][0]), 65507)

    def test_rate_spaces_the_datagrams(self):
        port = free_port()
        _, elapsed = self.receive_all(["-c", 11, "-r", 50, GROUP, SOURCE, port], port, 11)
        self.assertGreaterEqual(elapsed, 0.19, "ten gaps of 20 ms")
        _, elapsed = self.receive_all(["-c", 3, "-i", 100, GROUP, SOURCE, port], port, 3)
        self.assertGreaterEqual(elapsed, 0.19, "two gaps of 100 ms")

    def test_bad_command_lines(self):
        for args, first in (([], None),
                            (["-c", "x", GROUP, SOURCE, "5000"], "ssm_send: count 'x': not a valid value"),
                            (["-l", "65508", GROUP, SOURCE, "5000"], "ssm_send: length '65508': not a valid value"),
                            (["-s", "2147483648", GROUP, SOURCE, "5000"], "ssm_send: start '2147483648': not a valid value"),
                            (["-z", GROUP, SOURCE, "5000"], "ssm_send: option '-z': unknown or missing its value"),
                            (["--foo", GROUP, SOURCE, "5000"], "ssm_send: option '--foo': unknown or missing its value"),
                            ([GROUP, SOURCE, "70000"], "ssm_send: port '70000': not a valid value")):
            result = run(SEND, *args)
            self.assertEqual(result.returncode, 1, args)
            self.assertEqual(result.stdout, b"")
            err = result.stderr.decode()
            self.assertIn("Usage: ssm_send", err)
            if first:
                self.assertEqual(err.splitlines()[0], first)

    def test_help_prints_the_usage_on_standard_output(self):
        for option in ("--help", "-h"):
            result = run(SEND, option)
            self.assertEqual(result.returncode, 0, option)
            self.assertTrue(result.stdout.startswith(b"Usage: ssm_send"), option)
            self.assertEqual(result.stderr, b"", option)

    def test_wrong_operand_count_says_so_before_the_usage(self):
        for args, given in (([], 0), ([GROUP, SOURCE], 2), ([GROUP, SOURCE, "5000", "x"], 4)):
            result = run(SEND, *args)
            self.assertEqual(result.returncode, 1, args)
            lines = result.stderr.decode().splitlines()
            self.assertEqual(lines[0], "ssm_send: operands: %d given, 3 needed "
                                       "(<group> <source> <port>)" % given)
            self.assertTrue(lines[1].startswith("Usage: ssm_send"), args)

    def test_interval_wins_over_rate_in_either_order(self):
        port = free_port()
        for args in (["-i", 100, "-r", 0], ["-r", 0, "-i", 100]):
            _, elapsed = self.receive_all(["-c", 3] + args + [GROUP, SOURCE, port], port, 3)
            self.assertGreaterEqual(elapsed, 0.19, args)

    def test_source_that_is_not_local_fails_with_status_two(self):
        result = run(SEND, "-c", 1, GROUP, "10.9.9.9", free_port())
        self.assertEqual(result.returncode, 2)
        self.assertEqual(result.stderr.decode(),
                         "ssm_send: bind to source 10.9.9.9: Cannot assign requested address\n")


if __name__ == "__main__":
    main()
